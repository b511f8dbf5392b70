// The checks that Start makes before a job is handed over, in their fixed
// order and with their fixed texts. Toolkit-free: the questions, the refusals
// and the file operations go through FormHost, so the desktop form, the
// command line and the tests each answer them their own way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/OutputLock.h"
#include "sieve/SieveJob.h"

namespace zentrova {

// The form's job choices; each is handed over as the command code of the
// same number.
enum JobChoice : int32_t {
  kChoiceNewSieve = kCmdNewSieve,
  kChoiceResumeSieve = kCmdResumeSieve,
  kChoiceReport = kCmdReport,
  kChoiceBuildFromFactors = kCmdBuildFromFactors,
  kChoiceResumeWide = kCmdResumeWide,
};

// What a Yes/No question is about, so that a host can answer without
// reading its text: replacing an existing output file, or going on despite a
// warning.
enum class Question { kOverwrite, kGoOn };

class FormHost {
 public:
  virtual ~FormHost() = default;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption, Question kind) = 0;
  // A refusal in an OK box.
  virtual void Tell(const std::string& text) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // The creation test of an output file. An existing output is never deleted
  // or truncated here: a Yes to the overwrite question only confirms, and the
  // job's own save replaces the file once the job has read its inputs (which
  // in a resume in place are these very files). By default: the file is not
  // a folder and its folder takes a new file.
  virtual bool CreateFile(const std::string& path);
  // Whether two names lead to the same file.
  virtual bool SameFile(const std::string& a, const std::string& b);
};

// The form's parameter set, as far as Start looks at it.
struct FormParams {
  std::string factorIn{}, factorOut{}, sieveOut{}, sieveIn{}, prothLog{}, report{};
  int32_t jobChoice = -1;
  int32_t bMax = 0, bMin = 0, exponent = 0;
  int32_t wideMath = 0;
  int32_t saveMinutes = 60;
  std::string packedKDir{};
  int32_t ln = 0;
  int32_t packedKExponent = 0;
};

// Claims the output files that the job of params would write (JobOutputs of
// its hand-over) before Start asks anything about them, so that a second
// program pointed at a running job's files is refused first: false, with
// the lock's message in refusal, when another run holds one. Any other
// failure to claim is left to the creation test. The claims end when claims
// is cleared (the job takes its own).
bool ClaimStartOutputs(const FormParams& params, std::vector<std::unique_ptr<OutputLock>>& claims,
                       std::string& refusal);

// Runs the checks of params.jobChoice. Returns true when the job may be handed
// over; params then holds the cleared names, ln and substituted exponent.
bool RunStartChecks(FormParams& params, FormHost& host);

// The hand-over of checked parameters into the job record: the command code
// of the choice and the names and numbers that its job reads. The record's
// other fields (threads, limits, save interval) are the caller's.
void HandOver(const FormParams& params, SieveJob& job);

// The range part of a hand-over: b Min, b Max, the exponent and its ln.
void HandOverRange(const FormParams& params, SieveJob& job);

}  // namespace zentrova
