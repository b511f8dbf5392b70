#include "sieve/JobContext.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace zentrova {

JobContext::JobContext(const SieveJob& job, JobSink& sink, bool wide)
    : m_job(job), m_sink(sink), m_wide(wide) {
  m_job.m_tLastSave = static_cast<int64_t>(std::time(nullptr));
  m_job.m_nTickSeen = 0;
  if (m_job.m_threads < 1) m_job.m_threads = 1;
}

void JobContext::Fail(std::string message) {
  MarkFailed(message);
  Post(std::move(message));
}

void JobContext::MarkFailed(std::string reason) {
  if (!m_failed.exchange(true)) m_outcome.failure = std::move(reason);
}

bool JobContext::TakeTick() {
  const int32_t tick = m_tick.load(std::memory_order_relaxed);
  if (tick == m_job.m_nTickSeen) return false;
  m_job.m_nTickSeen = tick;
  return true;
}

bool JobContext::TakeSaveTime() {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (now - m_job.m_tLastSave < m_job.m_nSaveSeconds) return false;
  m_job.m_tLastSave = now;
  return true;
}

JobProgress JobContext::Progress() const {
  JobProgress p;
  p.pCount = m_pCount.load(std::memory_order_relaxed);

  p.packFile = m_packFile.load(std::memory_order_relaxed);
  p.basesLeft = m_basesLeft.load(std::memory_order_relaxed);
  p.factorsStruck = m_struck.load(std::memory_order_relaxed);
  p.sieveStartedAt = m_sieveStartedAt.load(std::memory_order_relaxed);
  p.lastStruckAt = m_lastStruckAt.load(std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(m_pMutex);
  p.pLast = m_pLast;
  p.savedAt = m_savedAt;
  p.savedDepth = m_savedDepth;
  const size_t oldest = (m_struckNext + kStruckBatchesKept - m_struckHeld) % kStruckBatchesKept;
  for (size_t i = 0; i < m_struckHeld; ++i) {
    p.struck[i] = m_struckRing[(oldest + i) % kStruckBatchesKept];
  }
  p.struckBatches = m_struckHeld;
  return p;
}

void JobContext::CountStruck(int64_t struck) {
  if (struck <= 0) return;
  const int64_t now = SteadyNow();
  const int64_t total = m_struck.fetch_add(struck, std::memory_order_relaxed) + struck;
  m_lastStruckAt.store(now, std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(m_pMutex);
  m_struckRing[m_struckNext] = StruckBatch{now, total};
  m_struckNext = (m_struckNext + 1) % kStruckBatchesKept;
  m_struckHeld = std::min(m_struckHeld + 1, kStruckBatchesKept);
}

void JobContext::NoteSaved(UInt128 depth) {
  const std::lock_guard<std::mutex> lock(m_pMutex);
  m_savedDepth = depth;
  m_savedAt = static_cast<int64_t>(std::time(nullptr));
}

int64_t JobContext::SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void JobContext::SetBenchFigures(int64_t ticks, int64_t ticksPerSecond, int64_t pSieved) {
  m_outcome.benchTicks = ticks;
  m_outcome.benchTicksPerSecond = ticksPerSecond;
  m_outcome.benchPSieved = pSieved;
}

JobOutcome JobContext::Outcome() const {
  JobOutcome outcome = m_outcome;
  if (m_failed.load()) {
    outcome.end = JobEnd::kFailed;
  } else if (StopRequested()) {
    outcome.end = JobEnd::kStopped;
  }
  return outcome;
}

}  // namespace zentrova
