// The choice between the two-word kernels of each mode.
#include "sieve/kernels/Kernels128.h"

#include "math/ModArith.h"

namespace zentrova {

namespace {

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
// The IFMA kernel behind the common signature: it works in the caller's
// scratch and hands a p outside its range to the portable kernel.
void NormalAvx512_128(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                      std::vector<uint32_t>& hits, KernelScratch& scratch) {
  if (n == 0) return;
  std::vector<uint32_t>& found = scratch.found;
  scratch.values.resize(16 * ((n + 8) / 8));
  found.resize(n + 1);
  size_t count = 0;
  if (!kernels::avx512ifma128::NormalSieveRaw(cand, n, ln, p, scratch.values.data(), found.data(),
                                              count)) {
    NormalSieveArray128(cand, n, ln, p, hits, scratch);
    return;
  }
  hits.insert(hits.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
}
#endif

bool WidePortableSse128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                        std::vector<uint32_t>& roots, size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsPortable128(p, a0, n, bMax, WideOrder::kSse, roots, capacity);
}

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
struct SseOrders {
  uint8_t first[32];
  uint8_t later[32];
  SseOrders() {
    WideStageOrder(WideOrder::kSse, true, first);
    WideStageOrder(WideOrder::kSse, false, later);
  }
};

// x * 2^104 mod p: the Montgomery form of the IFMA file, by shifting in as
// many bits at a time as p leaves free (set-up only).
unsigned __int128 ToMontgomery104(unsigned __int128 x, unsigned __int128 p) {
  const auto hi = static_cast<uint64_t>(p >> 64);
  const int room = hi != 0 ? __builtin_clzll(hi) : 64 + __builtin_clzll(static_cast<uint64_t>(p));
  unsigned __int128 r = x % p;
  for (int left = 104; left > 0;) {
    const int s = room < left ? room : left;
    r = (r << s) % p;
    left -= s;
  }
  return r;
}

bool WideAvx512_128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                    std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch) {
  if (p >= (static_cast<unsigned __int128>(1) << 102) || n < 32 || bMax < 0 || roots.size() >= capacity) {
    return WidePortableSse128(p, a0, n, bMax, roots, capacity, scratch);
  }
  static const SseOrders orders;
  unsigned __int128 first[16];
  first[0] = a0 % p;
  const unsigned __int128 a2 = MulModExact128(a0, a0, p);
  for (int i = 1; i < 16; ++i) first[i] = MulModExact128(first[i - 1], a2, p);
  const unsigned __int128 step = ToMontgomery104(MulModExact128(first[15], a0, p), p);
  const size_t room = capacity - roots.size();
  std::vector<uint32_t>& found = scratch.found;
  found.resize(room);
  size_t count = 0;
  kernels::avx512ifma128::WideSieveRaw(p, first, step, n >> 5, bMax, orders.first, orders.later,
                                       found.data(), room, count);
  roots.insert(roots.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
  return roots.size() < capacity;
}
#endif

}  // namespace

WideKernel128Fn WideSieveArray128_SSE(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) return &WideAvx512_128;
#endif
  return &WidePortableSse128;
}

NormalKernel128Fn NormalSieveArray128_SSE2(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) return &NormalAvx512_128;
#endif
  return &NormalSieveArray128;
}

}  // namespace zentrova
