#include "front/JobRunner.h"

#include <algorithm>
#include <cinttypes>
#include <thread>

#include "files/StrFormat.h"
#include "sieve/JobContext.h"
#include "sieve/JobMessage.h"
#include "sieve/kernels/KernelIsa.h"

namespace zentrova {

namespace {

constexpr double kNanoseconds = 1e9;

double Seconds(int64_t from, int64_t to) { return static_cast<double>(to - from) / kNanoseconds; }

int64_t Nanoseconds(double seconds) { return static_cast<int64_t>(seconds * kNanoseconds); }

// Seconds for a log line: whole ones from 100 on, else three digits.
std::string SecondsText(double seconds) {
  return seconds >= 100 ? StrFormat("%.0f", seconds) : StrFormat("%.3g", seconds);
}

// The arithmetic of the p the job will sieve: one word below 2^62 (where the
// one-word kernels and Fermat test stop being exact), two words above.
const char* ArithmeticName(const SieveJob& job) {
  constexpr UInt128 kTwoWords = UInt128{1} << 62;
  if (job.m_pMax != 0 && job.m_pMax < kTwoWords) return "one-word arithmetic (p < 2^62)";
  if (job.m_pMin >= kTwoWords) return "two-word arithmetic (p >= 2^62)";
  return "one-word arithmetic below p = 2^62, two-word above";
}

std::string DeviceText(const SieveJob& job) {
  const DeviceChoice& choice = job.m_device;
  if (choice.OnCpu()) return "on the CPU";
  std::vector<DeviceInfo> devices;
  if (job.m_devices != nullptr) devices = job.m_devices->List();
  const auto named = [](const DeviceInfo& d) {
    return StrFormat("%s (%s, %s)", d.Id().c_str(), d.name.c_str(), d.platform.c_str());
  };
  if (choice.kind == DeviceChoice::Kind::kNumbered) {
    for (const DeviceInfo& d : devices) {
      if (d.backend == choice.backend && d.index == choice.index) return "on device " + named(d);
    }
    return "on device " + choice.ToString() + " (not found)";
  }
  for (const DeviceInfo& d : devices) {
    if (d.gpu) return "on GPU " + named(d);
  }
  return choice.kind == DeviceChoice::Kind::kAuto ? "on the CPU (no GPU found)"
                                                  : "on a GPU (none found)";
}

}  // namespace

void JobRunner::WatchSink::Post(std::string message) {
  if (!message.empty() && message[0] == '&') {
    const JobMessage parsed = ParseJobMessage(message);
    if (parsed.numbers) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_haveRange = true;
      m_bMin = parsed.bMin;
      m_bMax = parsed.bMax;
      m_exponent = parsed.exponent;
    }
  }
  m_sink.Post(std::move(message));
}

bool JobRunner::WatchSink::Range(int32_t& bMin, int32_t& bMax, int32_t& exponent) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  bMin = m_bMin;
  bMax = m_bMax;
  exponent = m_exponent;
  return m_haveRange;
}

JobRunner::JobRunner(const SieveJob& job, JobSink& sink, int32_t wideMath)
    : m_watch(sink),
      m_job(job),
      m_thread(job, m_watch, wideMath),
      m_lastTime(std::chrono::steady_clock::now()) {}

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

JobOutcome JobRunner::RunToEnd(const std::function<void(const RunProgress&)>& onTick,
                               const std::function<void()>& between) {
  Start();
  const auto tick = std::chrono::milliseconds(config::kTickMilliseconds);
  auto nextTick = std::chrono::steady_clock::now() + tick;
  while (Running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(config::kPollMilliseconds));
    if (between) between();
    // Between ticks too, so that a run stops soon after its stop rate is
    // passed and has a rate of p at its first status line.
    Poll();
    if (std::chrono::steady_clock::now() >= nextTick) {
      nextTick += tick;
      // Sampled before the job answers the tick, so that the rates cover
      // the last interval.
      const RunProgress progress = Sample();
      if (onTick) onTick(progress);
      Tick();
    }
  }
  return Wait();
}

std::vector<JobRunner::TimedRun> JobRunner::RunFor(const std::vector<JobRunner*>& runners,
                                                   std::chrono::milliseconds span) {
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  for (JobRunner* r : runners) r->Start();
  const auto anyRunning = [&runners] {
    return std::any_of(runners.begin(), runners.end(), [](JobRunner* r) { return r->Running(); });
  };
  const auto poll = std::chrono::milliseconds(config::kPollMilliseconds);
  for (auto now = Clock::now(); now - begin < span && anyRunning(); now = Clock::now()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(poll, span - (now - begin)));
  }
  std::vector<TimedRun> runs(runners.size());
  for (size_t i = 0; i < runners.size(); ++i) runs[i].atTime = runners[i]->Sample();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  for (JobRunner* r : runners) {
    if (r->Running()) r->RequestStop();
  }
  for (size_t i = 0; i < runners.size(); ++i) {
    runs[i].seconds = seconds;
    runs[i].outcome = runners[i]->Wait();
  }
  return runs;
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
  const int64_t steadyNow = JobContext::SteadyNow();
  Record(steadyNow, p);
  CheckStopRate(steadyNow, p);
  FillWindows(steadyNow, p, r);
  return r;
}

void JobRunner::Record(int64_t now, const JobProgress& p) {
  if (p.sieveStartedAt == 0) return;
  const Point point{now, p.pCount, p.pLast, p.factorsStruck};
  // A point from before the first batch holds no p to measure growth from:
  // the next one replaces it.
  if (!m_history.empty() && m_history.back().pLast == 0) {
    m_history.back() = point;
    return;
  }
  if (!m_history.empty() &&
      Seconds(m_history.back().at, now) < config::kHistorySpacingSeconds) {
    return;
  }
  m_history.push_back(point);
  // Kept: every point the window can still start at, and one before.
  const double reach = config::kRateWindowSeconds + config::kHistorySpacingSeconds;
  while (m_history.size() > 2 && Seconds(m_history[1].at, now) > reach) m_history.pop_front();
}

const JobRunner::Point* JobRunner::PointAtOrBefore(int64_t at) const {
  const auto after = std::upper_bound(m_history.begin(), m_history.end(), at,
                                      [](int64_t t, const Point& point) { return t < point.at; });
  return after == m_history.begin() ? nullptr : &*(after - 1);
}

RemovalRate JobRunner::Current(int64_t now, const JobProgress& p) {
  return CurrentRemovalRate(std::span<const StruckBatch>(p.struck.data(), p.struckBatches),
                            p.factorsStruck, p.sieveStartedAt, now);
}

void JobRunner::FillWindows(int64_t now, const JobProgress& p, RunProgress& r) {
  if (p.sieveStartedAt == 0) return;
  // Rates: from the point a minute back, or, in the first minute, from the
  // loop's start (p sieved) and from the first point with a p (growth).
  const Point* from = PointAtOrBefore(now - Nanoseconds(config::kRateWindowSeconds));
  const Point start{p.sieveStartedAt, 0, 0, 0};
  if (from == nullptr) from = &start;
  const double span = Seconds(from->at, now);
  if (span > 0) r.pPerSecondLastMinute = static_cast<double>(p.pCount - from->pCount) / span;
  const Point* grown = from;
  if (grown->pLast == 0) {
    for (const Point& point : m_history) {
      if (point.pLast != 0) {
        grown = &point;
        break;
      }
    }
  }
  const double growthSpan = Seconds(grown->at, now);
  if (grown->pLast != 0 && p.pLast > grown->pLast && growthSpan > 0) {
    r.pGrowthPerSecond = static_cast<double>(p.pLast - grown->pLast) / growthSpan;
    r.petaPerDay = r.pGrowthPerSecond * 86400 / 1e15;
    if (m_job.m_pMax > p.pLast) {
      r.secondsToPMax = static_cast<double>(m_job.m_pMax - p.pLast) / r.pGrowthPerSecond;
    }
  }

  const RemovalRate removal = Current(now, p);
  r.factorsInWindow = removal.factors;
  r.factorWindowSeconds = removal.seconds;
  r.secondsPerFactor = removal.SecondsPerFactor();
  if (p.lastStruckAt != 0) r.secondsSinceFactor = Seconds(p.lastStruckAt, now);

  // The expected survivors, once the range is known: from the job record
  // for a new sieve, from the files (the "&" message) for a resumed one.
  int32_t bMin = m_job.m_nBMin, bMax = m_job.m_nBMax, exponent = m_job.m_nExponent;
  const bool resumed = m_job.m_nCommand == kCmdResumeSieve;
  if (resumed && !m_watch.Range(bMin, bMax, exponent)) return;
  if (exponent < 1 || bMax < bMin) return;
  r.rangeBases = (static_cast<int64_t>(bMax) - bMin) / 2 + 1;
  if (p.pLast == 0) return;
  // A resumed run's files are taken as sieved from the first p on.
  if (!m_estimate) m_estimate.emplace(exponent, resumed ? 0 : m_job.m_pMin);
  r.expectedLeft = m_estimate->Expected(r.rangeBases, p.pLast);
}

bool JobRunner::Poll() {
  const int64_t now = JobContext::SteadyNow();
  const JobProgress p = m_thread.Progress();
  Record(now, p);
  return CheckStopRate(now, p);
}

bool JobRunner::CheckStopRate(int64_t now, const JobProgress& p) {
  const double limit = m_job.m_stopRateSeconds;
  // Judged from the first batch applied on: before it, no factor of the
  // work in hand is counted yet.
  if (limit <= 0 || m_stopRequested || p.sieveStartedAt == 0 || p.pLast == 0) return false;
  const RemovalRate rate = Current(now, p);
  if (!StopRatePassed(rate, Seconds(p.sieveStartedAt, now), limit)) return false;

  const std::string over =
      rate.wholeRun ? StrFormat("the %s s sieved so far", SecondsText(rate.seconds).c_str())
                    : StrFormat("the last %" PRId64 " factors (%s s)", rate.factors,
                                SecondsText(rate.seconds).c_str());
  const std::string shown = SecondsText(limit);
  m_watch.Post(rate.factors > 0
                   ? StrFormat("Stopping: one factor per %s s over %s, above --stop-rate %s s.",
                               SecondsText(rate.SecondsPerFactor()).c_str(), over.c_str(),
                               shown.c_str())
                   : StrFormat("Stopping: no factor over %s, above --stop-rate %s s.", over.c_str(),
                               shown.c_str()));
  m_stoppedByRate = true;
  RequestStop();
  return true;
}

void JobRunner::Tick() {
  m_thread.Tick();
}

JobOutcome JobRunner::Wait() {
  m_thread.Join();
  return m_thread.Outcome();
}

std::string JobRunner::EngineLine(const SieveJob& job) {
  // The level whose kernels the dispatch hands out.
  const IsaLevel& level = RunningIsaLevel(job.m_bNoSSE2 != 0 ? Isa::kScalar : job.m_isa);
  return StrFormat("Kernel %s (%s), %d thread%s, %s, %s.", level.name, level.description,
                   job.m_threads, job.m_threads == 1 ? "" : "s", DeviceText(job).c_str(),
                   ArithmeticName(job));
}

std::string FormatDuration(double seconds, const char* unknown) {
  if (!(seconds >= 0) || seconds > 1e10) return unknown;
  const auto s = static_cast<int64_t>(seconds + 0.5);
  const int64_t days = s / 86400;
  const int64_t h = (s / 3600) % 24;
  const int64_t m = (s / 60) % 60;
  const int64_t sec = s % 60;
  if (days > 0) return StrFormat("%" PRId64 "d %02" PRId64 "h %02" PRId64 "m", days, h, m);
  return StrFormat("%02" PRId64 ":%02" PRId64 ":%02" PRId64, h, m, sec);
}

}  // namespace zentrova
