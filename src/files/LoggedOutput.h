// The steps of an AtomicTextFile save with the writers' fixed texts on
// failure: "Unable to open output <what> <file>." (and why, beside it) and
// "Unable to write output <what> <file>: <reason>.", <what> being "file" for
// the candidate file and "factor file" for the factor file. Each returns
// false after its lines when the step failed.
#pragma once

#include "files/AtomicTextFile.h"
#include "files/SieveRange.h"

namespace zentrova {

bool OpenOutput(AtomicTextFile& out, const char* what, const LogFn& log);
// Completes the temporary file beside the target (Finish).
bool FinishOutput(AtomicTextFile& out, const char* what, const LogFn& log);
// Renames a finished file over its target (Publish).
bool PublishOutput(AtomicTextFile& out, const char* what, const LogFn& log);
// Both at once (Commit).
bool CommitOutput(AtomicTextFile& out, const char* what, const LogFn& log);

}  // namespace zentrova
