// The one way a front end drives a job: start it on its worker thread, pass
// on the 5-second tick and a stop request, sample typed progress, and read
// the outcome once it has ended. The command line, the benchmarks and the
// desktop program use it; a new front end needs only it and a JobSink.
//
// The runner keeps a history of the job's counters (a point every few
// seconds, as far back as a minute) for the figures a user decides by: rates
// of p over the last minute, the current removal rate (front/RemovalRate.h),
// the survivors expected at the depth reached; and it ends a sieve whose
// current time per factor passes the job's stop rate, through the usual stop
// request.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "front/RemovalRate.h"
#include "front/SurvivorEstimate.h"
#include "sieve/GfnThread.h"
#include "sieve/JobOutcome.h"
#include "sieve/JobSink.h"
#include "sieve/SieveJob.h"

namespace zentrova {

namespace config {
// The front ends' tick: the job posts its statistics (and saves, when the
// save interval has passed) once per tick.
constexpr int kTickMilliseconds = 5000;
// How often a front end looks at a running job between ticks (Poll): often
// enough that a stop rate passed or a signal is answered at once, and that
// the first point with a p comes soon after the first batch.
constexpr int kPollMilliseconds = 50;
// The window of the rates of p: the last minute (the whole run while it is
// shorter).
constexpr double kRateWindowSeconds = 60;
// Seconds between the points of the history that window is read from;
// finer points cost memory, coarser ones blur the window's edge.
constexpr double kHistorySpacingSeconds = 5;
}  // namespace config

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

  // Over the last minute (kRateWindowSeconds; the whole sieve while shorter):
  double pPerSecondLastMinute = 0;  // candidates p per second
  double pGrowthPerSecond = 0;      // how fast p grows
  double petaPerDay = 0;            // the same in P (10^15) per day
  double secondsToPMax = -1;        // to the job's --p-max at that speed; -1: no limit or no speed
  // The current removal rate (front/RemovalRate.h): over the last
  // config::kRateFactors factors, or the whole sieve while fewer were found.
  int64_t factorsInWindow = 0;     // bases struck in its window
  double factorWindowSeconds = 0;  // the window's length
  double secondsPerFactor = -1;    // the time per factor; -1: no factor in it
  double secondsSinceFactor = -1;  // since the last batch that struck a base; -1: none yet
  // The bases of the range and how many are expected left at pReached
  // (front/SurvivorEstimate.h); -1: not a sieve, or the range not read yet.
  int64_t rangeBases = -1;
  double expectedLeft = -1;
};

// A time span as the front ends show it: "hh:mm:ss", or "Nd hhh mmm" from a
// day on; `unknown` for a negative, infinite or not-a-number span.
std::string FormatDuration(double seconds, const char* unknown = "?");

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

  // The progress since the last Sample (or Start), for status lines. Polls
  // first.
  RunProgress Sample();
  // Notes the job's counters for the windows of the figures (a point every
  // few seconds) and checks the stop rate (SieveJob::m_stopRateSeconds)
  // against the current removal rate: once it is passed, posts a log line saying so through the sink (from the
  // calling thread: a sink takes posts from both threads, as every sink of
  // the front ends and tests does) and requests the stop. Cheap (a few counters are read); a front end may
  // call it between samples, for a prompter stop and a first rate sooner.
  // True when it stopped the job now.
  bool Poll();
  // Whether Poll ended the job.
  bool StoppedByStopRate() const { return m_stoppedByRate; }
  // The front end's tick: the job posts its statistics and saves when the
  // save interval has passed. (Sample first, so that the rates shown with
  // the statistics cover the interval that just ended.)
  void Tick();

  // Waits for the job's end and returns how it ended.
  JobOutcome Wait();

  // Starts the job and drives it on the calling thread to its end, as a
  // front end without an event loop does: every kPollMilliseconds, calls
  // `between` (where the front end turns a signal into RequestStop) and
  // Poll; once per tick, samples, hands the sample to `onTick` and ticks.
  JobOutcome RunToEnd(const std::function<void(const RunProgress&)>& onTick,
                      const std::function<void()>& between = {});
  // What a run for a time saw: the progress sampled when the time was up,
  // the seconds from the start to then, and how the job ended.
  struct TimedRun {
    RunProgress atTime;
    double seconds = 0;
    JobOutcome outcome;
  };
  // Starts the jobs, lets them run side by side for `span` (or until every
  // one has ended), samples each, stops each (with its final save) and
  // waits for it.
  static std::vector<TimedRun> RunFor(const std::vector<JobRunner*>& runners,
                                      std::chrono::milliseconds span);
  TimedRun RunFor(std::chrono::milliseconds span) { return RunFor({this}, span).front(); }
  bool Failed() const { return m_thread.Failed(); }

  // The first log line of a run: the kernels' instruction set, the threads,
  // the device (which graphics card, when one runs) and the arithmetic.
  static std::string EngineLine(const SieveJob& job);
  // Whether a front end starts the job's log with it: for the sieves and the
  // benchmark, the jobs whose speed depends on it.
  static bool HasEngineLine(const SieveJob& job) {
    return job.m_nCommand == kCmdNewSieve || job.m_nCommand == kCmdResumeSieve ||
           job.m_nCommand == kCmdBench;
  }

 private:
  // Forwards the job's messages to the front end's sink, keeping the range
  // that a resumed job reads from its files ("&").
  class WatchSink : public JobSink {
   public:
    explicit WatchSink(JobSink& sink) : m_sink(sink) {}
    void Post(std::string message) override;
    // b Min, b Max and N once the job has said them; false before.
    bool Range(int32_t& bMin, int32_t& bMax, int32_t& exponent) const;

   private:
    JobSink& m_sink;
    mutable std::mutex m_mutex;
    bool m_haveRange = false;
    int32_t m_bMin = 0, m_bMax = 0, m_exponent = 0;
  };
  // The job's counters at one time (JobContext::SteadyNow).
  struct Point {
    int64_t at = 0;
    int64_t pCount = 0;
    UInt128 pLast = 0;
    int64_t struck = 0;
  };

  void Record(int64_t now, const JobProgress& p);
  // The latest point at or before `at`; null when there is none.
  const Point* PointAtOrBefore(int64_t at) const;
  static RemovalRate Current(int64_t now, const JobProgress& p);
  void FillWindows(int64_t now, const JobProgress& p, RunProgress& r);
  bool CheckStopRate(int64_t now, const JobProgress& p);

  WatchSink m_watch;  // before m_thread, which posts to it until joined
  SieveJob m_job;     // as handed in (a resume learns its range later)
  CGfnThread m_thread;
  bool m_stopRequested = false;
  bool m_stoppedByRate = false;
  std::chrono::steady_clock::time_point m_lastTime;
  int64_t m_lastCount = 0;
  std::deque<Point> m_history;
  std::optional<SurvivorEstimate> m_estimate;
};

}  // namespace zentrova
