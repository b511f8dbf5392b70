// The two-word wide walk and a0 search. The walk multiplies by fixed factors
// (a0^2 while the first stage is built, then the step S = a0^32) by Shoup's
// method, which keeps every value in standard form for the comparison with
// bMax: with wq = floor(w * 2^128 / p) and x < p, q = floor(x * wq / 2^128)
// is floor(x*w/p) or one less, since x*wq/2^128 > x*w/p - x/2^128. So
// x*w - q*p lies in [0, 2p), which is below 2^128 for p < 2^127 and may be
// computed modulo 2^128 from the low halves of the two products.
#include "math/ModArith.h"
#include "math/Montgomery128.h"
#include "sieve/Config.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

namespace {

using u128 = unsigned __int128;

// floor(x * y / 2^128), exactly.
inline u128 MulHigh(u128 x, u128 y) {
  const auto x0 = static_cast<uint64_t>(x), x1 = static_cast<uint64_t>(x >> 64);
  const auto y0 = static_cast<uint64_t>(y), y1 = static_cast<uint64_t>(y >> 64);
  const u128 ll = static_cast<u128>(x0) * y0;
  const u128 lh = static_cast<u128>(x0) * y1;
  const u128 hl = static_cast<u128>(x1) * y0;
  const u128 hh = static_cast<u128>(x1) * y1;
  const u128 mid = (ll >> 64) + static_cast<uint64_t>(lh) + static_cast<uint64_t>(hl);
  return hh + (lh >> 64) + (hl >> 64) + (mid >> 64);
}

inline u128 MulShoup(u128 x, u128 w, u128 wq, u128 p) {
  const u128 q = MulHigh(x, wq);
  const u128 r = x * w - q * p;
  return r >= p ? r - p : r;
}

// floor(w * 2^128 / p) for w < p < 2^127: long division, taking as many bits
// per step as p leaves free at the top (set-up only).
u128 ShoupQuotient(u128 w, u128 p) {
  const auto hi = static_cast<uint64_t>(p >> 64);
  const int room = hi != 0 ? __builtin_clzll(hi) : 64 + __builtin_clzll(static_cast<uint64_t>(p));
  u128 q = 0;
  u128 r = w;
  for (int left = 128; left > 0;) {
    const int s = room < left ? room : left;
    const u128 shifted = r << s;
    q = (q << s) | (shifted / p);
    r = shifted % p;
    left -= s;
  }
  return q;
}

}  // namespace

bool WideRootsPortable128(u128 p, u128 a0, int64_t n, int32_t bMax, WideOrder order,
                          std::vector<uint32_t>& roots, size_t capacity) {
  const u128 a2 = MulModExact128(a0, a0, p);
  const u128 a2q = ShoupQuotient(a2, p);
  u128 x[16];
  x[0] = a0 % p;
  for (int i = 1; i < 16; ++i) x[i] = MulShoup(x[i - 1], a2, a2q, p);
  const u128 s = MulModExact128(x[15], a0, p);  // a0^32
  const u128 sq = ShoupQuotient(s, p);
  uint8_t first[32], later[32];
  WideStageOrder(order, true, first);
  WideStageOrder(order, false, later);
  const u128 limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  const int64_t stages = n >> 5;
  for (int64_t r = 0; r < stages; ++r) {
    bool any = false;
    for (int i = 0; i < 16; ++i) any |= x[i] <= limit || p - x[i] <= limit;
    if (any) {
      const uint8_t* slots = r == 0 ? first : later;
      for (int t = 0; t < 32; ++t) {
        const u128 xj = x[slots[t] & 15];
        const u128 v = (slots[t] & 0x80) ? p - xj : xj;
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

bool WideRootsSmallN128(u128 p, u128 a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                        size_t capacity) {
  const u128 a2 = MulModExact128(a0, a0, p);
  const u128 limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  u128 x = a0 % p;
  for (int64_t j = 0; j < n; ++j) {
    if (x <= limit) {
      roots.push_back(static_cast<uint32_t>(x));
      if (roots.size() >= capacity) return false;
    }
    x = MulModExact128(x, a2, p);
  }
  return true;
}

bool Athlon8xCondLoopArray128(u128 p, u128 a0, int64_t n, int32_t bMax,
                              std::vector<uint32_t>& roots, size_t capacity,
                              KernelScratch& /*scratch*/) {
  return WideRootsPortable128(p, a0, n, bMax, WideOrder::kAthlon, roots, capacity);
}

bool WideSmallN128(u128 p, u128 a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                   size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsSmallN128(p, a0, n, bMax, roots, capacity);
}

A0Search FindA0_128(u128 p, uint64_t k, int ln, u128& a0) {
  const Montgomery128 mont(p);
  const u128 one = mont.One();
  const u128 minusOne = p - one;
  for (int tries = 0; tries < config::kWideMaxGTries; ++tries) {
    const uint64_t g = tries == 0 ? 2 : static_cast<uint64_t>(2 * tries + 1);
    // a = g^k, left to right, in Montgomery form.
    const u128 gm = mont.ToMontgomery(g);
    u128 a = one;
    for (int bit = 63 - __builtin_clzll(k | 1); bit >= 0; --bit) {
      a = mont.Square(a);
      if ((k >> bit) & 1) a = mont.Mul(a, gm);
    }
    u128 s = a;
    for (int i = 0; i < ln; ++i) s = mont.Square(s);
    s = mont.Normalize(s);
    if (s == one) continue;
    if (s != minusOne) return A0Search::kComposite;
    a0 = mont.FromMontgomery(a);
    // The same property in the exact reference arithmetic, as a guard.
    return VerifyFactor128(ln, a0, p) ? A0Search::kFound : A0Search::kInvalid;
  }
  return A0Search::kComposite;
}

}  // namespace zentrova
