// Left-to-right binary powering of 2 in Montgomery form, one word or two,
// four lanes driven by the longest exponent (a shorter one sees leading zero
// bits, which square its Montgomery one into itself). Doubling is a shift and
// a lazy subtraction: x < 2p, so 2x < 4p fits the word (p < 2^62 in one word,
// p < 2^126 in two) and one subtraction of 2p brings it back below 2p. Each
// bit costs one Montgomery square per lane.
#include "math/Fermat128.h"

#include <algorithm>

#include "math/WordArith.h"

namespace zentrova {

namespace {

// A function of its own (not inlined into the two below): inlined, GCC 12
// keeps fewer of the four lanes in registers and the one-word loop spills.
template <typename Word>
__attribute__((noinline)) void FermatBatchLanes(const Word* p, int n, bool* pass) {
  using Arith = WordArith<Word>;
  using Montgomery = typename Arith::Montgomery;
  constexpr int kLanes = 4;
  for (int base = 0; base < n; base += kLanes) {
    const int lanes = std::min(kLanes, n - base);
    Montgomery mont[kLanes] = {Montgomery(3), Montgomery(3), Montgomery(3), Montgomery(3)};
    Word x[kLanes] = {};
    Word e[kLanes] = {};
    Word one[kLanes] = {};
    int topBit = 0;
    for (int i = 0; i < lanes; ++i) {
      mont[i] = Montgomery(p[base + i]);
      one[i] = mont[i].One();
      x[i] = one[i];
      e[i] = p[base + i] - 1;
      topBit = std::max(topBit, Arith::TopBit(e[i]));
    }
    for (int bit = topBit; bit >= 0; --bit) {
      for (int i = 0; i < lanes; ++i) {
        const Word y = mont[i].Square(x[i]);
        const Word twoP = mont[i].p << 1;
        const Word d = y << 1;
        const Word dRed = d >= twoP ? d - twoP : d;
        x[i] = ((e[i] >> bit) & 1) ? dRed : y;
      }
    }
    for (int i = 0; i < lanes; ++i) pass[base + i] = mont[i].Normalize(x[i]) == one[i];
  }
}

}  // namespace

void FermatBatchScalar(const uint64_t* p, int n, bool* pass) { FermatBatchLanes(p, n, pass); }

void FermatBatchScalar128(const unsigned __int128* p, int n, bool* pass) {
  FermatBatchLanes(p, n, pass);
}

}  // namespace zentrova
