// The exponent N of b^N+1 as the sieve takes it: a power of two, N = 2^ln
// with ln in 1..30, so that every factor candidate is p = k·2^(ln+1) + 1.
#pragma once

#include <cstdint>

namespace zentrova {

// ln for N = 2^ln, ln in 1..30; 0 when N is no such power.
constexpr int32_t ExponentLog2(int64_t exponent) {
  for (int32_t ln = 1; ln <= 30; ++ln) {
    if (exponent == (int64_t{1} << ln)) return ln;
  }
  return 0;
}

}  // namespace zentrova
