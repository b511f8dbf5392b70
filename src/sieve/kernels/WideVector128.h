// An instruction-set file's wide kernel of two words (a raw WideSieveRaw)
// behind the common kernel signature: it cuts the walk into the file's
// segments, works in the caller's scratch, and hands a p outside its range
// to the portable walk in the same storing order.
//
// Portable code only (the table of levels); the instruction-set files must
// not include this.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/ModArith.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

// A vector file's walk (Montgomery form x * 2^kRBits, moduli 2^52 < p <
// 2^kTopBits) behind the common signature, the portable walk in the same
// order for any other p.
template <WideRaw128* Raw, int kSegments, int kRBits, int kTopBits>
bool WideVector128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                   std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch) {
  using u128 = unsigned __int128;
  if (p >= (static_cast<u128>(1) << kTopBits) || p <= (static_cast<u128>(1) << 52) || n < 32 ||
      bMax < 0) {
    return kernels::WidePortableSse128(p, a0, n, bMax, roots, capacity, scratch);
  }
  const kernels::SseStageOrders& orders = kernels::SseOrders();
  // The stages in up to kSegments runs of equal length (N/32 is a power of
  // two; any other count is walked in one run), each started at its own
  // power of a0.
  const int64_t stages = n >> 5;
  int segments = static_cast<int>(std::min<int64_t>(kSegments, stages));
  if (stages % segments != 0) segments = 1;
  const int64_t each = stages / segments;
  u128 starts[16 * kSegments];
  const u128 a2 = MulModExact128(a0, a0, p);
  starts[0] = a0 % p;
  for (int i = 1; i < 16; ++i) starts[i] = MulModExact128(starts[i - 1], a2, p);
  const u128 step = MulModExact128(starts[15], a0, p);  // a0^32
  const u128 jump = PowModExact128(step, static_cast<u128>(each), p);
  for (int h = 1; h < segments; ++h) {
    for (int i = 0; i < 16; ++i)
      starts[16 * h + i] = MulModExact128(starts[16 * (h - 1) + i], jump, p);
  }
  // Few roots are at most bMax; a run with more than this goes to the
  // portable walk, which stores the same roots.
  constexpr size_t kPerSegment = 1024;
  std::vector<uint32_t>& found = scratch.found;
  found.resize(kPerSegment * kSegments);
  size_t counts[kSegments];
  if (!Raw(p, starts, segments, each, ShiftMod128(step % p, kRBits, p), bMax, orders.first,
           orders.later, found.data(), kPerSegment, counts)) {
    return kernels::WidePortableSse128(p, a0, n, bMax, roots, capacity, scratch);
  }
  for (int h = 0; h < segments; ++h) {
    for (size_t i = 0; i < counts[h]; ++i) {
      roots.push_back(found[kPerSegment * static_cast<size_t>(h) + i]);
      if (roots.size() >= capacity) return false;
    }
  }
  return true;
}

}  // namespace zentrova
