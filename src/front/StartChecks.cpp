#include "front/StartChecks.h"

#include "files/CandidateFiles.h"
#include "files/OutputLock.h"
#include "files/StrFormat.h"
#include "sieve/JobOutputs.h"
#include "sieve/Jobs.h"

namespace zentrova {

bool FormHost::SameFile(const std::string& a, const std::string& b) {
  return zentrova::SameFile(a, b);
}

bool FormHost::CreateFile(const std::string& path) {
  return OutputCanBeCreated(path);
}

namespace {

class Checks {
 public:
  Checks(FormParams& p, FormHost& host) : m_p(p), m_host(host) {}

  bool Stop(const std::string& text) {
    m_host.Tell(text);
    return false;
  }

  // Asks before overwriting F, then tests that it can be created. Start ends
  // at a No or a failed creation test. F itself is left as it is.
  bool Overwrite(const std::string& f) {
    if (m_host.FileExists(f) &&
        !m_host.AskYesNo(StrFormat("Output File %s already exists, overwrite it?", f.c_str()), f,
                         Question::kOverwrite)) {
      return false;
    }
    if (!m_host.CreateFile(f)) {
      return Stop(StrFormat("Output File %s cannot be created.", f.c_str()));
    }
    return true;
  }

  // Two fields naming one file: the second write would replace the first.
  bool Distinct(const std::string& a, const char* aField, const std::string& b,
                const char* bField) {
    if (!a.empty() && !b.empty() && m_host.SameFile(a, b)) {
      return Stop(StrFormat("The %s and the %s are the same file %s.", aField, bField, a.c_str()));
    }
    return true;
  }

  bool Exists(const std::string& f) {
    if (!m_host.FileExists(f)) return Stop(StrFormat("Input File %s does not exist.", f.c_str()));
    return true;
  }

  bool PowerOfTwo() {
    const int32_t ln = ExponentLog2(m_p.exponent);
    if (ln == 0) {
      return Stop(
          StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", m_p.exponent));
    }
    m_p.ln = ln;
    return true;
  }

  bool Range() {
    if (m_p.bMin <= 0) return Stop("A minimum b value is required.");
    if (m_p.bMax <= 0) return Stop("A maximum b value is required");
    if (m_p.bMax <= m_p.bMin)
      return Stop("The maximum b value must be greater than the minimum B value.");
    if (!m_p.packedKDir.empty() && m_p.packedKExponent != m_p.exponent) {
      return Stop("The packed K file exponent and the main menu exponent do not match.");
    }
    return true;
  }

  // The wide walk strikes even bases only; an odd range would be "sieved"
  // without a single base struck.
  bool WideRange() {
    if (m_p.wideMath != 0 && (m_p.bMin & 1) != 0) return Stop(WideOddRangeText(m_p.bMin));
    return true;
  }

  bool NewSieve() {
    if (m_p.factorOut.empty()) return Stop("A factoring output file name is required.");
    if (m_p.sieveOut.empty()) return Stop("An output file name is required.");
    if (!Distinct(m_p.factorOut, "factoring output file", m_p.sieveOut, "output file")) {
      return false;
    }
    if (!Overwrite(m_p.factorOut) || !Overwrite(m_p.sieveOut)) return false;
    m_p.factorIn.clear();
    m_p.sieveIn.clear();
    m_p.prothLog.clear();
    m_p.report.clear();
    return PowerOfTwo() && Range() && WideRange();
  }

  bool ResumeSieve() {
    if (m_p.wideMath == 0 && m_p.factorIn.empty()) {
      const bool yes = m_host.AskYesNo(
          "Without a factoring input file, the factoring output file will not contain all the "
          "factors previously found.\r\nThe input file must be an output file from a previous "
          "run.\r\nDo you wish to continue without a factoring input file?",
          "Question", Question::kGoOn);
      if (!yes) return false;
    }
    if (m_p.sieveIn.empty()) return Stop("An input file name is required.");
    if (m_p.factorOut.empty()) return Stop("A factoring output file name is required.");
    if (m_p.sieveOut.empty()) return Stop("An output file name is required.");
    // A factor input named must be there in either mode: the wide resume
    // reads (and appends to) it as the normal one reads it.
    if (!m_p.factorIn.empty() && !Exists(m_p.factorIn)) return false;
    if (!Exists(m_p.sieveIn)) return false;
    if (!Distinct(m_p.factorOut, "factoring output file", m_p.sieveOut, "output file") ||
        !Distinct(m_p.factorIn, "factoring input file", m_p.sieveOut, "output file") ||
        !Distinct(m_p.sieveIn, "input file", m_p.factorOut, "factoring output file")) {
      return false;
    }
    if (m_p.wideMath == 0 && !Overwrite(m_p.factorOut)) return false;
    if (!Overwrite(m_p.sieveOut)) return false;
    m_p.prothLog.clear();
    m_p.report.clear();
    if (!m_p.packedKDir.empty()) m_p.exponent = m_p.packedKExponent;
    return true;
  }

  bool Report() {
    if (m_p.factorIn.empty()) return Stop("A factoring input file name is required.");
    if (m_p.prothLog.empty()) return Stop("An proth log file name is required.");
    if (m_p.report.empty()) return Stop("A report output file name is required.");
    if (!Exists(m_p.prothLog) || !Exists(m_p.factorIn)) return false;
    if (!Distinct(m_p.prothLog, "proth log file", m_p.report, "report output file") ||
        !Distinct(m_p.factorIn, "factoring input file", m_p.report, "report output file")) {
      return false;
    }
    if (m_host.FileExists(m_p.report) &&
        !m_host.AskYesNo(
            StrFormat("Output File %s already exists, overwrite it?", m_p.report.c_str()),
            m_p.report, Question::kOverwrite)) {
      return false;
    }
    m_p.sieveIn.clear();
    m_p.factorOut.clear();
    m_p.sieveOut.clear();
    return true;
  }

  bool BuildFromFactors() {
    if (m_p.factorIn.empty()) return Stop("A factoring input file name is required.");
    if (m_p.wideMath == 0 && m_p.factorOut.empty()) {
      return Stop("A factoring output file name is required.");
    }
    if (m_p.sieveOut.empty()) return Stop("An output file name is required.");
    if ((m_p.wideMath == 0 &&
         !Distinct(m_p.factorOut, "factoring output file", m_p.sieveOut, "output file")) ||
        !Distinct(m_p.factorIn, "factoring input file", m_p.sieveOut, "output file")) {
      return false;
    }
    if (m_p.wideMath == 0 && !Overwrite(m_p.factorOut)) return false;
    if (!Overwrite(m_p.sieveOut)) return false;
    m_p.sieveIn.clear();
    m_p.prothLog.clear();
    m_p.report.clear();
    if (!PowerOfTwo() || !Range()) return false;
    if (m_p.wideMath == 0 && static_cast<int64_t>(m_p.bMax) - m_p.bMin >= 100000) {
      return m_host.AskYesNo(
          "In normal mode (not wide math mode), a rebuild from factors can take a very long time "
          "with a b range wider than 100000.\r\nDo you wish to continue?",
          "Warning", Question::kGoOn);
    }
    return true;
  }

  bool ResumeWide() {
    if (m_p.wideMath == 0 && m_p.factorIn.empty()) {
      return Stop("A factoring input file name is required.");
    }
    if (m_p.sieveIn.empty()) return Stop("An input file name is required.");
    if (m_p.factorOut.empty()) return Stop("A factoring output file name is required.");
    if (m_p.sieveOut.empty()) return Stop("An output file name is required.");
    if (m_p.wideMath == 0 && !Exists(m_p.factorIn)) return false;
    if (!Exists(m_p.sieveIn)) return false;
    m_p.prothLog.clear();
    m_p.report.clear();
    if (!m_p.packedKDir.empty()) m_p.exponent = m_p.packedKExponent;
    return true;
  }

 private:
  FormParams& m_p;
  FormHost& m_host;
};

}  // namespace

bool ClaimStartOutputs(const FormParams& params, std::vector<std::unique_ptr<OutputLock>>& claims,
                       std::string& refusal) {
  SieveJob job;
  HandOver(params, job);
  for (const JobFile& output : JobOutputs(job, params.wideMath != 0).outputs) {
    if (output.name.empty()) continue;
    auto lock = std::make_unique<OutputLock>();
    std::string error;
    if (lock->Acquire(output.name, error)) {
      claims.push_back(std::move(lock));
    } else if (lock->HeldByAnotherRun()) {
      claims.clear();
      refusal = error;
      return false;
    }
    // Any other failure is the creation test's to report, in its turn.
  }
  return true;
}

bool RunStartChecks(FormParams& params, FormHost& host) {
  Checks checks(params, host);
  switch (params.jobChoice) {
    case kChoiceNewSieve:
      return checks.NewSieve();
    case kChoiceResumeSieve:
      return checks.ResumeSieve();
    case kChoiceReport:
      return checks.Report();
    case kChoiceBuildFromFactors:
      return checks.BuildFromFactors();
    case kChoiceResumeWide:
      return checks.ResumeWide();
    default:
      return checks.Stop("Invalid Sieve Type selected.");
  }
}

void HandOverRange(const FormParams& params, SieveJob& job) {
  job.m_nBMin = params.bMin;
  job.m_nBMax = params.bMax;
  job.m_nExponent = params.exponent;
  job.m_nLn = params.ln;
}

void HandOver(const FormParams& params, SieveJob& job) {
  job.m_nCommand = params.jobChoice;
  switch (params.jobChoice) {
    case kChoiceBuildFromFactors:
      // The range and outputs of a new sieve, and the factor file to read.
      job.m_strFactorIn = params.factorIn;
      [[fallthrough]];
    case kChoiceNewSieve:
      job.m_strFactorOut = params.factorOut;
      job.m_strSieveOut = params.sieveOut;
      HandOverRange(params, job);
      break;
    case kChoiceResumeSieve:
    case kChoiceResumeWide:
      // With packed K files, an exponent given names the sequence (and must
      // match the files'); without one the files' is used.
      job.m_nExponent = params.exponent;
      job.m_strFactorIn = params.factorIn;
      job.m_strFactorOut = params.factorOut;
      job.m_strSieveIn = params.sieveIn;
      job.m_strSieveOut = params.sieveOut;
      break;
    case kChoiceReport:
      job.m_strFactorIn = params.factorIn;
      job.m_strProthLog = params.prothLog;
      job.m_strReport = params.report;
      break;
    default:
      break;
  }
}

}  // namespace zentrova
