#include "sieve/kernels/Dispatch.h"

#include "sieve/kernels/WideKernel.h"

namespace zentrova {

namespace kernels {

bool WidePortableSse(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                     std::vector<uint32_t>& roots, size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsPortable(p, a0, n, bMax, WideOrder::kSse, roots, capacity);
}

const SseStageOrders& SseOrders() {
  static const SseStageOrders orders = [] {
    SseStageOrders o;
    WideStageOrder(WideOrder::kSse, true, o.first);
    WideStageOrder(WideOrder::kSse, false, o.later);
    return o;
  }();
  return orders;
}

}  // namespace kernels

bool Athlon8xCondLoopArray(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                           std::vector<uint32_t>& roots, size_t capacity,
                           KernelScratch& /*scratch*/) {
  return WideRootsPortable(p, a0, n, bMax, WideOrder::kAthlon, roots, capacity);
}

namespace {

bool WideSmallN(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsSmallN(p, a0, n, bMax, roots, capacity);
}

#if defined(ZENTROVA_HAVE_AVX2_KERNELS) || defined(ZENTROVA_HAVE_AVX512_KERNELS)
using WideRawFn = bool (*)(uint64_t, uint64_t, int64_t, int32_t, const uint8_t*, const uint8_t*,
                           uint32_t*, size_t, size_t&);

// A raw wide walk behind the common signature, the portable walk (same
// storing order) for p outside its range.
template <WideRawFn Raw>
bool WideVector(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& scratch) {
  const kernels::SseStageOrders& orders = kernels::SseOrders();
  std::vector<uint32_t>& found = scratch.found;
  const size_t room = capacity > roots.size() ? capacity - roots.size() : 0;
  found.resize(room + 1);
  size_t count = 0;
  if (!Raw(p, a0, n, bMax, orders.first, orders.later, found.data(), room, count)) {
    return kernels::WidePortableSse(p, a0, n, bMax, roots, capacity, scratch);
  }
  roots.insert(roots.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
  return roots.size() < capacity;
}
#endif

}  // namespace

namespace kernels {

#ifdef ZENTROVA_HAVE_AVX2_KERNELS
bool WideAvx2(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
              size_t capacity, KernelScratch& scratch) {
  return WideVector<&avx2::WideSieveRaw>(p, a0, n, bMax, roots, capacity, scratch);
}
#endif

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
bool WideAvx512(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& scratch) {
  return WideVector<&avx512ifma::WideSieveRaw>(p, a0, n, bMax, roots, capacity, scratch);
}
#endif

}  // namespace kernels

WideKernelFn WideKernelFor(Isa isa, bool vector, int64_t n, const char** name) {
  if (n < 32) {
    *name = "WideRootsSmallN";
    return &WideSmallN;
  }
  if (vector) {
    *name = "WideSieveArray_SSE";
    return WideSieveArray_SSE(isa);
  }
  *name = "Athlon8xCondLoopArray";
  return &Athlon8xCondLoopArray;
}

}  // namespace zentrova
