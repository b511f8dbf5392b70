// Left-to-right binary powering of 2 in two-word Montgomery form, four lanes
// driven by the longest exponent (a shorter one sees leading zero bits, which
// square its Montgomery one into itself). Doubling is a shift and a lazy
// subtraction: x < 2p < 2^127, so 2x fits in two words and one subtraction
// of 2p brings it back below 2p.
#include "math/Fermat128.h"

#include <algorithm>

#include "math/Montgomery128.h"

namespace zentrova {

void FermatBatchScalar128(const unsigned __int128* p, int n, bool* pass) {
  using u128 = unsigned __int128;
  constexpr int kLanes = 4;
  for (int base = 0; base < n; base += kLanes) {
    const int lanes = std::min(kLanes, n - base);
    Montgomery128 mont[kLanes] = {Montgomery128(3), Montgomery128(3), Montgomery128(3),
                                  Montgomery128(3)};
    u128 x[kLanes] = {};
    u128 e[kLanes] = {};
    u128 one[kLanes] = {};
    int topBit = 0;
    for (int i = 0; i < lanes; ++i) {
      mont[i] = Montgomery128(p[base + i]);
      one[i] = mont[i].One();
      x[i] = one[i];
      e[i] = p[base + i] - 1;
      const auto hi = static_cast<uint64_t>(e[i] >> 64);
      const int top = hi != 0 ? 127 - __builtin_clzll(hi)
                              : 63 - __builtin_clzll(static_cast<uint64_t>(e[i]) | 1);
      topBit = std::max(topBit, top);
    }
    for (int bit = topBit; bit >= 0; --bit) {
      for (int i = 0; i < lanes; ++i) {
        const u128 y = mont[i].Square(x[i]);
        const u128 twoP = mont[i].p << 1;
        const u128 d = y << 1;
        const u128 dRed = d >= twoP ? d - twoP : d;
        x[i] = ((e[i] >> bit) & 1) ? dRed : y;
      }
    }
    for (int i = 0; i < lanes; ++i) pass[base + i] = mont[i].Normalize(x[i]) == one[i];
  }
}

}  // namespace zentrova
