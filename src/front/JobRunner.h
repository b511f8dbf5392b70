// The one way a front end drives a job: start it on its worker thread, pass
// on the 5-second tick and a stop request, sample typed progress, and read
// the outcome once it has ended. The command line, the benchmarks and the
// desktop program use it; a new front end needs only it and a JobSink.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "sieve/GfnThread.h"
#include "sieve/JobOutcome.h"
#include "sieve/JobSink.h"
#include "sieve/SieveJob.h"

namespace zentrova {

struct RunProgress {
  int64_t pCount = 0;          // candidates p sieved so far (k values written, when packing)
  UInt128 pReached = 0;        // the last of them
  double pPerSecond = 0;       // candidates p per second over the last interval
  double seconds = 0;          // the length of that interval
  int64_t basesLeft = -1;      // -1: not a sieve, or not begun
  int64_t factorsStruck = 0;   // bases struck by this run
  UInt128 savedDepth = 0;      // the depth of this run's last save (0: none yet)
  int64_t savedAt = 0;         // when it was written (seconds since 1970)
  int packFile = -1;           // the packed K file being written
};

class JobRunner {
 public:
  // The job's messages go to sink, which must outlive the runner.
  JobRunner(const SieveJob& job, JobSink& sink, int32_t wideMath = 0);
  // A job still running is stopped (with its final save) and waited for.
  ~JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // Starts the job on its worker thread; throws std::system_error when no
  // thread can be made.
  void Start();
  // Runs the job on the calling thread, to its end.
  JobOutcome RunHere();

  // The job finishes its current unit of work, saves and ends.
  void RequestStop();
  bool StopRequested() const { return m_stopRequested; }
  // False once the job has posted its last message ("@").
  bool Running() const { return m_thread.Running(); }

  // The progress since the last Sample (or Start), for status lines.
  RunProgress Sample();
  // The front end's tick: the job posts its statistics and saves when the
  // save interval has passed. (Sample first, so that the rates shown with
  // the statistics cover the interval that just ended.)
  void Tick();

  // Waits for the job's end and returns how it ended.
  JobOutcome Wait();
  bool Failed() const { return m_thread.Failed(); }

 private:
  CGfnThread m_thread;
  bool m_stopRequested = false;
  std::chrono::steady_clock::time_point m_lastTime;
  int64_t m_lastCount = 0;
};

}  // namespace zentrova
