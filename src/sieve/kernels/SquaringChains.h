// The squaring chains of the portable normal kernels, for either Montgomery
// arithmetic (Montgomery64 or Montgomery128): each base goes in as if it were
// a Montgomery form, ln squarings follow, and the result is compared with the
// arithmetic's "-1 target". kBlock bases are interleaved so that their
// multiplies overlap, then pairs, then the last one alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentrova {

template <size_t kBlock, typename Mont>
void SquaringChains(const Mont& mont, const int32_t* cand, size_t n, int ln,
                    std::vector<uint32_t>& hits) {
  using Word = decltype(mont.p);
  if (n == 0) return;
  const Word target = mont.MinusOneTarget(ln);
  size_t j = 0;
  for (; j + kBlock <= n; j += kBlock) {
    Word x[kBlock];
    for (size_t i = 0; i < kBlock; ++i) x[i] = static_cast<uint32_t>(cand[j + i]);
    for (int s = 0; s < ln; ++s) {
      for (size_t i = 0; i < kBlock; ++i) x[i] = mont.Square(x[i]);
    }
    for (size_t i = 0; i < kBlock; ++i) {
      if (mont.Normalize(x[i]) == target) hits.push_back(static_cast<uint32_t>(j + i));
    }
  }
  for (; j + 2 <= n; j += 2) {
    Word x0 = static_cast<uint32_t>(cand[j]);
    Word x1 = static_cast<uint32_t>(cand[j + 1]);
    for (int s = 0; s < ln; ++s) {
      x0 = mont.Square(x0);
      x1 = mont.Square(x1);
    }
    if (mont.Normalize(x0) == target) hits.push_back(static_cast<uint32_t>(j));
    if (mont.Normalize(x1) == target) hits.push_back(static_cast<uint32_t>(j + 1));
  }
  if (j < n) {
    Word x0 = static_cast<uint32_t>(cand[j]);
    for (int s = 0; s < ln; ++s) x0 = mont.Square(x0);
    if (mont.Normalize(x0) == target) hits.push_back(static_cast<uint32_t>(j));
  }
}

}  // namespace zentrova
