// AVX2 + FMA kernel: 4 lanes of exact modular squaring in double precision,
// for 2^31 < p < 2^50; other p go to the portable kernel.
//
// Residues are balanced doubles, |x| <= 0.52 p < 2^50. For a square:
//   h = fl(x*x), l = x*x - h (exact, one fused multiply-subtract),
//   q = round(h * (1/p)), r = (h - q*p) + l.
// x*x / p < 2^48.6, so the rounded reciprocal puts q within 0.02 of the
// true quotient; r = x*x - q*p exactly (every partial result is an integer
// below 2^53), and |r| <= 0.52 p, so the chain needs no correction and a
// residue congruent to -1 is exactly -1.0.
//
// Compiled with -mavx2 -mfma; called only after the dispatcher has seen both.
// Like every instruction-set file it uses no standard-library templates, so
// no copy of them built with these flags can stand in for the portable one.
#include <immintrin.h>

#include "sieve/kernels/Dispatch.h"

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

}  // namespace zentrova::kernels::avx2
