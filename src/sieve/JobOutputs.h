// The files a job writes and the inputs it reads beside them: one list,
// from which the engine claims its outputs when a job starts and the front
// ends claim them early, before their questions about them.
#pragma once

#include <string>
#include <vector>

#include "sieve/SieveJob.h"

namespace zentrova {

struct JobFile {
  const char* role;  // as the messages name it: "factor output", "sieve input", ...
  std::string name;  // may be empty: a file the job is not given
  // Which file of a pair it is: 'f' factor, 's' sieve, 'r' report, 'l' log,
  // 'i' the input of a to-be-factored list (of no kind an output has).
  char kind;
};

struct JobFiles {
  std::vector<JobFile> outputs;
  std::vector<JobFile> inputs;
};

// The outputs and inputs of the job's command; in wide mode (wide) a
// rebuild writes no factor file. Jobs that write no file have none.
JobFiles JobOutputs(const SieveJob& job, bool wide);

// Why the files cannot be used together, as the engine's failure message:
// two outputs that are the same file, or an output that is an input of
// another kind (an output may replace the input of its own kind: a resume
// in place). Empty when they can.
std::string JobFilesClash(const JobFiles& files);

}  // namespace zentrova
