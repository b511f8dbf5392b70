// The portable normal-mode kernel: 64-bit Montgomery squaring chains, eight
// independent bases interleaved so that their multiplies overlap.
#include "math/Montgomery64.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits, KernelScratch& /*scratch*/) {
  if (n == 0) return;
  const Montgomery64 mont(p);
  const uint64_t target = mont.MinusOneTarget(ln);
  constexpr size_t kBlock = 8;
  size_t j = 0;
  for (; j + kBlock <= n; j += kBlock) {
    uint64_t x[kBlock];
    for (size_t i = 0; i < kBlock; ++i) x[i] = static_cast<uint32_t>(cand[j + i]);
    for (int s = 0; s < ln; ++s) {
      for (size_t i = 0; i < kBlock; ++i) x[i] = mont.Square(x[i]);
    }
    for (size_t i = 0; i < kBlock; ++i) {
      if (mont.Normalize(x[i]) == target) hits.push_back(static_cast<uint32_t>(j + i));
    }
  }
  for (; j + 2 <= n; j += 2) {
    uint64_t x0 = static_cast<uint32_t>(cand[j]);
    uint64_t x1 = static_cast<uint32_t>(cand[j + 1]);
    for (int s = 0; s < ln; ++s) {
      x0 = mont.Square(x0);
      x1 = mont.Square(x1);
    }
    if (mont.Normalize(x0) == target) hits.push_back(static_cast<uint32_t>(j));
    if (mont.Normalize(x1) == target) hits.push_back(static_cast<uint32_t>(j + 1));
  }
  if (j < n) {
    uint64_t x0 = static_cast<uint32_t>(cand[j]);
    for (int s = 0; s < ln; ++s) x0 = mont.Square(x0);
    if (mont.Normalize(x0) == target) hits.push_back(static_cast<uint32_t>(j));
  }
}

}  // namespace zentrova
