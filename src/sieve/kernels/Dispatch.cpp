#include "sieve/kernels/Dispatch.h"

#include "math/CpuFeatures.h"
#include "math/FactorCandidates.h"

namespace zentrova {

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kAuto: return "auto";
    case Isa::kScalar: return "scalar";
    case Isa::kAvx2: return "avx2";
    case Isa::kAvx512: return "avx512";
  }
  return "?";
}

bool ParseIsa(const std::string& text, Isa& isa) {
  for (Isa candidate : {Isa::kAuto, Isa::kScalar, Isa::kAvx2, Isa::kAvx512}) {
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
    case Isa::kScalar: return true;
    case Isa::kAvx2:
#ifdef ZENTROVA_HAVE_X86_KERNELS
      return GetCpuFeatures().avx2 && GetCpuFeatures().fma;
#else
      return false;
#endif
    case Isa::kAvx512:
#ifdef ZENTROVA_HAVE_X86_KERNELS
      return GetCpuFeatures().avx512ifma;
#else
      return false;
#endif
  }
  return false;
}

Isa BestIsa() {
  if (IsaAvailable(Isa::kAvx512)) return Isa::kAvx512;
  if (IsaAvailable(Isa::kAvx2)) return Isa::kAvx2;
  return Isa::kScalar;
}

NormalKernelFn NormalSieveArray_SSE2(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_X86_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) {
    return &kernels::avx512ifma::NormalSieveArray;
  }
  if (isa == Isa::kAvx2 && IsaAvailable(Isa::kAvx2)) return &kernels::avx2::NormalSieveArray;
#endif
  return &NormalSieveArray;
}

FermatBatchFn FermatBatchFor(Isa isa) {
  if (isa == Isa::kAuto) isa = BestIsa();
#ifdef ZENTROVA_HAVE_X86_KERNELS
  if (isa == Isa::kAvx512 && IsaAvailable(Isa::kAvx512)) return &kernels::avx512ifma::FermatBatch;
#endif
  return &FermatBatchScalar;
}

}  // namespace zentrova
