// The two-word kernels of each level behind the common signatures, which the
// table of levels (KernelIsa.cpp) chooses between.
#include <algorithm>

#include "math/ModArith.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

namespace kernels {

bool WidePortableSse128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                        std::vector<uint32_t>& roots, size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsPortable128(p, a0, n, bMax, WideOrder::kSse, roots, capacity);
}

}  // namespace kernels

namespace {

using kernels::WidePortableSse128;

#if defined(ZENTROVA_HAVE_AVX2_KERNELS) || defined(ZENTROVA_HAVE_AVX512_KERNELS)
// x * 2^bits mod p: the Montgomery form of a vector file, by shifting in as
// many bits at a time as p leaves free (set-up only).
unsigned __int128 ToMontgomery(unsigned __int128 x, unsigned __int128 p, int bits) {
  const auto hi = static_cast<uint64_t>(p >> 64);
  const int room = hi != 0 ? __builtin_clzll(hi) : 64 + __builtin_clzll(static_cast<uint64_t>(p));
  unsigned __int128 r = x % p;
  for (int left = bits; left > 0;) {
    const int s = room < left ? room : left;
    r = (r << s) % p;
    left -= s;
  }
  return r;
}

using WideRaw128Fn = bool (*)(unsigned __int128 p, const unsigned __int128* starts, int segments,
                              int64_t stagesEach, unsigned __int128 stepMont, int32_t bMax,
                              const uint8_t* firstOrder, const uint8_t* laterOrder, uint32_t* roots,
                              size_t perSegment, size_t* counts);

// A vector file's walk (Montgomery form x * 2^kRBits, moduli 2^52 < p <
// 2^kTopBits) behind the common signature, the portable walk in the same
// order for any other p.
template <WideRaw128Fn Raw, int kSegments, int kRBits, int kTopBits>
bool WideVector128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                   std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch) {
  using u128 = unsigned __int128;
  if (p >= (static_cast<u128>(1) << kTopBits) || p <= (static_cast<u128>(1) << 52) || n < 32 ||
      bMax < 0) {
    return WidePortableSse128(p, a0, n, bMax, roots, capacity, scratch);
  }
  const kernels::SseStageOrders& orders = kernels::SseOrders();
  // The stages in up to kSegments runs of equal length (N/32 is a power of
  // two; any other count is walked in one run), each started at its own
  // power of a0.
  const int64_t stages = n >> 5;
  int segments = static_cast<int>(std::min<int64_t>(kSegments, stages));
  if (stages % segments != 0) segments = 1;
  const int64_t each = stages / segments;
  u128 starts[16 * kSegments];
  const u128 a2 = MulModExact128(a0, a0, p);
  starts[0] = a0 % p;
  for (int i = 1; i < 16; ++i) starts[i] = MulModExact128(starts[i - 1], a2, p);
  const u128 step = MulModExact128(starts[15], a0, p);  // a0^32
  const u128 jump = PowModExact128(step, static_cast<u128>(each), p);
  for (int h = 1; h < segments; ++h) {
    for (int i = 0; i < 16; ++i)
      starts[16 * h + i] = MulModExact128(starts[16 * (h - 1) + i], jump, p);
  }
  // Few roots are at most bMax; a run with more than this goes to the
  // portable walk, which stores the same roots.
  constexpr size_t kPerSegment = 1024;
  std::vector<uint32_t>& found = scratch.found;
  found.resize(kPerSegment * kSegments);
  size_t counts[kSegments];
  if (!Raw(p, starts, segments, each, ToMontgomery(step, p, kRBits), bMax, orders.first,
           orders.later, found.data(), kPerSegment, counts)) {
    return WidePortableSse128(p, a0, n, bMax, roots, capacity, scratch);
  }
  for (int h = 0; h < segments; ++h) {
    for (size_t i = 0; i < counts[h]; ++i) {
      roots.push_back(found[kPerSegment * static_cast<size_t>(h) + i]);
      if (roots.size() >= capacity) return false;
    }
  }
  return true;
}
#endif

}  // namespace

namespace kernels {

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
bool WideAvx512_128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                    std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch) {
  return WideVector128<&avx512ifma128::WideSieveRaw, avx512ifma128::kWideSegments, 104, 102>(
      p, a0, n, bMax, roots, capacity, scratch);
}
#endif

#ifdef ZENTROVA_HAVE_AVX2_KERNELS
static_assert(kAvx2TwoWordLimit == static_cast<unsigned __int128>(1) << 94 &&
              kAvx2TwoWordLimit >= kMaxModulus128);
bool WideAvx2_128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                  std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch) {
  return WideVector128<&avx2_128::WideSieveRaw, avx2_128::kWideSegments, 96, 94>(
      p, a0, n, bMax, roots, capacity, scratch);
}
#endif

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
// Groups of eight moduli go to the IFMA test when all of them are in its
// range, else to the portable one.
void FermatAvx512_128(const unsigned __int128* p, int n, bool* pass) {
  const unsigned __int128 top = static_cast<unsigned __int128>(1) << 102;
  for (int base = 0; base < n; base += 8) {
    const int lanes = std::min(8, n - base);
    bool fits = true;
    for (int i = 0; i < lanes; ++i) {
      fits = fits && p[base + i] < top && p[base + i] >= 3 && (p[base + i] & 1) != 0;
    }
    if (fits) {
      avx512ifma128::FermatBatch(p + base, lanes, pass + base);
    } else {
      FermatBatchScalar128(p + base, lanes, pass + base);
    }
  }
}
#endif

}  // namespace kernels

}  // namespace zentrova
