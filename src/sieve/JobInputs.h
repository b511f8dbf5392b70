// What the jobs say of the factor files they read: opening one, and loading
// the normal mode's through ReadFactorFile, with their messages.
#pragma once

#include "files/FactorFile.h"
#include "files/TextFile.h"
#include "sieve/JobContext.h"

namespace zentrova {

// Opens the input factor file (file names it) for reading, then posts
// "Loading input factor file <name>."; false after "Unable to open input
// factor file <name>." when it cannot be opened.
bool OpenFactorInput(JobContext& ctx, CTextFile& file);

// Reads the job's factor input (m_strFactorIn), after OpenFactorInput's
// messages: its records, and into the job the range and exponent its header
// names; then posts "<count> factors loaded from <name>.". False after the
// failure when the file cannot be opened or read or holds a line that is
// neither header nor factor; refusal ends the last two messages ("  Nothing
// was sieved." for a resume, "" for a report).
bool LoadFactorInput(JobContext& ctx, FactorFileContents& contents, const char* refusal);

}  // namespace zentrova
