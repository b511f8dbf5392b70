#include "front/RemovalRate.h"

namespace zentrova {

RemovalRate CurrentRemovalRate(std::span<const StruckBatch> batches, int64_t struckNow,
                               int64_t sieveStartedAt, int64_t now, int64_t factors) {
  RemovalRate rate;
  rate.factors = struckNow;
  rate.seconds = static_cast<double>(now - sieveStartedAt) / 1e9;
  // The latest batch with at least `factors` bases struck after it.
  for (auto it = batches.rbegin(); it != batches.rend(); ++it) {
    if (struckNow - it->struckTotal >= factors) {
      rate.factors = struckNow - it->struckTotal;
      rate.seconds = static_cast<double>(now - it->at) / 1e9;
      rate.wholeRun = false;
      break;
    }
  }
  if (rate.seconds < 0) rate.seconds = 0;
  return rate;
}

bool StopRatePassed(const RemovalRate& rate, double sievedSeconds, double stopRate) {
  if (!(stopRate > 0) || sievedSeconds < config::kStopRateEvidence * stopRate) return false;
  if (rate.factors < config::kRateFactors &&
      sievedSeconds < static_cast<double>(config::kRateFactors) * stopRate) {
    return false;
  }
  return rate.factors == 0 || rate.SecondsPerFactor() > stopRate;
}

}  // namespace zentrova
