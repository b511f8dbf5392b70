// AVX-512 IFMA kernels for two-word moduli: 8 lanes of Montgomery arithmetic
// on two 52-bit limbs (R = 2^104), for odd p below 2^102.
//
// A residue x = x0 + x1*2^52 has x0 < 2^52 after every step. The product is
// formed limb by limb from the IFMA low and high halves (2^52 * 2^52 = 2^104
// bits each), then reduced twice by m = t * (-p^-1) mod 2^52, which makes
// the lowest limb vanish; only the low 52 bits of t enter m, so the limb
// being cleared may carry excess bits until then. Each limb is a sum of at
// most six terms below 2^52 plus small carries: no 64-bit lane overflows.
// Lazy bound, as for every Montgomery product here: inputs below 2p give
// (a*b + M*p) / R < (4p^2 + R*p) / R < 2p for p < R/4 = 2^102, so the high
// limb stays below 2^51 and 2*x1 still fits the multiplier's 52 bits, which
// the square uses for its cross product. A raw base b < 2^31 is a valid
// input (b < 2^52 in the low limb, b*b < R*p).
//
// Compiled with -mavx512f -mavx512vl -mavx512dq -mavx512ifma; called only
// after the dispatcher has seen those features, and, like the one-word IFMA
// file, without standard-library templates.
#include <immintrin.h>

#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/KernelParts.h"

namespace zentrova::kernels::avx512ifma128 {

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;
constexpr u128 kMaxP = static_cast<u128>(1) << 102;

struct Modulus {
  __m512i p0, p1, pinv, mask, one;
};

Modulus MakeModulus(u128 p) {
  const auto lo = static_cast<uint64_t>(p);
  uint64_t inv = lo;
  for (int i = 0; i < 5; ++i) inv *= 2 - lo * inv;
  return {_mm512_set1_epi64(static_cast<long long>(lo & kMask52)),
          _mm512_set1_epi64(static_cast<long long>(p >> 52)),
          _mm512_set1_epi64(static_cast<long long>((~inv + 1) & kMask52)),
          _mm512_set1_epi64(static_cast<long long>(kMask52)), _mm512_set1_epi64(1)};
}

struct Limbs {
  __m512i lo, hi;
};

// (t0 + t1*2^52 + t2*2^104 + t3*2^156) / 2^104 mod p, lazily.
inline Limbs Reduce(__m512i t0, __m512i t1, __m512i t2, __m512i t3, const Modulus& m) {
  const __m512i zero = _mm512_setzero_si512();
  // t0 < 2^52 and t0 + lo52(q*p0) is 0 or 2^52: the carry is 1 exactly when
  // t0 != 0, which saves forming the low half.
  __m512i q = _mm512_madd52lo_epu64(zero, t0, m.pinv);
  t1 = _mm512_mask_add_epi64(t1, _mm512_test_epi64_mask(t0, t0), t1, m.one);
  t1 = _mm512_madd52hi_epu64(t1, q, m.p0);
  t1 = _mm512_madd52lo_epu64(t1, q, m.p1);
  t2 = _mm512_madd52hi_epu64(t2, q, m.p1);
  q = _mm512_madd52lo_epu64(zero, t1, m.pinv);
  t1 = _mm512_madd52lo_epu64(t1, q, m.p0);
  t2 = _mm512_madd52hi_epu64(t2, q, m.p0);
  t2 = _mm512_madd52lo_epu64(t2, q, m.p1);
  t3 = _mm512_madd52hi_epu64(t3, q, m.p1);
  t2 = _mm512_add_epi64(t2, _mm512_srli_epi64(t1, 52));
  return {_mm512_and_si512(t2, m.mask), _mm512_add_epi64(t3, _mm512_srli_epi64(t2, 52))};
}

inline Limbs Square(Limbs a, const Modulus& m) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i twice = _mm512_add_epi64(a.hi, a.hi);  // below 2^52
  const __m512i t0 = _mm512_madd52lo_epu64(zero, a.lo, a.lo);
  __m512i t1 = _mm512_madd52hi_epu64(zero, a.lo, a.lo);
  t1 = _mm512_madd52lo_epu64(t1, a.lo, twice);
  __m512i t2 = _mm512_madd52hi_epu64(zero, a.lo, twice);
  t2 = _mm512_madd52lo_epu64(t2, a.hi, a.hi);
  const __m512i t3 = _mm512_madd52hi_epu64(zero, a.hi, a.hi);
  return Reduce(t0, t1, t2, t3, m);
}

inline Limbs Mul(Limbs a, Limbs b, const Modulus& m) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i t0 = _mm512_madd52lo_epu64(zero, a.lo, b.lo);
  __m512i t1 = _mm512_madd52hi_epu64(zero, a.lo, b.lo);
  t1 = _mm512_madd52lo_epu64(t1, a.lo, b.hi);
  t1 = _mm512_madd52lo_epu64(t1, a.hi, b.lo);
  __m512i t2 = _mm512_madd52hi_epu64(zero, a.lo, b.hi);
  t2 = _mm512_madd52hi_epu64(t2, a.hi, b.lo);
  t2 = _mm512_madd52lo_epu64(t2, a.hi, b.hi);
  const __m512i t3 = _mm512_madd52hi_epu64(zero, a.hi, b.hi);
  return Reduce(t0, t1, t2, t3, m);
}

// From [0, 2p) to [0, p): subtract p where the difference is not negative.
inline Limbs Normalize(Limbs a, const Modulus& m) {
  const __m512i d0 = _mm512_sub_epi64(a.lo, m.p0);
  const __m512i d1 = _mm512_sub_epi64(_mm512_sub_epi64(a.hi, m.p1), _mm512_srli_epi64(d0, 63));
  const __mmask8 keep = _mm512_cmplt_epi64_mask(d1, _mm512_setzero_si512());
  return {_mm512_mask_blend_epi64(keep, _mm512_and_si512(d0, m.mask), a.lo),
          _mm512_mask_blend_epi64(keep, d1, a.hi)};
}

inline void AppendHits(__mmask8 mask, size_t base, uint32_t* hits, size_t& count) {
  while (mask != 0) {
    const int lane = __builtin_ctz(mask);
    hits[count++] = static_cast<uint32_t>(base + lane);
    mask = static_cast<__mmask8>(mask & (mask - 1));
  }
}

// U vectors of 8 chains side by side, enough to hide the IFMA latency
// (a square is sixteen IFMA in a chain about ten deep); the limbs live in
// lo[] and hi[], 8 lanes per vector.
template <int U>
inline void Block(uint64_t* lo, uint64_t* hi, int ln, const Modulus& m) {
  Limbs x[U];
  for (int u = 0; u < U; ++u) {
    x[u] = {_mm512_loadu_si512(lo + 8 * u), _mm512_loadu_si512(hi + 8 * u)};
  }
  for (int s = 0; s < ln; ++s) {
    for (int u = 0; u < U; ++u) x[u] = Square(x[u], m);
  }
  for (int u = 0; u < U; ++u) {
    const Limbs y = Normalize(x[u], m);
    _mm512_storeu_si512(lo + 8 * u, y.lo);
    _mm512_storeu_si512(hi + 8 * u, y.hi);
  }
}

}  // namespace

bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, u128 p, uint64_t* scratch,
                    uint32_t* hits, size_t& count) {
  count = 0;
  if (p >= kMaxP || p < 3 || (p & 1) == 0) return false;
  // The bases, plus one chain on 1 behind them: its result R^(1-N) gives the
  // value p - R^(1-N) that b's result equals when b^N == -1.
  const size_t vectors = (n + 1 + 7) / 8;
  uint64_t* lo = scratch;
  uint64_t* hi = scratch + 8 * vectors;
  for (size_t i = 0; i < n; ++i) lo[i] = static_cast<uint32_t>(cand[i]);
  lo[n] = 1;
  for (size_t i = n + 1; i < 8 * vectors; ++i) lo[i] = 0;
  for (size_t i = 0; i < 8 * vectors; ++i) hi[i] = 0;
  const Modulus m = MakeModulus(p);
  // Blocks of up to four vectors.
  EvenBlocks<4>(vectors,
                [&]<int U>(size_t first) { Block<U>(lo + 8 * first, hi + 8 * first, ln, m); });
  const u128 one = lo[n] | (static_cast<u128>(hi[n]) << 52);
  if (one == 0) return true;  // cannot happen: R is invertible mod odd p
  const u128 target = p - one;
  const __m512i t0 =
      _mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(target) & kMask52));
  const __m512i t1 = _mm512_set1_epi64(static_cast<long long>(target >> 52));
  for (size_t w = 0; w * 8 < n; ++w) {
    const size_t left = n - 8 * w;
    const __mmask8 live = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1);
    __mmask8 eq = _mm512_mask_cmpeq_epi64_mask(live, _mm512_loadu_si512(lo + 8 * w), t0);
    eq = _mm512_mask_cmpeq_epi64_mask(eq, _mm512_loadu_si512(hi + 8 * w), t1);
    AppendHits(eq, 8 * w, hits, count);
  }
  return true;
}

namespace {

inline Limbs Broadcast(u128 x) {
  return {_mm512_set1_epi64(static_cast<long long>(static_cast<uint64_t>(x) & kMask52)),
          _mm512_set1_epi64(static_cast<long long>(x >> 52))};
}

inline Limbs Load(const u128* x) {
  alignas(64) uint64_t lo[8], hi[8];
  for (int i = 0; i < 8; ++i) {
    lo[i] = static_cast<uint64_t>(x[i]) & kMask52;
    hi[i] = static_cast<uint64_t>(x[i] >> 52);
  }
  return {_mm512_load_si512(lo), _mm512_load_si512(hi)};
}

inline void Store(Limbs x, u128* out) {
  alignas(64) uint64_t lo[8], hi[8];
  _mm512_store_si512(lo, x.lo);
  _mm512_store_si512(hi, x.hi);
  for (int i = 0; i < 8; ++i) out[i] = lo[i] | (static_cast<u128>(hi[i]) << 52);
}

// Lanes that may hold a root, from the high limb of a lazy x in [0, 2p)
// alone: x mod p or p - (x mod p) is at most bMax < 2^52 only if x <= bMax
// (high limb 0), x lies within bMax of p, or x >= 2p - bMax. The few lanes
// flagged beyond these are sorted out exactly by the caller.
struct Window {
  __m512i from, width, top;
};

Window MakeWindow(u128 p, uint32_t bMax) {
  const u128 from = p - bMax;  // p > 2^52 > bMax
  return {_mm512_set1_epi64(static_cast<long long>(from >> 52)),
          _mm512_set1_epi64(static_cast<long long>(((p + bMax) >> 52) - (from >> 52))),
          _mm512_set1_epi64(static_cast<long long>((2 * p - bMax) >> 52))};
}

inline __mmask8 MayHoldRoot(Limbs x, const Window& w) {
  const __mmask8 low = _mm512_cmpeq_epi64_mask(x.hi, _mm512_setzero_si512());
  const __mmask8 near = _mm512_cmple_epu64_mask(_mm512_sub_epi64(x.hi, w.from), w.width);
  const __mmask8 top = _mm512_cmpge_epu64_mask(x.hi, w.top);
  return static_cast<__mmask8>(low | near | top);
}

}  // namespace

bool WideSieveRaw(u128 p, const u128* starts, int segments, int64_t stagesEach, u128 stepMont,
                  int32_t bMax, const uint8_t* firstOrder, const uint8_t* laterOrder,
                  uint32_t* roots, size_t perSegment, size_t* counts) {
  if (!WideRawTakes(p, kMaxP, bMax, segments, kWideSegments)) return false;
  const Modulus m = MakeModulus(p);
  const u128 limit = static_cast<uint32_t>(bMax);
  const Window window = MakeWindow(p, static_cast<uint32_t>(bMax));
  const Limbs step = Broadcast(stepMont);
  Limbs x[2 * kWideSegments];
  for (int h = 0; h < segments; ++h) {
    x[2 * h] = Load(starts + 16 * h);
    x[2 * h + 1] = Load(starts + 16 * h + 8);
    counts[h] = 0;
  }
  alignas(16) u128 values[16];
  for (int64_t r = 0; r < stagesEach; ++r) {
    for (int h = 0; h < segments; ++h) {
      if ((MayHoldRoot(x[2 * h], window) | MayHoldRoot(x[2 * h + 1], window)) == 0) continue;
      Store(x[2 * h], values);
      Store(x[2 * h + 1], values + 8);
      if (!StoreRunStage(values, r == 0 && h == 0 ? firstOrder : laterOrder, p, limit,
                         roots + perSegment * static_cast<size_t>(h), perSegment, counts[h])) {
        return false;
      }
    }
    // Multiplying a residue by the Montgomery form of S gives a residue of
    // x*S, lazily below 2p. The runs' chains are independent, which hides
    // the latency of each product.
    for (int i = 0; i < 2 * segments; ++i) x[i] = Mul(x[i], step, m);
  }
  return true;
}

void FermatBatch(const u128* p, int n, bool* pass) {
  // Eight moduli, one per lane, each with its own constants; powering of 2
  // left to right, driven by the longest exponent p - 1 (a lane whose
  // exponent is shorter squares its Montgomery one into itself). Doubling
  // x < 2p gives 2x < 4p < 2^104, brought below 2p by one subtraction of 2p.
  for (int base = 0; base < n; base += 8) {
    const int lanes = n - base < 8 ? n - base : 8;
    alignas(64) uint64_t p0[8], p1[8], pinv[8], one0[8], one1[8], two0[8], two1[8], e0[8], e1[8];
    int top = 0;
    for (int i = 0; i < 8; ++i) {
      const u128 q = i < lanes ? p[base + i] : 3;
      const auto lo = static_cast<uint64_t>(q);
      uint64_t inv = lo;
      for (int k = 0; k < 5; ++k) inv *= 2 - lo * inv;
      p0[i] = lo & kMask52;
      p1[i] = static_cast<uint64_t>(q >> 52);
      pinv[i] = (~inv + 1) & kMask52;
      const u128 one = (static_cast<u128>(1) << 104) % q;  // R mod p
      one0[i] = static_cast<uint64_t>(one) & kMask52;
      one1[i] = static_cast<uint64_t>(one >> 52);
      two0[i] = static_cast<uint64_t>(2 * q) & kMask52;
      two1[i] = static_cast<uint64_t>((2 * q) >> 52);
      const u128 e = q - 1;
      e0[i] = static_cast<uint64_t>(e);
      e1[i] = static_cast<uint64_t>(e >> 64);
      const int bits = e1[i] != 0 ? 128 - __builtin_clzll(e1[i]) : 64 - __builtin_clzll(e0[i] | 1);
      if (bits > top) top = bits;
    }
    const Modulus m{_mm512_load_si512(p0), _mm512_load_si512(p1), _mm512_load_si512(pinv),
                    _mm512_set1_epi64(static_cast<long long>(kMask52)), _mm512_set1_epi64(1)};
    const Limbs one{_mm512_load_si512(one0), _mm512_load_si512(one1)};
    const Limbs twoP{_mm512_load_si512(two0), _mm512_load_si512(two1)};
    const __m512i expLo = _mm512_load_si512(e0);
    const __m512i expHi = _mm512_load_si512(e1);
    Limbs x = one;
    for (int bit = top - 1; bit >= 0; --bit) {
      x = Square(x, m);
      const __mmask8 set =
          bit >= 64 ? _mm512_test_epi64_mask(expHi, _mm512_set1_epi64(1LL << (bit - 64)))
                    : _mm512_test_epi64_mask(
                          expLo, _mm512_set1_epi64(static_cast<long long>(uint64_t{1} << bit)));
      if (set == 0) continue;
      const __m512i lo2 = _mm512_add_epi64(x.lo, x.lo);
      const Limbs d{_mm512_and_si512(lo2, m.mask),
                    _mm512_add_epi64(_mm512_add_epi64(x.hi, x.hi), _mm512_srli_epi64(lo2, 52))};
      // d - 2p where it is not negative.
      const __m512i s0 = _mm512_sub_epi64(d.lo, twoP.lo);
      const __m512i s1 =
          _mm512_sub_epi64(_mm512_sub_epi64(d.hi, twoP.hi), _mm512_srli_epi64(s0, 63));
      const __mmask8 keep = _mm512_cmplt_epi64_mask(s1, _mm512_setzero_si512());
      const Limbs reduced{_mm512_mask_blend_epi64(keep, _mm512_and_si512(s0, m.mask), d.lo),
                          _mm512_mask_blend_epi64(keep, s1, d.hi)};
      x = {_mm512_mask_blend_epi64(set, x.lo, reduced.lo),
           _mm512_mask_blend_epi64(set, x.hi, reduced.hi)};
    }
    x = Normalize(x, m);
    const __mmask8 eq =
        _mm512_mask_cmpeq_epi64_mask(_mm512_cmpeq_epi64_mask(x.lo, one.lo), x.hi, one.hi);
    for (int i = 0; i < lanes; ++i) pass[base + i] = ((eq >> i) & 1) != 0;
  }
}

}  // namespace zentrova::kernels::avx512ifma128
