// AVX2 kernel for two-word moduli: 4 lanes of Montgomery arithmetic on four
// 24-bit limbs (R = 2^96), for odd p below 2^94. AVX2 multiplies only 32 by
// 32 bits (vpmuludq), so the limbs are kept narrow enough that the columns of
// a product add up in 64-bit lanes without a carry between them until the
// reduction moves it.
//
// A residue is x = x0 + x1*2^24 + x2*2^48 + x3*2^72 with x0, x1, x2 < 2^24
// after every step. The lazy bound is the usual one: inputs below 2p give
// (x*x + M*p) / R < (4p^2 + R*p) / R < 2p for p < R/4 = 2^94, so x3 < 2^23.
// A raw base b < 2^31 is a valid input (x0 < 2^24, x1 < 2^7, b*b < R*p).
//
// No lane overflows: the square's columns are at most two products of a
// limb below 2^24 and a doubled limb below 2^25, so below 2^50. Round i of
// the reduction takes q = t_i * (-p^-1) mod 2^24 (vpmuludq reads only the
// low 32 bits of t_i, which decide q), adds q*p_j < 2^48 to column i + j and
// moves t_i >> 24 (below 2^28) into column i + 1. A column receives at most
// four such products and one carry: below 2^50 + 2^50 + 2^28 < 2^52.
//
// Measured on the project's 2-core AMD EPYC (Zen 4 class), one thread, best
// of 3 (zentrova_bench BM_SquareTwoWord, BM_WideTwoWord at p ~ 10^20): 2.5 ns
// per squaring against 5.0 for the portable Montgomery128 chains, and 3.0 ns
// per product of the wide walk against 5.3 for the portable Shoup walk.
//
// Compiled with -mavx2 -mfma, like the one-word AVX2 file; called only after
// the dispatcher has seen both, and without standard-library templates.
#include <immintrin.h>

#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/KernelParts.h"

namespace zentrova::kernels::avx2_128 {

namespace {

using u128 = unsigned __int128;

constexpr int kLimbBits = 24;
constexpr uint64_t kMask24 = (uint64_t{1} << kLimbBits) - 1;
constexpr u128 kMaxP = kAvx2TwoWordLimit;

struct Modulus {
  __m256i p0, p1, p2, p3, pinv, mask;
};

Modulus MakeModulus(u128 p) {
  const auto lo = static_cast<uint64_t>(p);
  uint64_t inv = lo;  // correct to 3 bits for odd p; Newton doubles it
  for (int i = 0; i < 5; ++i) inv *= 2 - lo * inv;
  auto limb = [p](int i) {
    return _mm256_set1_epi64x(
        static_cast<long long>(static_cast<uint64_t>(p >> (24 * i)) & kMask24));
  };
  return {limb(0),
          limb(1),
          limb(2),
          limb(3),
          _mm256_set1_epi64x(static_cast<long long>((~inv + 1) & kMask24)),
          _mm256_set1_epi64x(static_cast<long long>(kMask24))};
}

struct Limbs {
  __m256i x0, x1, x2, x3;
};

inline __m256i Mul(__m256i a, __m256i b) {
  return _mm256_mul_epu32(a, b);
}
inline __m256i Add(__m256i a, __m256i b) {
  return _mm256_add_epi64(a, b);
}

// One round of the reduction on columns t_i .. t_{i+3}: t_i becomes a
// multiple of 2^24, its quotient moves up into t_{i+1}.
inline void ReduceRound(__m256i& ti, __m256i& t1, __m256i& t2, __m256i& t3, const Modulus& m) {
  const __m256i q = _mm256_and_si256(Mul(ti, m.pinv), m.mask);
  t1 = Add(t1, Mul(q, m.p1));
  t2 = Add(t2, Mul(q, m.p2));
  t3 = Add(t3, Mul(q, m.p3));
  t1 = Add(t1, _mm256_srli_epi64(Add(ti, Mul(q, m.p0)), kLimbBits));
}

// The columns t0 .. t6 of a product, divided by R mod p: four rounds, then
// (t4 + t5*2^24 + t6*2^48), the result below 2p, back in 24-bit limbs.
inline Limbs Reduce(__m256i t0, __m256i t1, __m256i t2, __m256i t3, __m256i t4, __m256i t5,
                    __m256i t6, const Modulus& m) {
  ReduceRound(t0, t1, t2, t3, m);
  ReduceRound(t1, t2, t3, t4, m);
  ReduceRound(t2, t3, t4, t5, m);
  ReduceRound(t3, t4, t5, t6, m);
  t5 = Add(t5, _mm256_srli_epi64(t4, kLimbBits));
  t6 = Add(t6, _mm256_srli_epi64(t5, kLimbBits));
  return {_mm256_and_si256(t4, m.mask), _mm256_and_si256(t5, m.mask), _mm256_and_si256(t6, m.mask),
          _mm256_srli_epi64(t6, kLimbBits)};
}

inline Limbs Square(const Limbs& a, const Modulus& m) {
  const __m256i d1 = Add(a.x1, a.x1);
  const __m256i d2 = Add(a.x2, a.x2);
  const __m256i d3 = Add(a.x3, a.x3);
  const __m256i t0 = Mul(a.x0, a.x0);
  const __m256i t1 = Mul(a.x0, d1);
  const __m256i t2 = Add(Mul(a.x0, d2), Mul(a.x1, a.x1));
  const __m256i t3 = Add(Mul(a.x0, d3), Mul(a.x1, d2));
  const __m256i t4 = Add(Mul(a.x1, d3), Mul(a.x2, a.x2));
  const __m256i t5 = Mul(a.x2, d3);
  const __m256i t6 = Mul(a.x3, a.x3);
  return Reduce(t0, t1, t2, t3, t4, t5, t6, m);
}

// U vectors of 4 chains side by side to hide the latency of a square (four
// dependent reduction rounds); the limbs live in four arrays of 4 lanes per
// vector.
template <int U>
inline void Block(uint64_t* const* limbs, size_t at, int ln, const Modulus& m) {
  Limbs x[U];
  for (int u = 0; u < U; ++u) {
    const size_t i = at + 4 * static_cast<size_t>(u);
    x[u] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs[0] + i)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs[1] + i)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs[2] + i)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs[3] + i))};
  }
  for (int s = 0; s < ln; ++s) {
    for (int u = 0; u < U; ++u) x[u] = Square(x[u], m);
  }
  for (int u = 0; u < U; ++u) {
    const size_t i = at + 4 * static_cast<size_t>(u);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(limbs[0] + i), x[u].x0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(limbs[1] + i), x[u].x1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(limbs[2] + i), x[u].x2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(limbs[3] + i), x[u].x3);
  }
}

inline u128 Join(uint64_t* const* limbs, size_t i) {
  return static_cast<u128>(limbs[0][i]) | (static_cast<u128>(limbs[1][i]) << 24) |
         (static_cast<u128>(limbs[2][i]) << 48) | (static_cast<u128>(limbs[3][i]) << 72);
}

inline __m256i Broadcast(u128 x, int limb) {
  return _mm256_set1_epi64x(
      static_cast<long long>(static_cast<uint64_t>(x >> (24 * limb)) & kMask24));
}

}  // namespace

bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, u128 p, uint64_t* scratch,
                    uint32_t* hits, size_t& count) {
  count = 0;
  if (p >= kMaxP || p < 3 || (p & 1) == 0) return false;
  // The bases, plus one chain on 1 behind them: its result R^(1-N) gives the
  // value p - R^(1-N) that b's result equals when b^N == -1.
  const size_t vectors = (n + 1 + 3) / 4;
  const size_t lanes = 4 * vectors;
  uint64_t* const limbs[4] = {scratch, scratch + lanes, scratch + 2 * lanes, scratch + 3 * lanes};
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint32_t>(cand[i]);
    limbs[0][i] = b & kMask24;
    limbs[1][i] = b >> kLimbBits;
  }
  limbs[0][n] = 1;
  limbs[1][n] = 0;
  for (size_t i = n + 1; i < lanes; ++i) limbs[0][i] = limbs[1][i] = 0;
  for (size_t i = 0; i < lanes; ++i) limbs[2][i] = limbs[3][i] = 0;
  const Modulus m = MakeModulus(p);
  // Blocks of up to three vectors: sixteen registers hold three squares in
  // flight.
  EvenBlocks<3>(vectors, [&]<int U>(size_t first) { Block<U>(limbs, 4 * first, ln, m); });
  // A result below 2p is congruent to -1 exactly when it equals the target
  // or the target plus p (both below 2p < 2^95, so four limbs each).
  u128 one = Join(limbs, n);
  if (one >= p) one -= p;
  if (one == 0) return true;  // cannot happen: R is invertible mod odd p
  const u128 target = p - one;
  const u128 above = target + p;
  const __m256i a0 = Broadcast(target, 0), a1 = Broadcast(target, 1), a2 = Broadcast(target, 2),
                a3 = Broadcast(target, 3);
  const __m256i b0 = Broadcast(above, 0), b1 = Broadcast(above, 1), b2 = Broadcast(above, 2),
                b3 = Broadcast(above, 3);
  for (size_t i = 0; i < n; i += 4) {
    auto load = [&](int limb) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs[limb] + i));
    };
    const __m256i x0 = load(0), x1 = load(1), x2 = load(2), x3 = load(3);
    const __m256i eqA =
        _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi64(x0, a0), _mm256_cmpeq_epi64(x1, a1)),
                         _mm256_and_si256(_mm256_cmpeq_epi64(x2, a2), _mm256_cmpeq_epi64(x3, a3)));
    const __m256i eqB =
        _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi64(x0, b0), _mm256_cmpeq_epi64(x1, b1)),
                         _mm256_and_si256(_mm256_cmpeq_epi64(x2, b2), _mm256_cmpeq_epi64(x3, b3)));
    int mask = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(eqA, eqB)));
    while (mask != 0) {
      const int lane = __builtin_ctz(static_cast<unsigned>(mask));
      if (i + lane < n) hits[count++] = static_cast<uint32_t>(i + lane);
      mask &= mask - 1;
    }
  }
  return true;
}

namespace {

// x * y / R mod p, lazily below 2p, for x < 2p and y < p (the step of the
// wide walk). Each of the product's columns sums at most four products below
// 2^48, so below 2^50, and the reduction adds what it adds in the square.
inline Limbs Mul(const Limbs& a, const Limbs& b, const Modulus& m) {
  const __m256i t0 = Mul(a.x0, b.x0);
  const __m256i t1 = Add(Mul(a.x0, b.x1), Mul(a.x1, b.x0));
  const __m256i t2 = Add(Add(Mul(a.x0, b.x2), Mul(a.x1, b.x1)), Mul(a.x2, b.x0));
  const __m256i t3 =
      Add(Add(Mul(a.x0, b.x3), Mul(a.x1, b.x2)), Add(Mul(a.x2, b.x1), Mul(a.x3, b.x0)));
  const __m256i t4 = Add(Add(Mul(a.x1, b.x3), Mul(a.x2, b.x2)), Mul(a.x3, b.x1));
  const __m256i t5 = Add(Mul(a.x2, b.x3), Mul(a.x3, b.x2));
  const __m256i t6 = Mul(a.x3, b.x3);
  return Reduce(t0, t1, t2, t3, t4, t5, t6, m);
}

inline Limbs Load(const u128* x) {
  alignas(32) uint64_t limbs[4][4];
  for (int i = 0; i < 4; ++i) {
    for (int l = 0; l < 4; ++l) limbs[l][i] = static_cast<uint64_t>(x[i] >> (24 * l)) & kMask24;
  }
  return {_mm256_load_si256(reinterpret_cast<const __m256i*>(limbs[0])),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(limbs[1])),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(limbs[2])),
          _mm256_load_si256(reinterpret_cast<const __m256i*>(limbs[3]))};
}

inline void Store(const Limbs& x, u128* out) {
  alignas(32) uint64_t limbs[4][4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[0]), x.x0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[1]), x.x1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[2]), x.x2);
  _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[3]), x.x3);
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<u128>(limbs[0][i]) | (static_cast<u128>(limbs[1][i]) << 24) |
             (static_cast<u128>(limbs[2][i]) << 48) | (static_cast<u128>(limbs[3][i]) << 72);
  }
}

// Lanes that may hold a root, from x >> 48 alone (x2 + x3 * 2^24, below
// 2^47, so signed compares serve). The walk's values stay below 1.5p: the
// starts are below p, and a product by the step y < p is below
// (2p * p + R*p) / R = p * (1 + 2p/R) < 1.5p for p < R/4. So x mod p or
// p - (x mod p) is at most bMax < 2^31 only if x <= bMax (x >> 48 is 0) or
// x lies within bMax of p; x >= 2p - bMax > 1.5p cannot occur. The few lanes
// flagged beyond these are sorted out exactly by the caller.
struct Window {
  __m256i zero, below, above;
};

Window MakeWindow(u128 p, uint32_t bMax) {
  auto set = [](u128 v) { return _mm256_set1_epi64x(static_cast<long long>(v)); };
  return {_mm256_setzero_si256(), set(((p - bMax) >> 48) - 1), set(((p + bMax) >> 48) + 1)};
}

inline __m256i MayHoldRoot(const Limbs& x, const Window& w) {
  const __m256i high = _mm256_or_si256(x.x2, _mm256_slli_epi64(x.x3, kLimbBits));
  const __m256i near =
      _mm256_and_si256(_mm256_cmpgt_epi64(high, w.below), _mm256_cmpgt_epi64(w.above, high));
  return _mm256_or_si256(_mm256_cmpeq_epi64(high, w.zero), near);
}

}  // namespace

bool WideSieveRaw(u128 p, const u128* starts, int segments, int64_t stagesEach, u128 stepMont,
                  int32_t bMax, const uint8_t* firstOrder, const uint8_t* laterOrder,
                  uint32_t* roots, size_t perSegment, size_t* counts) {
  if (!WideRawTakes(p, kMaxP, bMax, segments, kWideSegments)) return false;
  const Modulus m = MakeModulus(p);
  const u128 limit = static_cast<uint32_t>(bMax);
  const Window window = MakeWindow(p, static_cast<uint32_t>(bMax));
  const Limbs step = {Broadcast(stepMont, 0), Broadcast(stepMont, 1), Broadcast(stepMont, 2),
                      Broadcast(stepMont, 3)};
  // Four vectors per run: x_1, x_3, ..., x_31 of its current stage.
  Limbs x[4 * kWideSegments];
  for (int h = 0; h < segments; ++h) {
    for (int v = 0; v < 4; ++v) x[4 * h + v] = Load(starts + 16 * h + 4 * v);
    counts[h] = 0;
  }
  alignas(32) u128 values[16];
  for (int64_t r = 0; r < stagesEach; ++r) {
    for (int h = 0; h < segments; ++h) {
      const __m256i flagged = _mm256_or_si256(
          _mm256_or_si256(MayHoldRoot(x[4 * h], window), MayHoldRoot(x[4 * h + 1], window)),
          _mm256_or_si256(MayHoldRoot(x[4 * h + 2], window), MayHoldRoot(x[4 * h + 3], window)));
      if (_mm256_testz_si256(flagged, flagged)) continue;
      for (int v = 0; v < 4; ++v) Store(x[4 * h + v], values + 4 * v);
      if (!StoreRunStage(values, r == 0 && h == 0 ? firstOrder : laterOrder, p, limit,
                         roots + perSegment * static_cast<size_t>(h), perSegment, counts[h])) {
        return false;
      }
    }
    // Multiplying by the Montgomery form of S gives x*S, lazily below 2p;
    // the 4 * segments products are independent, which hides their latency.
    for (int i = 0; i < 4 * segments; ++i) x[i] = Mul(x[i], step, m);
  }
  return true;
}

}  // namespace zentrova::kernels::avx2_128
