#include "sieve/GfnThread.h"

#include <ctime>
#include <exception>
#include <new>
#include <string>

#include "files/Format.h"
#include "math/CpuFeatures.h"

namespace zentrova {

CGfnThread::CGfnThread(const SieveJob& job, JobSink& sink, int32_t wideMath)
    : m_bWideMath(wideMath), m_job(job), m_sink(sink) {
  m_job.m_tLastSave = static_cast<int64_t>(std::time(nullptr));
  m_job.m_nTickSeen = 0;
  if (m_job.m_nThreads < 1) m_job.m_nThreads = 1;
}

CGfnThread::~CGfnThread() {
  RequestStop();
  Join();
}

void CGfnThread::Start() {
  m_running.store(true);
  m_thread = std::thread([this] { Run(); });
}

void CGfnThread::Run() {
  m_running.store(true);
  // Nothing may escape the worker: an exception (memory for a very wide
  // range, say) ends the job with a log line and the end-of-job message.
  try {
    InitInstance();
  } catch (const std::bad_alloc&) {
    Fail("Not enough memory for this job.  Thread Exit.");
  } catch (const std::exception& e) {
    Fail(std::string("Job failed: ") + e.what());
  }
  ExitInstance();
  m_running.store(false);
}

void CGfnThread::Join() {
  if (m_thread.joinable()) m_thread.join();
}

void CGfnThread::Post(std::string message) { m_sink.Post(std::move(message)); }

void CGfnThread::Fail(std::string message) {
  MarkFailed(message);
  Post(std::move(message));
}

void CGfnThread::MarkFailed(std::string reason) {
  if (!m_failed.exchange(true)) m_outcome.failure = std::move(reason);
}

JobOutcome CGfnThread::Outcome() const {
  JobOutcome outcome = m_outcome;
  if (m_failed.load()) {
    outcome.end = JobEnd::kFailed;
  } else if (m_bStopRequest.load(std::memory_order_relaxed) != 0) {
    outcome.end = JobEnd::kStopped;
  }
  return outcome;
}

int CGfnThread::InitInstance() {
  const CpuFeatures& cpu = GetCpuFeatures();
  if (!cpu.cmov) {
    Fail("CPUID does not support cmovzz instructions.  Thread Exit.");
    return 0;
  }
  if (m_job.m_bNoSSE2 == 0) {
    if (!cpu.sse2) {
      Fail("SSE2 requested.  CPUID does not support SSE2 instructions.  Thread Exit.");
      return 0;
    }
    Post("SSE2 support enabled.");
  }
  if (!ClaimOutputs()) return 0;
  m_wheel = std::make_unique<WheelTables>();

  switch (m_job.m_nCommand) {
    case kCmdNewSieve:
    case kCmdResumeSieve:
      if (m_bWideMath != 0) {
        if (m_job.m_nCommand == kCmdNewSieve) {
          m_job.m_strPackedKDir.empty() ? NewWideSieve() : NewWideSievePacked();
        } else {
          m_job.m_strPackedKDir.empty() ? ResumeWideSieve() : ResumeWideSievePacked();
        }
      } else if (m_job.m_nCommand == kCmdNewSieve) {
        m_job.m_strPackedKDir.empty() ? NewNormalSieve() : NewNormalSievePacked();
      } else {
        m_job.m_strPackedKDir.empty() ? ResumeNormalSieve() : ResumeNormalSievePacked();
      }
      break;
    case kCmdReport:
      ReportJob();
      break;
    case kCmdBuildFromFactors:
      BuildFromFactors();
      break;
    case kCmdResumeWide:
      Post("Resume is not supported yet.");
      break;
    case kCmdBench:
      BenchSpeeds();
      break;
    case kCmdCreatePackedK:
      CreatePackedKFiles();
      break;
    case kCmdToBeFactored:
      BuildToBeFactoredList();
      break;
    default:
      Fail("Invalid command parameter to sieve thread.");
      break;
  }
  return 0;
}

bool CGfnThread::ClaimOutputs() {
  // kind: which file of a pair ('f' factor, 's' sieve, 'r' report, 'l' log).
  struct Named {
    const char* role;
    const std::string* name;
    char kind;
  };
  std::vector<Named> outputs;
  std::vector<Named> inputs;
  const bool wide = m_bWideMath != 0;
  switch (m_job.m_nCommand) {
    case kCmdNewSieve:
    case kCmdResumeSieve:
    case kCmdBuildFromFactors:
      if (!(wide && m_job.m_nCommand == kCmdBuildFromFactors)) {
        outputs.push_back({"factor output", &m_job.m_strFactorOut, 'f'});
      }
      outputs.push_back({"sieve output", &m_job.m_strSieveOut, 's'});
      inputs.push_back({"factor input", &m_job.m_strFactorIn, 'f'});
      inputs.push_back({"sieve input", &m_job.m_strSieveIn, 's'});
      break;
    case kCmdReport:
      outputs.push_back({"report", &m_job.m_strReport, 'r'});
      inputs.push_back({"factor input", &m_job.m_strFactorIn, 'f'});
      inputs.push_back({"proth log", &m_job.m_strProthLog, 'l'});
      break;
    case kCmdToBeFactored:
      outputs.push_back({"sieve output", &m_job.m_strSieveOut, 's'});
      inputs.push_back({"sieve input", &m_job.m_strSieveIn, 's'});
      break;
    default:
      return true;
  }
  // An output may replace the input of its own kind (a resume in place); any
  // other pairing would overwrite one file with another's contents.
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      if (SameFile(*outputs[i].name, *outputs[j].name)) {
        Fail(StrFormat("The %s file and the %s file are the same file %s.  Nothing was run.",
                       outputs[i].role, outputs[j].role, outputs[i].name->c_str()));
        return false;
      }
    }
    for (const Named& in : inputs) {
      if (in.kind != outputs[i].kind && SameFile(*in.name, *outputs[i].name)) {
        Fail(StrFormat("The %s file and the %s file are the same file %s.  Nothing was run.",
                       in.role, outputs[i].role, in.name->c_str()));
        return false;
      }
    }
  }
  for (const Named& out : outputs) {
    if (out.name->empty()) continue;
    auto lock = std::make_unique<OutputLock>();
    std::string error;
    if (!lock->Acquire(*out.name, error)) {
      Fail(error + "  Nothing was run.");
      m_locks.clear();
      return false;
    }
    if (lock->StaleRemoved() > 0) {
      Post(StrFormat("Removed %d temporary files that an interrupted save left beside %s.",
                     lock->StaleRemoved(), out.name->c_str()));
    }
    m_locks.push_back(std::move(lock));
  }
  return true;
}

int CGfnThread::ExitInstance() {
  m_locks.clear();
  Post("@");
  m_normal = NormalSieveState{};
  m_wide = WideSieveState{};
  m_wheel.reset();
  return 0;
}

}  // namespace zentrova
