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
