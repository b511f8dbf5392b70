// What every subcommand shares: usage messages, the host that answers the
// form's questions from the command line, and running one job to its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "front/StartChecks.h"
#include "sieve/BatchCluster.h"
#include "sieve/SieveJob.h"

namespace zentrova::cli {

// "zentrova: <text>" and the --help hint, on stderr.
void Usage(const std::string& text);

// The options that name files and the range, shared by every job subcommand.
struct FileOptions {
  std::string factorsIn, factorsOut, sieveIn, sieveOut;
  int32_t exponent = 0;
  int32_t bMin = 0;
  int32_t bMax = 0;
  bool wide = false;
  bool force = false;
};

// The form as the options fill it, for a job choice.
FormParams FormFor(int32_t jobChoice, const FileOptions& options);

// The form's questions, answered from the command line: an existing output is
// replaced only with --force (and only when the new file is complete: nothing
// is deleted up front); the form's questions and warnings are printed as
// notes and answered Yes.
class CliHost : public FormHost {
 public:
  explicit CliHost(bool force) : m_force(force) {}
  // The job's input files: an output that is one of them (a resume in place)
  // is replaced without --force, since replacing it is what the job is for.
  void SetInputs(std::vector<std::string> inputs) { m_inputs = std::move(inputs); }

  bool AskYesNo(const std::string& text, const std::string& caption, Question kind) override;
  void Tell(const std::string& text) override { Usage(text); }
  bool FileExists(const std::string& path) override;

 private:
  bool m_force;
  std::vector<std::string> m_inputs;
};

// Turns SIGINT and SIGTERM into a stop request for the job RunJob runs;
// called first thing in main, so that no such signal ends the program.
void InstallStopSignals();

// Runs the job on a worker thread with a console sink, ticks every 5 s, turns
// SIGINT/SIGTERM into a stop request; kExitOk, or kExitJobFailed when the job
// reported a failure.
// New and resumed sieves share their batches with the other processes of
// cluster (process 0 of a run that mpirun started); null: they run alone.
int RunJob(const SieveJob& job, int32_t wideMath = 0);
// A job of the form's choices, as the desktop program starts one: its
// outputs claimed first (an output in use by another run is refused before
// any check), then the form's checks, then the hand-over into job (whose
// other fields are the caller's) and RunJob. kExitUsage when a check
// refuses, kExitJobFailed when an output is in use. The form's questions are
// answered by a CliHost with force and the job's input files.
int RunFormJob(FormParams& form, SieveJob& job, bool force, std::vector<std::string> inputs = {});
void UseCluster(BatchCluster* cluster);

// A process other than 0 of such a run: computes batches on this many threads
// (0: all hardware threads) until process 0 ends the run; its messages go
// to stderr with the process's number.
int ServeOtherProcess(BatchCluster& cluster, int threads);

}  // namespace zentrova::cli
