// The removal rate a prime hunter stops by: the time per factor of the
// recent past, never the run's mean. The rate falls by orders of magnitude
// as p grows, so a mean over the run (or over any window of fixed length,
// which is the run's mean while the run is younger) says a run removes bases
// many times faster than it does.
//
// The figure is the time the last kRateFactors factors took, divided by
// their count: from the latest batch after which at least that many bases
// were struck, to now. Its window shrinks as the rate rises and grows as it
// falls, holding a steady count of factors (good to about one part in
// sqrt(kRateFactors)); while fewer have been found, it covers the whole
// sieve. Ending at now, it grows while no factor comes.
#pragma once

#include <cstdint>
#include <span>

#include "sieve/JobContext.h"

namespace zentrova {

namespace config {
// The factors the current removal rate is taken over.
constexpr int64_t kRateFactors = 20;
// A stop rate of S seconds is judged only after this many times S of
// sieving, and after kRateFactors factors or as long as kRateFactors of them
// would take at the rate of S.
constexpr double kStopRateEvidence = 4;
}  // namespace config

static_assert(kStruckBatchesKept > config::kRateFactors,
              "the engine keeps too few batches for the rate's factors");

struct RemovalRate {
  int64_t factors = 0;   // the bases struck in the window
  double seconds = 0;    // its length
  bool wholeRun = true;  // the window is the whole sieve (fewer factors found)

  // Its mean time per factor; -1 without a factor.
  double SecondsPerFactor() const {
    return factors > 0 ? seconds / static_cast<double>(factors) : -1;
  }
};

// The current removal rate at `now`, from the batches that struck bases
// (oldest first; the latest ones are enough), the run's count of bases
// struck and the sieve loop's start (all times in nanoseconds of one clock).
RemovalRate CurrentRemovalRate(std::span<const StruckBatch> batches, int64_t struckNow,
                               int64_t sieveStartedAt, int64_t now,
                               int64_t factors = config::kRateFactors);

// Whether a run whose current removal rate is `rate`, sieving for
// `sievedSeconds`, has passed the stop rate of `stopRate` seconds per
// factor: it has sieved for kStopRateEvidence * stopRate, has found
// kRateFactors factors or sieved as long as they would take at the stop
// rate, and its current time per factor is above the stop rate.
bool StopRatePassed(const RemovalRate& rate, double sievedSeconds, double stopRate);

}  // namespace zentrova
