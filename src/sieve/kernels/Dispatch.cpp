#include "sieve/kernels/Dispatch.h"

#include "math/CpuFeatures.h"
#include "math/FactorCandidates.h"
#include "sieve/kernels/NormalVector.h"
#include "sieve/kernels/WideKernel.h"

namespace zentrova {

const std::vector<Isa>& KernelIsas() {
  static const std::vector<Isa> levels = {Isa::kScalar, Isa::kAvx2, Isa::kAvx512};
  return levels;
}

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kAuto:
      return "auto";
    case Isa::kScalar:
      return "scalar";
    case Isa::kAvx2:
      return "avx2";
    case Isa::kAvx512:
      return "avx512";
  }
  return "?";
}

bool ParseIsa(const std::string& text, Isa& isa) {
  if (text == IsaName(Isa::kAuto)) {
    isa = Isa::kAuto;
    return true;
  }
  for (const Isa candidate : KernelIsas()) {
    if (text == IsaName(candidate)) {
      isa = candidate;
      return true;
    }
  }
  return false;
}

bool IsaAvailable(Isa isa) {
  switch (isa) {
    case Isa::kAuto:
    case Isa::kScalar:
      return true;
    case Isa::kAvx2:
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
      return GetCpuFeatures().avx2 && GetCpuFeatures().fma;
#else
      return false;
#endif
    case Isa::kAvx512:
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
      return GetCpuFeatures().avx512ifma;
#else
      return false;
#endif
  }
  return false;
}

Isa BestIsa() {
  const std::vector<Isa>& levels = KernelIsas();
  for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
    if (IsaAvailable(*it)) return *it;
  }
  return Isa::kScalar;
}

namespace {

#ifdef ZENTROVA_HAVE_AVX512_KERNELS
constexpr auto& NormalAvx512 =
    NormalVector<uint64_t, &kernels::avx512ifma::NormalSieveRaw, &NormalSieveArray, 8, 8>;
#endif

#ifdef ZENTROVA_HAVE_AVX2_KERNELS
constexpr auto& NormalAvx2 =
    NormalVector<uint64_t, &kernels::avx2::NormalSieveRaw, &NormalSieveArray, 0, 4>;
#endif

}  // namespace

NormalKernelFn NormalSieveArray_SSE2(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) return &NormalAvx512;
#endif
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
  if (isa == Isa::kAvx2 && IsaAvailable(Isa::kAvx2)) return &NormalAvx2;
#endif
  return &NormalSieveArray;
}

bool Athlon8xCondLoopArray(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                           std::vector<uint32_t>& roots, size_t capacity,
                           KernelScratch& /*scratch*/) {
  return WideRootsPortable(p, a0, n, bMax, WideOrder::kAthlon, roots, capacity);
}

namespace {

bool WidePortableSse(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                     size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsPortable(p, a0, n, bMax, WideOrder::kSse, roots, capacity);
}

bool WideSmallN(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsSmallN(p, a0, n, bMax, roots, capacity);
}

#if defined(ZENTROVA_HAVE_AVX2_KERNELS) || defined(ZENTROVA_HAVE_AVX512_KERNELS)
struct SseOrders {
  uint8_t first[32];
  uint8_t later[32];
  SseOrders() {
    WideStageOrder(WideOrder::kSse, true, first);
    WideStageOrder(WideOrder::kSse, false, later);
  }
};

using WideRawFn = bool (*)(uint64_t, uint64_t, int64_t, int32_t, const uint8_t*, const uint8_t*,
                           uint32_t*, size_t, size_t&);

// A raw wide walk behind the common signature, the portable walk (same
// storing order) for p outside its range.
template <WideRawFn Raw>
bool WideVector(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& scratch) {
  static const SseOrders orders;
  std::vector<uint32_t>& found = scratch.found;
  const size_t room = capacity > roots.size() ? capacity - roots.size() : 0;
  found.resize(room + 1);
  size_t count = 0;
  if (!Raw(p, a0, n, bMax, orders.first, orders.later, found.data(), room, count)) {
    return WidePortableSse(p, a0, n, bMax, roots, capacity, scratch);
  }
  roots.insert(roots.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
  return roots.size() < capacity;
}
#endif

}  // namespace

WideKernelFn WideSieveArray_SSE(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) {
    return &WideVector<&kernels::avx512ifma::WideSieveRaw>;
  }
#endif
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
  if (isa == Isa::kAvx2 && IsaAvailable(Isa::kAvx2)) {
    return &WideVector<&kernels::avx2::WideSieveRaw>;
  }
#endif
  return &WidePortableSse;
}

FermatBatchFn FermatBatchFor(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) return &kernels::avx512ifma::FermatBatch;
#endif
  return &FermatBatchScalar;
}

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
