// AVX2 + FMA kernel: 4 lanes of exact modular squaring in double precision,
// for 2^31 < p < 2^50; other p go to the portable kernel.
//
// Residues are balanced doubles, |x| < 0.7 p < 2^50. For a product:
//   h = fl(x*y), l = x*y - h (exact, one fused multiply-subtract),
//   q = round(h * (1/p)), r = (h - q*p) + l.
// The quotient x*y/p is below 2^49, and three roundings of relative size
// 2^-53 put h * (1/p) within 0.15 of it, so |x*y - q*p| <= 0.65 p: every
// partial result is an integer below 2^53, r = x*y - q*p exactly, the
// bound holds from step to step without correction, and a residue
// congruent to -1 is exactly -1.0.
//
// Compiled with -mavx2 -mfma; called only after the dispatcher has seen both.
// Like every instruction-set file it uses no standard-library templates, so
// no copy of them built with these flags can stand in for the portable one.
#include <immintrin.h>

#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/KernelParts.h"

namespace zentrova::kernels::avx2 {

namespace {

constexpr uint64_t kMinP = uint64_t{1} << 31;
constexpr uint64_t kMaxP = uint64_t{1} << 50;

inline __m256d Square(__m256d x, __m256d p, __m256d pinv) {
  const __m256d h = _mm256_mul_pd(x, x);
  const __m256d l = _mm256_fmsub_pd(x, x, h);
  const __m256d q =
      _mm256_round_pd(_mm256_mul_pd(h, pinv), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  return _mm256_add_pd(_mm256_fnmadd_pd(q, p, h), l);
}

inline void AppendHits(int mask, size_t base, size_t n, uint32_t* hits, size_t& count) {
  while (mask != 0) {
    const int lane = __builtin_ctz(static_cast<unsigned>(mask));
    if (base + lane < n) hits[count++] = static_cast<uint32_t>(base + lane);
    mask &= mask - 1;
  }
}

// U vectors of 4 bases side by side to hide the multiply latency.
template <int U>
inline void Block(const int32_t* cand, size_t j, size_t n, int ln, __m256d p, __m256d pinv,
                  uint32_t* hits, size_t& count) {
  __m256d x[U];
  for (int u = 0; u < U; ++u) {
    alignas(32) double v[4];
    for (int l = 0; l < 4; ++l) {
      const size_t at = j + 4 * u + l;
      v[l] = at < n ? static_cast<double>(static_cast<uint32_t>(cand[at])) : 0.0;
    }
    x[u] = _mm256_load_pd(v);
  }
  for (int s = 0; s < ln; ++s) {
    for (int u = 0; u < U; ++u) x[u] = Square(x[u], p, pinv);
  }
  const __m256d minusOne = _mm256_set1_pd(-1.0);
  for (int u = 0; u < U; ++u) {
    const int mask = _mm256_movemask_pd(_mm256_cmp_pd(x[u], minusOne, _CMP_EQ_OQ));
    if (mask != 0) AppendHits(mask, j + 4 * u, n, hits, count);
  }
}

}  // namespace

bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, uint64_t p, uint32_t* hits,
                    size_t& count) {
  count = 0;
  if (p <= kMinP || p >= kMaxP) return false;
  const __m256d vp = _mm256_set1_pd(static_cast<double>(p));
  const __m256d vpinv = _mm256_set1_pd(1.0 / static_cast<double>(p));
  constexpr size_t kUnroll = 8;
  size_t j = 0;
  for (; j + 4 * kUnroll <= n; j += 4 * kUnroll) {
    Block<kUnroll>(cand, j, n, ln, vp, vpinv, hits, count);
  }
  for (; j < n; j += 4 * 2) Block<2>(cand, j, n, ln, vp, vpinv, hits, count);
  return true;
}

namespace {

constexpr uint64_t kWideMaxP = uint64_t{1} << 50;

// x * w mod p for balanced doubles (|x|, |w| < 0.7 p < 2^50), exactly as
// described above: the result is x*w - q*p, balanced again.
inline __m256d MulBalanced(__m256d x, __m256d w, __m256d p, __m256d pinv) {
  const __m256d h = _mm256_mul_pd(x, w);
  const __m256d l = _mm256_fmsub_pd(x, w, h);
  const __m256d q =
      _mm256_round_pd(_mm256_mul_pd(h, pinv), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  return _mm256_add_pd(_mm256_fnmadd_pd(q, p, h), l);
}

// The balanced double of a residue in [0, p).
inline double Balanced(uint64_t v, uint64_t p) {
  return v > p / 2 ? -static_cast<double>(p - v) : static_cast<double>(v);
}

}  // namespace

bool WideSieveRaw(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, const uint8_t* firstOrder,
                  const uint8_t* laterOrder, uint32_t* roots, size_t capacity, size_t& count) {
  count = 0;
  // Eight vectors of four hold x_j = a0^j for the odd j of 64 exponents: two
  // stages of 32 at a time. Residues stay balanced between steps and are
  // brought into [0, p) only for the comparisons with bMax.
  if (p < 3 || p >= kWideMaxP || n < 64) return false;
  alignas(32) uint64_t xs[32];
  alignas(32) double xd[32];
  OddPowers(a0, p, 32, xs);
  const uint64_t step = MulModScalar(xs[31], a0 % p, p);  // a0^64
  for (int i = 0; i < 32; ++i) xd[i] = Balanced(xs[i], p);
  const __m256d vp = _mm256_set1_pd(static_cast<double>(p));
  const __m256d vpinv = _mm256_set1_pd(1.0 / static_cast<double>(p));
  const __m256d s = _mm256_set1_pd(Balanced(step, p));
  __m256d x[8];
  for (int v = 0; v < 8; ++v) x[v] = _mm256_load_pd(xd + 4 * v);

  const uint64_t limit = bMax < 0 ? 0 : static_cast<uint64_t>(bMax);
  // A balanced r stands for r (r >= 0) or r + p (r < 0). Its root r or r + p
  // is at most bMax, or its negative p - r or -r is: four compares on r.
  const double dLimit = static_cast<double>(limit);
  const double dP = static_cast<double>(p);
  const __m256d upper = _mm256_set1_pd(dLimit);          // 0 <= r <= bMax
  const __m256d lowNeg = _mm256_set1_pd(dLimit - dP);    // r < 0 and r + p <= bMax
  const __m256d highPos = _mm256_set1_pd(dP - dLimit);   // r >= 0 and p - r <= bMax
  const __m256d negLimit = _mm256_set1_pd(-dLimit);      // r < 0 and -r <= bMax
  const __m256d zero = _mm256_setzero_pd();
  auto store = [&](uint32_t root) {
    roots[count++] = root;
    return count < capacity;
  };
  const int64_t rounds = n >> 6;
  for (int64_t r = 0; r < rounds; ++r) {
    __m256d any = zero;
    for (int v = 0; v < 8; ++v) {
      const __m256d nonNeg = _mm256_cmp_pd(x[v], zero, _CMP_GE_OQ);
      const __m256d pos = _mm256_or_pd(_mm256_cmp_pd(x[v], upper, _CMP_LE_OQ),
                                       _mm256_cmp_pd(x[v], highPos, _CMP_GE_OQ));
      const __m256d neg = _mm256_or_pd(_mm256_cmp_pd(x[v], lowNeg, _CMP_LE_OQ),
                                       _mm256_cmp_pd(x[v], negLimit, _CMP_GE_OQ));
      any = _mm256_or_pd(any, _mm256_blendv_pd(neg, pos, nonNeg));
    }
    if (_mm256_movemask_pd(any) != 0) {
      for (int v = 0; v < 8; ++v) _mm256_store_pd(xd + 4 * v, x[v]);
      for (int i = 0; i < 32; ++i) {
        xs[i] = xd[i] < 0 ? p - static_cast<uint64_t>(-xd[i]) : static_cast<uint64_t>(xd[i]);
      }
      for (int stage = 0; stage < 2; ++stage) {
        const uint8_t* order = (r == 0 && stage == 0) ? firstOrder : laterOrder;
        if (!StoreStageRoots(xs + 16 * stage, order, p, limit, store)) return true;
      }
    }
    if (r + 1 < rounds) {
      for (int v = 0; v < 8; ++v) x[v] = MulBalanced(x[v], s, vp, vpinv);
    }
  }
  return true;
}

}  // namespace zentrova::kernels::avx2
