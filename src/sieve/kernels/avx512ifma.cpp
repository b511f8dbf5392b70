// AVX-512 IFMA kernels: 8 lanes of 52-bit Montgomery arithmetic (R = 2^52).
//
// A square x*x (x < 2^52) is split by the IFMA instructions into its low and
// high 52 bits; m = lo * (-p^-1) mod 2^52 makes lo + m*p divisible by 2^52,
// and the Montgomery result is hi + hi52(m*p) + carry, where the carry out of
// lo + lo52(m*p) is 1 exactly when lo != 0 (the sum is 0 or 2^52).
// For p < 2^50 (4p < R) inputs below 2p give outputs below 2p, so no
// correction is needed inside a chain; for 2^50 <= p < 2^52 each square is
// brought below p. The first square of a raw base b < 2^31 stays below 2p
// as well, because b^2 / 2^52 < 2^10 < p. Larger p go to the portable kernel.
//
// Compiled with -mavx512f -mavx512vl -mavx512dq -mavx512ifma; called only
// after the dispatcher has seen those features. Like every instruction-set
// file it uses no standard-library templates, so no copy of them built with
// these flags can stand in for the portable one.
#include <immintrin.h>


#include "math/FactorCandidates.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/KernelParts.h"

namespace zentrova::kernels::avx512ifma {

namespace {

constexpr uint64_t kMask52 = (uint64_t{1} << 52) - 1;
constexpr uint64_t kMinP = uint64_t{1} << 31;
constexpr uint64_t kMaxP = uint64_t{1} << 50;    // lazy reduction below this
constexpr uint64_t kMaxP52 = uint64_t{1} << 52;  // corrected squares below this

uint64_t NegInverse52Scalar(uint64_t p) {
  uint64_t inv = p;
  for (int i = 0; i < 5; ++i) inv *= 2 - p * inv;
  return (~inv + 1) & kMask52;
}

inline void AppendHits(__mmask8 mask, size_t base, uint32_t* hits, size_t& count) {
  while (mask != 0) {
    const int lane = __builtin_ctz(mask);
    hits[count++] = static_cast<uint32_t>(base + lane);
    mask = static_cast<__mmask8>(mask & (mask - 1));
  }
}

// One Montgomery square per lane. The carry out of lo + lo52(m*p) is 1
// exactly when lo != 0 (the sum is 0 or 2^52), which saves a multiply.
inline __m512i Square(__m512i x, __m512i p, __m512i pinv) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i lo = _mm512_madd52lo_epu64(zero, x, x);
  const __m512i hi = _mm512_madd52hi_epu64(zero, x, x);
  const __m512i m = _mm512_madd52lo_epu64(zero, lo, pinv);
  const __m512i r = _mm512_madd52hi_epu64(hi, m, p);
  return _mm512_mask_add_epi64(r, _mm512_test_epi64_mask(lo, lo), r, _mm512_set1_epi64(1));
}

inline __m512i Normalize(__m512i x, __m512i p) {
  return _mm512_min_epu64(x, _mm512_sub_epi64(x, p));
}

// U vectors of 8 residues side by side: enough independent chains to hide
// the IFMA latency. Lazy (p < 2^50) chains stay below 2p without
// correction; otherwise each square is brought below p at once.
template <int U, bool Lazy>
inline void Block(uint64_t* x0, int ln, __m512i p, __m512i pinv) {
  __m512i x[U];
  for (int u = 0; u < U; ++u) x[u] = _mm512_loadu_si512(x0 + 8 * u);
  for (int s = 0; s < ln; ++s) {
    for (int u = 0; u < U; ++u) {
      x[u] = Square(x[u], p, pinv);
      if constexpr (!Lazy) x[u] = Normalize(x[u], p);
    }
  }
  for (int u = 0; u < U; ++u) _mm512_storeu_si512(x0 + 8 * u, Normalize(x[u], p));
}

template <bool Lazy>
void Chains(uint64_t* x, size_t vectors, int ln, __m512i p, __m512i pinv) {
  EvenBlocks<8>(vectors, [&]<int U>(size_t first) { Block<U, Lazy>(x + 8 * first, ln, p, pinv); });
}

}  // namespace

bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, uint64_t p, uint64_t* x,
                    uint32_t* hits, size_t& count) {
  count = 0;
  if (p <= kMinP || p >= kMaxP52) return false;
  // The residues, plus one chain on 1 behind the bases: its result R^(1-N)
  // gives the value p - R^(1-N) that b's result equals when b^N == -1.
  const size_t vectors = (n + 1 + 7) / 8;
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<uint32_t>(cand[i]);
  x[n] = 1;
  for (size_t i = n + 1; i < 8 * vectors; ++i) x[i] = 0;

  const __m512i vp = _mm512_set1_epi64(static_cast<long long>(p));
  const __m512i vpinv = _mm512_set1_epi64(static_cast<long long>(NegInverse52Scalar(p)));
  if (p < kMaxP) {
    Chains<true>(x, vectors, ln, vp, vpinv);
  } else {
    Chains<false>(x, vectors, ln, vp, vpinv);
  }
  const uint64_t one = x[n];
  if (one == 0) return true;  // cannot happen: R is invertible mod odd p
  const __m512i target = _mm512_set1_epi64(static_cast<long long>(p - one));
  for (size_t v = 0; v * 8 < n; ++v) {
    const size_t left = n - 8 * v;
    const __mmask8 live = left >= 8 ? __mmask8(0xff) : __mmask8((1u << left) - 1);
    const __mmask8 eq = _mm512_mask_cmpeq_epi64_mask(live, _mm512_loadu_si512(x + 8 * v), target);
    AppendHits(eq, 8 * v, hits, count);
  }
  return true;
}

namespace {

// -p^-1 mod 2^52 in each lane: Newton's iteration doubles the correct low
// bits of an inverse (p is its own inverse to 3 bits for odd p).
inline __m512i NegInverse52(__m512i p) {
  const __m512i two = _mm512_set1_epi64(2);
  __m512i inv = p;
  for (int i = 0; i < 5; ++i) {
    inv = _mm512_mullo_epi64(inv, _mm512_sub_epi64(two, _mm512_mullo_epi64(p, inv)));
  }
  return _mm512_and_si512(_mm512_sub_epi64(_mm512_setzero_si512(), inv),
                          _mm512_set1_epi64(static_cast<long long>(kMask52)));
}

// 2^52 mod p in each lane (the Montgomery one), for p < 2^50: the quotient
// from a double division is off by at most one, which the two corrections fix.
inline __m512i MontOne(__m512i p) {
  const __m512i r52 = _mm512_set1_epi64(static_cast<long long>(uint64_t{1} << 52));
  const __m512d q = _mm512_roundscale_pd(
      _mm512_div_pd(_mm512_set1_pd(4503599627370496.0), _mm512_cvtepu64_pd(p)),
      _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  __m512i r = _mm512_sub_epi64(r52, _mm512_mullo_epi64(_mm512_cvttpd_epu64(q), p));
  r = _mm512_mask_add_epi64(r, _mm512_cmplt_epi64_mask(r, _mm512_setzero_si512()), r, p);
  return _mm512_mask_sub_epi64(r, _mm512_cmpge_epi64_mask(r, p), r, p);
}

// G groups of 8 lanes side by side, every modulus in [3, 2^50). Each lane
// walks the bits of p - 1 from the top bit of the longest exponent; leading
// zero bits square the Montgomery one into itself.
template <int G>
void FermatGroups(const uint64_t* p, bool* pass) {
  __m512i vp[G], vpinv[G], vone[G], ve[G], twoP[G], x[G];
  uint64_t largest = 0;
  uint64_t anyBit = 0;  // the bits set in some lane's exponent
  for (int l = 0; l < 8 * G; ++l) {
    largest = p[l] > largest ? p[l] : largest;
    anyBit |= p[l] - 1;
  }
  const int topBit = 63 - __builtin_clzll((largest - 1) | 1);
  for (int g = 0; g < G; ++g) {
    vp[g] = _mm512_loadu_si512(p + 8 * g);
    vpinv[g] = NegInverse52(vp[g]);
    vone[g] = MontOne(vp[g]);
    ve[g] = _mm512_sub_epi64(vp[g], _mm512_set1_epi64(1));
    twoP[g] = _mm512_add_epi64(vp[g], vp[g]);
    x[g] = vone[g];
  }
  for (int bit = topBit; bit >= 0; --bit) {
    const __m512i mask = _mm512_set1_epi64(int64_t{1} << bit);
    if (((anyBit >> bit) & 1) == 0) {
      // p - 1 = k * 2N: the low bits are clear in every lane, and so often
      // are others; then the step is a square alone.
      for (int g = 0; g < G; ++g) x[g] = Square(x[g], vp[g], vpinv[g]);
      continue;
    }
    for (int g = 0; g < G; ++g) {
      x[g] = Square(x[g], vp[g], vpinv[g]);
      __m512i d = _mm512_add_epi64(x[g], x[g]);
      d = _mm512_min_epu64(d, _mm512_sub_epi64(d, twoP[g]));
      x[g] = _mm512_mask_mov_epi64(x[g], _mm512_test_epi64_mask(ve[g], mask), d);
    }
  }
  for (int g = 0; g < G; ++g) {
    const __mmask8 ok = _mm512_cmpeq_epi64_mask(Normalize(x[g], vp[g]), vone[g]);
    for (int l = 0; l < 8; ++l) pass[8 * g + l] = (ok >> l) & 1;
  }
}

bool InVectorRange(const uint64_t* p, int n) {
  for (int l = 0; l < n; ++l) {
    if (p[l] < 3 || p[l] >= kMaxP || (p[l] & 1) == 0) return false;
  }
  return true;
}

}  // namespace

void FermatBatch(const uint64_t* p, int n, bool* pass) {
  // Four groups at a time keep enough independent chains in flight; a group
  // with a modulus outside the lazy range goes to the portable test.
  int i = 0;
  for (; i + 64 <= n; i += 64) {
    if (InVectorRange(p + i, 64)) {
      FermatGroups<8>(p + i, pass + i);
    } else {
      FermatBatchScalar(p + i, 64, pass + i);
    }
  }
  for (; i + 32 <= n; i += 32) {
    if (InVectorRange(p + i, 32)) {
      FermatGroups<4>(p + i, pass + i);
    } else {
      FermatBatchScalar(p + i, 32, pass + i);
    }
  }
  for (; i + 8 <= n; i += 8) {
    if (InVectorRange(p + i, 8)) {
      FermatGroups<1>(p + i, pass + i);
    } else {
      FermatBatchScalar(p + i, 8, pass + i);
    }
  }
  if (i < n) FermatBatchScalar(p + i, n - i, pass + i);
}

namespace {

constexpr uint64_t kWideMaxP = uint64_t{1} << 51;

// x * w mod p in each lane by Shoup's method with wq = floor(w * 2^52 / p):
// q = hi52(x * wq) is the true quotient or one less, so x*w - q*p lies in
// [0, 2p), below 2^52 for p < 2^51, and its low 52 bits are all of it. The
// low product of q and p enters as q * (2^52 - p).
inline __m512i MulShoup(__m512i x, __m512i w, __m512i wq, __m512i p, __m512i pNeg) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i q = _mm512_madd52hi_epu64(zero, x, wq);
  __m512i t = _mm512_madd52lo_epu64(zero, x, w);
  t = _mm512_madd52lo_epu64(t, q, pNeg);
  t = _mm512_and_si512(t, _mm512_set1_epi64(static_cast<long long>(kMask52)));
  return _mm512_min_epu64(t, _mm512_sub_epi64(t, p));
}

uint64_t ShoupQuotient52(uint64_t w, uint64_t p) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(w) << 52) / p);
}

}  // namespace

bool WideSieveRaw(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, const uint8_t* firstOrder,
                  const uint8_t* laterOrder, uint32_t* roots, size_t capacity, size_t& count) {
  count = 0;
  // Eight vectors hold x_j = a0^j for the odd j of 128 exponents: four
  // stages of 32 at a time, enough independent chains for the IFMA latency.
  if (p < 3 || p >= kWideMaxP || n < 128) return false;
  alignas(64) uint64_t xs[64];
  OddPowers(a0, p, 8, xs);
  const uint64_t a16 = MulModScalar(xs[7], xs[0], p);  // a0^16
  const __m512i vp = _mm512_set1_epi64(static_cast<long long>(p));
  const __m512i pNeg = _mm512_set1_epi64(static_cast<long long>((uint64_t{1} << 52) - p));
  const __m512i w16 = _mm512_set1_epi64(static_cast<long long>(a16));
  const __m512i w16q = _mm512_set1_epi64(static_cast<long long>(ShoupQuotient52(a16, p)));
  __m512i x[8];
  x[0] = _mm512_load_si512(xs);
  for (int v = 1; v < 8; ++v) x[v] = MulShoup(x[v - 1], w16, w16q, vp, pNeg);
  _mm512_store_si512(xs, x[7]);
  const uint64_t step = MulModScalar(xs[7], a0 % p, p);  // a0^128
  const __m512i s = _mm512_set1_epi64(static_cast<long long>(step));
  const __m512i sq = _mm512_set1_epi64(static_cast<long long>(ShoupQuotient52(step, p)));

  const uint64_t limit = bMax < 0 ? 0 : static_cast<uint64_t>(bMax);
  const __m512i vLimit = _mm512_set1_epi64(static_cast<long long>(limit));
  // p - x <= bMax exactly when x >= p - bMax.
  const __m512i vLow = _mm512_set1_epi64(static_cast<long long>(p > limit ? p - limit : 0));
  auto store = [&](uint32_t root) {
    roots[count++] = root;
    return count < capacity;
  };
  const int64_t rounds = n >> 7;
  for (int64_t r = 0; r < rounds; ++r) {
    __mmask8 any = 0;
    for (int v = 0; v < 8; ++v) {
      any |= _mm512_cmple_epu64_mask(x[v], vLimit) | _mm512_cmpge_epu64_mask(x[v], vLow);
    }
    if (any != 0) {
      for (int v = 0; v < 8; ++v) _mm512_store_si512(xs + 8 * v, x[v]);
      for (int stage = 0; stage < 4; ++stage) {
        const uint8_t* order = (r == 0 && stage == 0) ? firstOrder : laterOrder;
        if (!StoreStageRoots(xs + 16 * stage, order, p, limit, store)) return true;
      }
    }
    if (r + 1 < rounds) {
      for (int v = 0; v < 8; ++v) x[v] = MulShoup(x[v], s, sq, vp, pNeg);
    }
  }
  return true;
}

}  // namespace zentrova::kernels::avx512ifma
