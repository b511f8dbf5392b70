// The portable normal-mode kernel: 64-bit Montgomery squaring chains, eight
// independent bases interleaved so that their multiplies overlap.
#include "math/Montgomery64.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/SquaringChains.h"

namespace zentrova {

void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits, KernelScratch& /*scratch*/) {
  if (n == 0) return;
  SquaringChains<8>(Montgomery64(p), cand, n, ln, hits);
}

}  // namespace zentrova
