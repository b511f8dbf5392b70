#include "sieve/GfnThread.h"

#include <ctime>
#include <exception>
#include <new>
#include <string>

#include "files/StrFormat.h"
#include "math/CpuFeatures.h"
#include "math/WheelTables.h"
#include "sieve/JobOutputs.h"
#include "sieve/Jobs.h"

namespace zentrova {

CGfnThread::CGfnThread(const SieveJob& job, JobSink& sink, int32_t wideMath)
    : m_ctx(job, sink, wideMath != 0) {}

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
    m_ctx.Fail("Not enough memory for this job.  Thread Exit.");
  } catch (const std::exception& e) {
    m_ctx.Fail(std::string("Job failed: ") + e.what());
  }
  ExitInstance();
  m_running.store(false);
}

void CGfnThread::Join() {
  if (m_thread.joinable()) m_thread.join();
}

int CGfnThread::InitInstance() {
  const CpuFeatures& cpu = GetCpuFeatures();
  if (!cpu.cmov) {
    m_ctx.Fail("CPUID does not support cmovzz instructions.  Thread Exit.");
    return 0;
  }
  if (m_ctx.Job().m_bNoSSE2 == 0) {
    if (!cpu.sse2) {
      m_ctx.Fail("SSE2 requested.  CPUID does not support SSE2 instructions.  Thread Exit.");
      return 0;
    }
    m_ctx.Post("SSE2 support enabled.");
  }
  if (!ClaimOutputs()) return 0;
  m_ctx.SetWheel(std::make_unique<WheelTables>());

  const int32_t command = m_ctx.Job().m_nCommand;
  switch (command) {
    case kCmdNewSieve:
    case kCmdResumeSieve:
      if (m_ctx.Wide()) {
        RunWideSieveJob(m_ctx, command == kCmdResumeSieve);
      } else {
        RunNormalSieveJob(m_ctx, command == kCmdResumeSieve);
      }
      break;
    case kCmdReport:
      RunReportJob(m_ctx);
      break;
    case kCmdBuildFromFactors:
      RunRebuildJob(m_ctx);
      break;
    case kCmdResumeWide:
      m_ctx.Post("Resume is not supported yet.");
      break;
    case kCmdBench:
      RunBenchJob(m_ctx);
      break;
    case kCmdCreatePackedK:
      RunPackedKCreateJob(m_ctx);
      break;
    case kCmdToBeFactored:
      RunToBeFactoredJob(m_ctx);
      break;
    default:
      m_ctx.Fail("Invalid command parameter to sieve thread.");
      break;
  }
  return 0;
}

bool CGfnThread::ClaimOutputs() {
  const JobFiles files = JobOutputs(m_ctx.Job(), m_ctx.Wide());
  if (const std::string clash = JobFilesClash(files); !clash.empty()) {
    m_ctx.Fail(clash);
    return false;
  }
  for (const JobFile& out : files.outputs) {
    if (out.name.empty()) continue;
    auto lock = std::make_unique<OutputLock>();
    std::string error;
    if (!lock->Acquire(out.name, error)) {
      m_ctx.Fail(error + "  Nothing was run.");
      m_locks.clear();
      return false;
    }
    if (lock->StaleRemoved() > 0) {
      m_ctx.Post(StrFormat("Removed %d temporary files that an interrupted save left beside %s.",
                           lock->StaleRemoved(), out.name.c_str()));
    }
    m_locks.push_back(std::move(lock));
  }
  return true;
}

int CGfnThread::ExitInstance() {
  m_locks.clear();
  m_ctx.Post("@");
  m_ctx.SetWheel(nullptr);
  return 0;
}

}  // namespace zentrova
