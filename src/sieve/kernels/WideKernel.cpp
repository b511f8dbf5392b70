#include "sieve/kernels/WideKernel.h"

#include "sieve/kernels/WideWalk.h"

namespace zentrova {

void WideStageOrder(WideOrder order, bool firstStage, uint8_t* slots) {
  constexpr uint8_t kNeg = kSlotNegated;
  int n = 0;
  if (order == WideOrder::kAthlon) {
    for (uint8_t i = 0; i < 16; ++i) slots[n++] = i;
    for (uint8_t i = 0; i < 16; ++i) slots[n++] = static_cast<uint8_t>(i | kNeg);
    return;
  }
  for (uint8_t g = 0; g < 8; ++g) {
    const auto i = static_cast<uint8_t>(2 * g);  // x_j with j = 4g + 1
    const auto i2 = static_cast<uint8_t>(i + 1);
    if (g == 7 && !firstStage) {
      slots[n++] = i;
      slots[n++] = static_cast<uint8_t>(i | kNeg);
      slots[n++] = i2;
      slots[n++] = static_cast<uint8_t>(i2 | kNeg);
    } else {
      slots[n++] = i;
      slots[n++] = i2;
      slots[n++] = static_cast<uint8_t>(i | kNeg);
      slots[n++] = static_cast<uint8_t>(i2 | kNeg);
    }
  }
}

bool WideRootsPortable(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, WideOrder order,
                       std::vector<uint32_t>& roots, size_t capacity) {
  return wide::WalkStages<WordArith<uint64_t>>(p, a0, n, bMax, order, roots, capacity);
}

bool WideRootsSmallN(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                     std::vector<uint32_t>& roots, size_t capacity) {
  return wide::WalkOneByOne<WordArith<uint64_t>>(p, a0, n, bMax, roots, capacity);
}

A0Search FindA0(uint64_t p, uint64_t k, int ln, uint64_t& a0) {
  return wide::SearchA0<WordArith<uint64_t>>(p, k, ln, a0);
}

}  // namespace zentrova
