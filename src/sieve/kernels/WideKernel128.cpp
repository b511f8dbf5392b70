// The two-word wide walks and a0 search: the templates of WideWalk.h over
// the two-word arithmetic (math/WordArith.h).
#include "sieve/kernels/Kernels128.h"
#include "sieve/kernels/WideWalk.h"

namespace zentrova {

namespace {

using u128 = unsigned __int128;
using Arith128 = WordArith<u128>;

}  // namespace

bool WideRootsPortable128(u128 p, u128 a0, int64_t n, int32_t bMax, WideOrder order,
                          std::vector<uint32_t>& roots, size_t capacity) {
  return wide::WalkStages<Arith128>(p, a0, n, bMax, order, roots, capacity);
}

bool WideRootsSmallN128(u128 p, u128 a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                        size_t capacity) {
  return wide::WalkOneByOne<Arith128>(p, a0, n, bMax, roots, capacity);
}

bool Athlon8xCondLoopArray128(u128 p, u128 a0, int64_t n, int32_t bMax,
                              std::vector<uint32_t>& roots, size_t capacity,
                              KernelScratch& /*scratch*/) {
  return WideRootsPortable128(p, a0, n, bMax, WideOrder::kAthlon, roots, capacity);
}

bool WideSmallN128(u128 p, u128 a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                   size_t capacity, KernelScratch& /*scratch*/) {
  return WideRootsSmallN128(p, a0, n, bMax, roots, capacity);
}

A0Search FindA0_128(u128 p, uint64_t k, int ln, u128& a0) {
  return wide::SearchA0<Arith128>(p, k, ln, a0);
}

}  // namespace zentrova
