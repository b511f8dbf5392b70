// SieveHistory: the past of a resumed sieve, for the progress chart. A run
// samples only itself; its files hold the rest. Every factor line names the
// p that struck its base, and the candidate file the bases left at its
// depth D, so the bases left after any p <= D are those at D plus the
// factors found above p (the factor file's format, normal or wide, is told
// by its first line). The expected survivors at each p are those the
// runner shows for a resume (front/SurvivorEstimate.h, the range of the
// factor file's header, sieved from the first p on). The factor file holds
// no times, so the factors per hour start with the resumed run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "math/ModArith.h"

namespace zentrova {

struct SieveHistoryPoint {
  UInt128 p = 0;
  int64_t basesLeft = 0;
  double expected = -1;  // -1: the range is not known
  bool operator==(const SieveHistoryPoint&) const = default;
};

class SieveHistory {
 public:
  // The most points a history keeps (evenly spread over its factors, the
  // first and the last kept), so that a sieve of weeks draws at once.
  static constexpr size_t kMaxPoints = 1000;

  // Reads the pair. False, with why, when the candidate file or the factor
  // file cannot be read; a factor file that is not given leaves the one point
  // at the depth.
  bool Read(const std::string& factorFile, const std::string& candidateFile, std::string& why);

  // The points after each distinct p of the factors at or below depth (in
  // any order), and one at depth itself, in increasing p; `left` bases are
  // left at depth. Expected counts follow when exponent and rangeBases are
  // known (> 0).
  static std::vector<SieveHistoryPoint> FromFactors(std::vector<UInt128> factors, UInt128 depth,
                                                    int64_t left, int32_t exponent = 0,
                                                    int64_t rangeBases = 0);

  const std::vector<SieveHistoryPoint>& Points() const { return m_points; }

 private:
  std::vector<SieveHistoryPoint> m_points;
};

}  // namespace zentrova
