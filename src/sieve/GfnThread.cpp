#include "sieve/GfnThread.h"

#include <ctime>
#include <exception>
#include <new>
#include <string>

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
  m_failed.store(true);
  Post(std::move(message));
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

int CGfnThread::ExitInstance() {
  Post("@");
  m_normal = NormalSieveState{};
  m_wide = WideSieveState{};
  m_wheel.reset();
  return 0;
}

}  // namespace zentrova
