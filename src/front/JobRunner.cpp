#include "front/JobRunner.h"

namespace zentrova {

JobRunner::JobRunner(const SieveJob& job, JobSink& sink, int32_t wideMath)
    : m_thread(job, sink, wideMath), m_lastTime(std::chrono::steady_clock::now()) {}

JobRunner::~JobRunner() {
  m_thread.RequestStop();
  m_thread.Join();
}

void JobRunner::Start() {
  m_lastTime = std::chrono::steady_clock::now();
  m_thread.Start();
}

JobOutcome JobRunner::RunHere() {
  m_lastTime = std::chrono::steady_clock::now();
  m_thread.Run();
  return m_thread.Outcome();
}

void JobRunner::RequestStop() {
  m_stopRequested = true;
  m_thread.RequestStop();
}

RunProgress JobRunner::Sample() {
  const JobProgress p = m_thread.Progress();
  const auto now = std::chrono::steady_clock::now();
  RunProgress r;
  r.pCount = p.pCount;
  r.pReached = p.pLast;
  r.seconds = std::chrono::duration<double>(now - m_lastTime).count();
  r.pPerSecond = r.seconds > 0 ? static_cast<double>(p.pCount - m_lastCount) / r.seconds : 0;
  r.basesLeft = p.basesLeft;
  r.factorsStruck = p.factorsStruck;
  r.savedDepth = p.savedDepth;
  r.savedAt = p.savedAt;
  r.packFile = p.packFile;
  m_lastTime = now;
  m_lastCount = p.pCount;
  return r;
}

void JobRunner::Tick() {
  m_thread.Tick();
}

JobOutcome JobRunner::Wait() {
  m_thread.Join();
  return m_thread.Outcome();
}

}  // namespace zentrova
