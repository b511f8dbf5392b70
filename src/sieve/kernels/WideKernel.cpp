#include "sieve/kernels/WideKernel.h"

#include "math/ModArith.h"

namespace zentrova {

namespace {

// x*w mod p for a fixed w with wq = floor(w * 2^64 / p) (Shoup): the
// estimated quotient is the true one or one less, so one subtraction ends it.
inline uint64_t MulShoup(uint64_t x, uint64_t w, uint64_t wq, uint64_t p) {
  const auto q = static_cast<uint64_t>((static_cast<unsigned __int128>(x) * wq) >> 64);
  const uint64_t r = x * w - q * p;
  return r >= p ? r - p : r;
}

inline uint64_t ShoupQuotient(uint64_t w, uint64_t p) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(w) << 64) / p);
}

}  // namespace

void WideStageOrder(WideOrder order, bool firstStage, uint8_t* slots) {
  constexpr uint8_t kNeg = 0x80;
  int n = 0;
  if (order == WideOrder::kAthlon) {
    for (uint8_t i = 0; i < 16; ++i) slots[n++] = i;
    for (uint8_t i = 0; i < 16; ++i) slots[n++] = static_cast<uint8_t>(i | kNeg);
    return;
  }
  for (uint8_t g = 0; g < 8; ++g) {
    const auto i = static_cast<uint8_t>(2 * g);  // x_j with j = 4g + 1
    const auto i2 = static_cast<uint8_t>(i + 1);
    if (g == 7 && !firstStage) {
      slots[n++] = i;
      slots[n++] = static_cast<uint8_t>(i | kNeg);
      slots[n++] = i2;
      slots[n++] = static_cast<uint8_t>(i2 | kNeg);
    } else {
      slots[n++] = i;
      slots[n++] = i2;
      slots[n++] = static_cast<uint8_t>(i | kNeg);
      slots[n++] = static_cast<uint8_t>(i2 | kNeg);
    }
  }
}

bool WideRootsPortable(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, WideOrder order,
                       std::vector<uint32_t>& roots, size_t capacity) {
  const uint64_t a2 = MulModExact(a0, a0, p);
  const uint64_t a2q = ShoupQuotient(a2, p);
  uint64_t x[16];
  x[0] = a0 % p;
  for (int i = 1; i < 16; ++i) x[i] = MulShoup(x[i - 1], a2, a2q, p);
  const uint64_t s = MulModExact(x[15], a0, p);  // a0^32
  const uint64_t sq = ShoupQuotient(s, p);
  uint8_t first[32], later[32];
  WideStageOrder(order, true, first);
  WideStageOrder(order, false, later);
  const uint64_t limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  const int64_t stages = n >> 5;
  for (int64_t r = 0; r < stages; ++r) {
    bool any = false;
    for (int i = 0; i < 16; ++i) any |= x[i] <= limit || p - x[i] <= limit;
    if (any) {
      const uint8_t* slots = r == 0 ? first : later;
      for (int t = 0; t < 32; ++t) {
        const uint64_t xj = x[slots[t] & 15];
        const uint64_t v = (slots[t] & 0x80) ? p - xj : xj;
        if (v <= limit) {
          roots.push_back(static_cast<uint32_t>(v));
          if (roots.size() >= capacity) return false;
        }
      }
    }
    if (r + 1 < stages) {
      for (int i = 0; i < 16; ++i) x[i] = MulShoup(x[i], s, sq, p);
    }
  }
  return true;
}

bool WideRootsSmallN(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                     std::vector<uint32_t>& roots, size_t capacity) {
  const uint64_t a2 = MulModExact(a0, a0, p);
  const uint64_t limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  uint64_t x = a0 % p;
  for (int64_t j = 0; j < n; ++j) {
    if (x <= limit) {
      roots.push_back(static_cast<uint32_t>(x));
      if (roots.size() >= capacity) return false;
    }
    x = MulModExact(x, a2, p);
  }
  return true;
}

}  // namespace zentrova
