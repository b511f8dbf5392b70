// The current removal rate and the stop rate on planted factor streams whose
// answers are worked out by hand below: a run that strikes a base every
// 0.1 s for its first 10 s (factors 1..100 at 0.1 s .. 10 s) and one every
// 10 s after (factor 100 + j at 10 + 10 j s).
#include <gtest/gtest.h>

#include <vector>

#include "front/RemovalRate.h"

namespace zentrova {
namespace {

constexpr int64_t kSecond = 1000000000;

// The batches of the stream struck up to `now` (nanoseconds; the loop starts
// at 0), the latest kStruckBatchesKept of them, as the engine keeps them.
std::vector<StruckBatch> FastThenSlow(int64_t now, int64_t& struck) {
  std::vector<StruckBatch> all;
  for (int64_t i = 1; i <= 100 && i * kSecond / 10 <= now; ++i)
    all.push_back({i * kSecond / 10, i});
  for (int64_t j = 1; 10 * kSecond + j * 10 * kSecond <= now; ++j) {
    all.push_back({10 * kSecond + j * 10 * kSecond, 100 + j});
  }
  struck = all.empty() ? 0 : all.back().struckTotal;
  if (all.size() > kStruckBatchesKept) all.erase(all.begin(), all.end() - kStruckBatchesKept);
  return all;
}

TEST(RemovalRate, TheLastFactorsOfAPlantedStream) {
  struct Case {
    const char* what;
    bool stream;                       // the fast-then-slow stream, else:
    std::vector<StruckBatch> batches;  // these batches
    int64_t struck;
    double now;  // seconds
    int64_t factors;
    double seconds;
    bool wholeRun;
  };
  const Case cases[] = {
      {"nothing struck yet", false, {}, 0, 5, 0, 5, true},
      // Fewer than 20: the whole sieve, 7 factors in 10 s.
      {"seven factors",
       false,
       {{1 * kSecond, 1}, {3 * kSecond, 4}, {7 * kSecond, 7}},
       7,
       10,
       7,
       10,
       true},
      // 110 struck at 110 s; the latest batch with 20 after it is factor 90
      // at 9 s: 20 factors in 101 s (the run's mean is 1 s).
      {"fast then slow, at 110 s", true, {}, 0, 110, 20, 101, false},
      // Factor 100 at 10 s is the last with 20 after it: 200 s, the slow rate.
      {"fast then slow, at 210 s", true, {}, 0, 210, 20, 200, false},
      // Five seconds after factor 120 (at 210 s): the window grows with the
      // wait, from factor 100's batch.
      {"fast then slow, at 215 s", true, {}, 0, 215, 20, 205, false},
      // A batch of 50 at 5 s between single factors: the batch before it is
      // the latest with 20 after; with none before it, the whole run.
      {"a batch of 50",
       false,
       {{2 * kSecond, 1}, {5 * kSecond, 51}, {6 * kSecond, 52}},
       52,
       8,
       51,
       6,
       false},
      {"a batch of 50 first", false, {{5 * kSecond, 50}, {6 * kSecond, 51}}, 51, 8, 51, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int64_t now = static_cast<int64_t>(c.now * kSecond);
    int64_t struck = c.struck;
    std::vector<StruckBatch> batches = c.batches;
    if (c.stream) batches = FastThenSlow(now, struck);
    const RemovalRate rate = CurrentRemovalRate(batches, struck, 0, now);
    EXPECT_EQ(rate.factors, c.factors);
    EXPECT_DOUBLE_EQ(rate.seconds, c.seconds);
    EXPECT_EQ(rate.wholeRun, c.wholeRun);
    EXPECT_DOUBLE_EQ(rate.SecondsPerFactor(), c.factors > 0 ? c.seconds / c.factors : -1);
  }
}

// Steps the stream in tenths of a second until the stop rate is passed;
// -1: not by `until`.
double StopsAt(double stopRate, bool anyFactors, double until) {
  for (int64_t now = 0; now <= static_cast<int64_t>(until * kSecond); now += kSecond / 10) {
    int64_t struck = 0;
    std::vector<StruckBatch> batches;
    if (anyFactors) batches = FastThenSlow(now, struck);
    const RemovalRate rate = CurrentRemovalRate(batches, struck, 0, now);
    if (StopRatePassed(rate, static_cast<double>(now) / kSecond, stopRate)) {
      return static_cast<double>(now) / kSecond;
    }
  }
  return -1;
}

TEST(RemovalRate, StopRateOnAPlantedStream) {
  struct Case {
    double stopRate;
    bool anyFactors;
    double stopsAt;  // -1: never within 1000 s
  };
  const Case cases[] = {
      // Between 10 + 10 j and 20 + 10 j s (j <= 20) the last 20 factors start
      // at factor 80 + j, at 8 + 0.1 j s: the rate (now - 8 - 0.1 j) / 20
      // passes 3 s after 68 + 0.1 j s, first for j = 5: at 68.6 s on the
      // tenths. (The run's mean would pass 3 s only near 424 s.)
      {3, true, 68.6},
      // 0.1 s per factor from the start, above 0.0625: judged once 20
      // factors were found or 20 x 0.0625 = 1.25 s were sieved, at 1.3 s on
      // the tenths (13 factors in 1.3 s).
      {0.0625, true, 1.3},
      // No factor at all: after 20 x 2 s.
      {2, false, 40},
      // The slow regime's 10 s per factor (at most 10.5 s with the wait)
      // stays below 20 s.
      {20, true, -1},
      // In [10 + 10 j, 20 + 10 j) the rate passes 9 s after 188 + 0.1 j s,
      // first within its interval for j = 17: in [180, 190), after 189.7 s.
      {9, true, 189.8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopRate);
    EXPECT_DOUBLE_EQ(StopsAt(c.stopRate, c.anyFactors, 1000), c.stopsAt);
  }
}

}  // namespace
}  // namespace zentrova
