// The portable wide walks and the a0 search, written once over the
// arithmetic of a word size (math/WordArith.h): WideKernel.cpp instantiates
// them for one word (WideRootsPortable, WideRootsSmallN, FindA0),
// WideKernel128.cpp for two (the same names with 128). The contracts are
// those of WideKernel.h; only the bounds on p are the word's.
//
// Portable code only: the instruction-set files must not include this. Like
// the parts of KernelParts.h they use, the templates have internal linkage:
// each file that includes this has its own copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/WordArith.h"
#include "sieve/Config.h"
#include "sieve/kernels/WideKernel.h"
#include "sieve/kernels/KernelParts.h"

namespace zentrova::wide {
namespace {  // internal linkage: see above

// The stages of 32 exponents (n >= 32): x_1, x_3, ..., x_31 built by Shoup
// multiplication by a0^2, then each stage times the step S = a0^32, every
// value kept in standard form for the comparisons with bMax. A stage whose
// values all lie more than bMax from 0 and from p stores nothing and is
// passed over after 16 compares.
template <typename Arith>
bool WalkStages(typename Arith::Word p, typename Arith::Word a0, int64_t n, int32_t bMax,
                WideOrder order, std::vector<uint32_t>& roots, size_t capacity) {
  using Word = typename Arith::Word;
  const Word a2 = Arith::MulModExact(a0, a0, p);
  const Word a2q = Arith::ShoupQuotient(a2, p);
  Word x[16];
  x[0] = a0 % p;
  for (int i = 1; i < 16; ++i) x[i] = Arith::MulShoup(x[i - 1], a2, a2q, p);
  const Word s = Arith::MulModExact(x[15], a0, p);  // a0^32
  const Word sq = Arith::ShoupQuotient(s, p);
  uint8_t first[32], later[32];
  WideStageOrder(order, true, first);
  WideStageOrder(order, false, later);
  const Word limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  auto store = [&](uint32_t root) {
    roots.push_back(root);
    return roots.size() < capacity;
  };
  const int64_t stages = n >> 5;
  for (int64_t r = 0; r < stages; ++r) {
    bool any = false;
    for (int i = 0; i < 16; ++i) any |= x[i] <= limit || p - x[i] <= limit;
    if (any && !StoreStageRoots(x, r == 0 ? first : later, p, limit, store)) return false;
    if (r + 1 < stages) {
      for (int i = 0; i < 16; ++i) x[i] = Arith::MulShoup(x[i], s, sq, p);
    }
  }
  return true;
}

// N below 32: x_j for j = 1, 3, ..., 2N - 1 in turn, in the exact reference.
template <typename Arith>
bool WalkOneByOne(typename Arith::Word p, typename Arith::Word a0, int64_t n, int32_t bMax,
                  std::vector<uint32_t>& roots, size_t capacity) {
  using Word = typename Arith::Word;
  const Word a2 = Arith::MulModExact(a0, a0, p);
  const Word limit = static_cast<uint64_t>(bMax < 0 ? 0 : bMax);
  Word x = a0 % p;
  for (int64_t j = 0; j < n; ++j) {
    if (x <= limit) {
      roots.push_back(static_cast<uint32_t>(x));
      if (roots.size() >= capacity) return false;
    }
    x = Arith::MulModExact(x, a2, p);
  }
  return true;
}

// The a0 search of FindA0 (WideKernel.h): powering and squaring in the word's
// lazy Montgomery arithmetic, the a0 found confirmed by Arith::IsMinusOneChain.
template <typename Arith>
A0Search SearchA0(typename Arith::Word p, uint64_t k, int ln, typename Arith::Word& a0) {
  using Word = typename Arith::Word;
  const typename Arith::Montgomery mont(p);
  const Word one = mont.One();
  const Word minusOne = p - one;
  const Word r2 = mont.ToMontgomery(one);  // R^2 mod p
  for (int tries = 0; tries < config::kWideMaxGTries; ++tries) {
    const uint64_t g = tries == 0 ? 2 : static_cast<uint64_t>(2 * tries + 1);
    // a = g^k, left to right, in Montgomery form; g * r2 < 2^64 * p <= R*p,
    // so the lazy product is below 2p.
    const Word gm = mont.Normalize(mont.Mul(g, r2));
    Word a = one;
    for (int bit = 63 - __builtin_clzll(k | 1); bit >= 0; --bit) {
      a = mont.Square(a);
      if ((k >> bit) & 1) a = mont.Mul(a, gm);
    }
    Word s = a;
    for (int i = 0; i < ln; ++i) s = mont.Square(s);
    s = mont.Normalize(s);
    if (s == one) continue;
    if (s != minusOne) return A0Search::kComposite;
    a0 = mont.FromMontgomery(a);
    // The same property in the exact reference arithmetic, as a guard.
    return Arith::IsMinusOneChain(a0, ln, p) ? A0Search::kFound : A0Search::kInvalid;
  }
  return A0Search::kComposite;
}

}  // namespace
}  // namespace zentrova::wide
