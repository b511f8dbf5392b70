// AVX-512 IFMA kernels: 8 lanes of 52-bit Montgomery arithmetic (R = 2^52).
//
// A square x*x (x < 2^52) is split by the IFMA instructions into its low and
// high 52 bits; m = lo * (-p^-1) mod 2^52 makes lo + m*p divisible by 2^52,
// and the Montgomery result is hi + hi52(m*p) + carry, where the carry out of
// lo + lo52(m*p) is that sum shifted right by 52 (the sum is 0 or 2^52).
// For p < 2^50 (4p < R) inputs below 2p give outputs below 2p, so no
// correction is needed inside a chain; the first square of a raw base
// b < 2^31 also stays below 2p because b^2 / 2^52 < 2^10 < p.
//
// Compiled with -mavx512f -mavx512vl -mavx512dq -mavx512ifma; called only
// after the dispatcher has seen those features.
#include <immintrin.h>

#include <algorithm>

#include "math/FactorCandidates.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova::kernels::avx512ifma {

namespace {

constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;
constexpr uint64_t kMinP = uint64_t{1} << 31;
constexpr uint64_t kMaxP = uint64_t{1} << 50;

uint64_t NegInverse52(uint64_t p) {
  uint64_t inv = p;
  for (int i = 0; i < 5; ++i) inv *= 2 - p * inv;
  return (~inv + 1) & kMask52;
}

// The scalar twin of Square(), for per-p constants.
uint64_t Square52(uint64_t x, uint64_t p, uint64_t pinv) {
  const unsigned __int128 t = static_cast<unsigned __int128>(x) * x;
  const uint64_t lo = static_cast<uint64_t>(t) & kMask52;
  const uint64_t hi = static_cast<uint64_t>(t >> 52);
  const uint64_t m = (lo * pinv) & kMask52;
  const unsigned __int128 s = static_cast<unsigned __int128>(m) * p + lo;
  return hi + static_cast<uint64_t>(s >> 52);
}

inline __m512i Square(__m512i x, __m512i p, __m512i pinv) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i lo = _mm512_madd52lo_epu64(zero, x, x);
  __m512i hi = _mm512_madd52hi_epu64(zero, x, x);
  const __m512i m = _mm512_madd52lo_epu64(zero, lo, pinv);
  lo = _mm512_madd52lo_epu64(lo, m, p);
  hi = _mm512_madd52hi_epu64(hi, m, p);
  return _mm512_add_epi64(hi, _mm512_srli_epi64(lo, 52));
}

inline __m512i Normalize(__m512i x, __m512i p) {
  return _mm512_min_epu64(x, _mm512_sub_epi64(x, p));
}

inline void AppendHits(__mmask8 mask, size_t base, std::vector<uint32_t>& hits) {
  while (mask != 0) {
    const int lane = __builtin_ctz(mask);
    hits.push_back(static_cast<uint32_t>(base + lane));
    mask = static_cast<__mmask8>(mask & (mask - 1));
  }
}

// U vectors of 8 bases side by side: enough independent chains to hide the
// IFMA latency (about 14 cycles per dependent square).
template <int U>
inline void Block(const int32_t* cand, size_t j, size_t n, int ln, __m512i p, __m512i pinv,
                  __m512i target, std::vector<uint32_t>& hits) {
  __m512i x[U];
  for (int u = 0; u < U; ++u) {
    const size_t at = j + 8 * u;
    const size_t left = at < n ? n - at : 0;
    const __mmask8 mask = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1);
    const __m256i b = _mm256_maskz_loadu_epi32(mask, cand + std::min(at, n));
    x[u] = _mm512_cvtepu32_epi64(b);
  }
  for (int s = 0; s < ln; ++s) {
    for (int u = 0; u < U; ++u) x[u] = Square(x[u], p, pinv);
  }
  for (int u = 0; u < U; ++u) {
    const size_t at = j + 8 * u;
    if (at >= n) break;
    const size_t left = n - at;
    const __mmask8 live = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1);
    const __mmask8 eq = _mm512_mask_cmpeq_epi64_mask(live, Normalize(x[u], p), target);
    AppendHits(eq, at, hits);
  }
}

}  // namespace

void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits) {
  if (n == 0) return;
  if (p <= kMinP || p >= kMaxP) {
    zentrova::NormalSieveArray(cand, n, ln, p, hits);
    return;
  }
  const uint64_t pinvScalar = NegInverse52(p);
  uint64_t one = 1;
  for (int s = 0; s < ln; ++s) one = Square52(one, p, pinvScalar);
  if (one >= p) one -= p;
  const uint64_t targetScalar = one == 0 ? 0 : p - one;

  const __m512i vp = _mm512_set1_epi64(static_cast<long long>(p));
  const __m512i vpinv = _mm512_set1_epi64(static_cast<long long>(pinvScalar));
  const __m512i vtarget = _mm512_set1_epi64(static_cast<long long>(targetScalar));
  constexpr int kUnroll = 8;
  size_t j = 0;
  for (; j + 8 * kUnroll <= n; j += 8 * kUnroll) {
    Block<kUnroll>(cand, j, n, ln, vp, vpinv, vtarget, hits);
  }
  for (; j < n; j += 8 * 2) Block<2>(cand, j, n, ln, vp, vpinv, vtarget, hits);
}

void FermatBatch(const uint64_t* p, int n, bool* pass) {
  // Groups of 8 lanes, each lane with its own modulus, exponent p - 1 walked
  // from the top bit of the longest one (leading zero bits square the
  // Montgomery one into itself). Groups with a modulus outside the lazy
  // range go to the portable test.
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    bool inRange = true;
    alignas(64) uint64_t pinv[8], one[8], e[8];
    int topBit = 0;
    for (int l = 0; l < 8; ++l) {
      const uint64_t q = p[i + l];
      if (q < 3 || q >= kMaxP) inRange = false;
      pinv[l] = NegInverse52(q | 1);
      one[l] = (uint64_t{1} << 52) % (q | 1);
      e[l] = q - 1;
      topBit = std::max(topBit, 63 - __builtin_clzll(e[l] | 1));
    }
    if (!inRange) {
      FermatBatchScalar(p + i, 8, pass + i);
      continue;
    }
    const __m512i vp = _mm512_loadu_si512(p + i);
    const __m512i vpinv = _mm512_load_si512(pinv);
    const __m512i vone = _mm512_load_si512(one);
    const __m512i ve = _mm512_load_si512(e);
    const __m512i twoP = _mm512_add_epi64(vp, vp);
    __m512i x = vone;
    for (int bit = topBit; bit >= 0; --bit) {
      x = Square(x, vp, vpinv);
      __m512i d = _mm512_add_epi64(x, x);
      d = _mm512_min_epu64(d, _mm512_sub_epi64(d, twoP));
      const __mmask8 set = _mm512_test_epi64_mask(ve, _mm512_set1_epi64(int64_t{1} << bit));
      x = _mm512_mask_mov_epi64(x, set, d);
    }
    const __mmask8 ok = _mm512_cmpeq_epi64_mask(Normalize(x, vp), vone);
    for (int l = 0; l < 8; ++l) pass[i + l] = (ok >> l) & 1;
  }
  if (i < n) FermatBatchScalar(p + i, n - i, pass + i);
}

}  // namespace zentrova::kernels::avx512ifma
