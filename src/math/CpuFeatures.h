// What the processor offers, read once (CPUID + XGETBV on x86-64). Other
// processors report the x86 features the start-up checks ask for as present and
// the vector levels as absent, so the portable kernels run there.
#pragma once

#include <string>

namespace zentrova {

struct CpuFeatures {
  bool cmov = false;
  bool sse2 = false;
  bool avx2 = false;
  bool fma = false;
  bool avx512f = false;
  bool avx512ifma = false;  // with AVX-512 VL and the OS saving the ZMM state
  std::string vendor;
  std::string brand;
  unsigned maxLeaf = 0;    // the highest standard CPUID leaf
  unsigned signature = 0;  // EAX of leaf 1: stepping, model, family in bits 0-11
};

// Cached after the first call; safe from any thread.
const CpuFeatures& GetCpuFeatures();

}  // namespace zentrova
