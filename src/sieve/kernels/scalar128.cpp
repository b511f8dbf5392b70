// The portable two-word normal kernel: Montgomery128 squaring chains, four
// bases interleaved so that their multiplies overlap (each square is seven
// 64x64 products and two low products in a dependent chain; four chains keep
// the multiplier busy without spilling the eight words of state).
#include "math/Montgomery128.h"
#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/SquaringChains.h"

namespace zentrova {

void NormalSieveArray128(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                         std::vector<uint32_t>& hits, KernelScratch& /*scratch*/) {
  if (n == 0) return;
  SquaringChains<4>(Montgomery128(p), cand, n, ln, hits);
}

}  // namespace zentrova
