// An instruction-set file's normal kernel (a raw NormalSieveRaw) behind the
// common kernel signature, one word or two: it works in the caller's scratch
// and hands a p outside its range to the portable kernel of the word.
//
// Portable code only (the dispatchers); the instruction-set files must not
// include this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sieve/kernels/Dispatch.h"

namespace zentrova {

// Raw(cand, n, ln, p, [scratch,] hits, count) is the file's kernel; it takes
// kWordsPerVector scratch words for each vector of kLanes bases, and one
// vector more (none at all, and no scratch argument, when kWordsPerVector is
// 0). Portable is the kernel of the same word for the p that Raw refuses.
template <typename Word, auto Raw, auto Portable, size_t kWordsPerVector, size_t kLanes>
void NormalVector(const int32_t* cand, size_t n, int ln, Word p, std::vector<uint32_t>& hits,
                  KernelScratch& scratch) {
  if (n == 0) return;
  std::vector<uint32_t>& found = scratch.found;
  found.resize(n + 1);
  size_t count = 0;
  bool ran = false;
  if constexpr (kWordsPerVector == 0) {
    ran = Raw(cand, n, ln, p, found.data(), count);
  } else {
    scratch.values.resize(kWordsPerVector * ((n + kLanes) / kLanes));
    ran = Raw(cand, n, ln, p, scratch.values.data(), found.data(), count);
  }
  if (!ran) {
    Portable(cand, n, ln, p, hits, scratch);
    return;
  }
  hits.insert(hits.end(), found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace zentrova
