// The portable two-word normal kernel: Montgomery128 squaring chains, four
// bases interleaved so that their multiplies overlap (each square is seven
// 64x64 products and two low products in a dependent chain; four chains keep
// the multiplier busy without spilling the eight words of state).
#include "math/Montgomery128.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

void NormalSieveArray128(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                         std::vector<uint32_t>& hits, KernelScratch& /*scratch*/) {
  using u128 = unsigned __int128;
  if (n == 0) return;
  const Montgomery128 mont(p);
  const u128 target = mont.MinusOneTarget(ln);
  constexpr size_t kBlock = 4;
  size_t j = 0;
  for (; j + kBlock <= n; j += kBlock) {
    u128 x[kBlock];
    for (size_t i = 0; i < kBlock; ++i) x[i] = static_cast<uint32_t>(cand[j + i]);
    for (int s = 0; s < ln; ++s) {
      for (size_t i = 0; i < kBlock; ++i) x[i] = mont.Square(x[i]);
    }
    for (size_t i = 0; i < kBlock; ++i) {
      if (mont.Normalize(x[i]) == target) hits.push_back(static_cast<uint32_t>(j + i));
    }
  }
  for (; j < n; ++j) {
    u128 x = static_cast<uint32_t>(cand[j]);
    for (int s = 0; s < ln; ++s) x = mont.Square(x);
    if (mont.Normalize(x) == target) hits.push_back(static_cast<uint32_t>(j));
  }
}

}  // namespace zentrova
