// What every job works with: its record, the sink its messages go to, the
// front end's two signals (stop, tick), the progress counters the front end
// samples, and the outcome. One context per CGfnThread; the job classes get
// it by reference and keep their own state.
//
// The front end's thread calls only RequestStop, Tick, Progress, Failed and
// Outcome (after the job ended); everything else runs on the job's thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <memory>
#include <string>

#include "files/CandidateFiles.h"
#include "math/WheelTables.h"
#include "sieve/JobOutcome.h"
#include "sieve/JobSink.h"
#include "sieve/SieveJob.h"

namespace zentrova {

// A batch that struck bases: its steady-clock time (as JobProgress gives its
// times) and the bases struck by the run up to and including it.
struct StruckBatch {
  int64_t at = 0;
  int64_t struckTotal = 0;
};
// The latest batches that struck bases, kept for the current removal rate:
// more than the factors it is taken over (front/RemovalRate.h), since a
// batch strikes one base or more.
constexpr size_t kStruckBatchesKept = 32;

// What the front end samples while a job runs.
struct JobProgress {
  int64_t pCount = 0;  // candidates p sieved so far
  UInt128 pLast = 0;   // the last of them
  int packFile = -1;   // the number of the packed K file being written
  int64_t basesLeft = -1;     // bases still candidates (-1: not a sieve, or not begun)
  int64_t factorsStruck = 0;  // bases struck by this run
  UInt128 savedDepth = 0;     // the depth of the last save of this run (0: none yet)
  int64_t savedAt = 0;        // when it was written (seconds since 1970)
  // Steady-clock times (nanoseconds since its epoch; 0: not yet) of the sieve
  // loop's start and of the last batch that struck a base, so that factor
  // rates are taken over the time spent sieving, not reading the inputs.
  int64_t sieveStartedAt = 0;
  int64_t lastStruckAt = 0;
  // The last struckBatches of the batches that struck bases, oldest first.
  std::array<StruckBatch, kStruckBatchesKept> struck{};
  size_t struckBatches = 0;
};

class JobContext {
 public:
  JobContext(const SieveJob& job, JobSink& sink, bool wide);

  SieveJob& Job() { return m_job; }
  const SieveJob& Job() const { return m_job; }
  bool Wide() const { return m_wide; }
  // The wheel of small primes, made before a job runs and dropped after.
  const WheelTables& Wheel() const { return *m_wheel; }
  void SetWheel(std::unique_ptr<WheelTables> wheel) { m_wheel = std::move(wheel); }

  void Post(std::string message) { m_sink.Post(std::move(message)); }
  // Posts the message and marks the job failed, with the message as the
  // reason when it is the first failure.
  void Fail(std::string message);
  // Marks the job failed without posting (its lines are already posted).
  void MarkFailed(std::string reason);
  // Post and Fail as callbacks, for the file functions.
  LogFn PostFn() {
    return [this](const std::string& line) { Post(line); };
  }
  LogFn FailFn() {
    return [this](const std::string& line) { Fail(line); };
  }

  void RequestStop() { m_stop.store(1, std::memory_order_relaxed); }
  bool StopRequested() const { return m_stop.load(std::memory_order_relaxed) != 0; }
  void Tick() { m_tick.fetch_add(1, std::memory_order_relaxed); }
  // True once for every tick the front end gave since the last call.
  bool TakeTick();
  // True, and the clock reset, when the save interval has passed.
  bool TakeSaveTime();

  // Once per batch.
  void CountP(int64_t count, UInt128 last) {
    m_pCount.fetch_add(count, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(m_pMutex);
    m_pLast = last;
  }
  void SetPackFile(int number) { m_packFile.store(number, std::memory_order_relaxed); }
  // A sieve loop's list: the bases left, and how many it struck since the
  // last call. The first SetBasesLeft, made before the loop's first batch,
  // starts the loop's clock; a batch that struck a base stamps its time and
  // joins the ring of the latest such batches (one clock read and a lock per
  // such batch).
  void SetBasesLeft(int64_t left) {
    if (m_sieveStartedAt.load(std::memory_order_relaxed) == 0) {
      m_sieveStartedAt.store(SteadyNow(), std::memory_order_relaxed);
    }
    m_basesLeft.store(left, std::memory_order_relaxed);
  }
  void CountStruck(int64_t struck);
  // A save of the output files at this depth succeeded, now.
  void NoteSaved(UInt128 depth);
  JobProgress Progress() const;

  bool Failed() const { return m_failed.load(); }
  // The benchmark's figures, for the outcome.
  void SetBenchFigures(int64_t ticks, int64_t ticksPerSecond, int64_t pSieved);
  void SetDeviceBusy(double seconds) { m_outcome.deviceBusySeconds = seconds; }
  void SetDeviceChecks(int64_t checks, int64_t mismatches) {
    m_outcome.deviceChecks = checks;
    m_outcome.deviceMismatches = mismatches;
  }
  void SetLoopTimes(double loopSeconds, double applySeconds, double workersBusy) {
    m_outcome.loopSeconds = loopSeconds;
    m_outcome.applySeconds = applySeconds;
    m_outcome.workersBusy = workersBusy;
  }
  JobOutcome Outcome() const;

  // The steady clock in nanoseconds, as JobProgress gives its times.
  static int64_t SteadyNow();

 private:
  SieveJob m_job;
  JobSink& m_sink;
  bool m_wide;
  std::unique_ptr<WheelTables> m_wheel;

  std::atomic<int32_t> m_stop{0};
  std::atomic<int32_t> m_tick{0};
  std::atomic<int64_t> m_pCount{0};
  // p take two words, which no lock-free atomic holds.
  mutable std::mutex m_pMutex;
  UInt128 m_pLast = 0;
  UInt128 m_savedDepth = 0;
  int64_t m_savedAt = 0;
  std::atomic<int> m_packFile{-1};
  std::atomic<int64_t> m_basesLeft{-1};
  std::atomic<int64_t> m_struck{0};
  std::atomic<int64_t> m_sieveStartedAt{0};
  std::atomic<int64_t> m_lastStruckAt{0};
  // A ring of the latest batches that struck bases (under m_pMutex): the
  // next slot to write, and how many slots hold one.
  std::array<StruckBatch, kStruckBatchesKept> m_struckRing{};
  size_t m_struckNext = 0;
  size_t m_struckHeld = 0;
  std::atomic<bool> m_failed{false};
  JobOutcome m_outcome;  // written by the job's thread only
};

}  // namespace zentrova
