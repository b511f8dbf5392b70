// The arithmetic of one word size of p, for the code that is the same in one
// word (uint64_t) and in two (unsigned __int128): the wide walk and the a0
// search (sieve/kernels/WideWalk.h) and the base-2 Fermat test
// (Fermat128.cpp) are written once over WordArith<Word>.
//
//   Montgomery          the Montgomery arithmetic (Montgomery64.h, Montgomery128.h)
//   MulModExact         a*b mod p, exact, any a, b of the word
//   ShoupQuotient       wq = floor(w * 2^bits / p) for w < p, bits the word's
//   MulShoup            x*w mod p for x < p by Shoup's method with that wq: the
//                       quotient estimate floor(x * wq / 2^bits) is the true
//                       one or one less, so x*w - q*p lies in [0, 2p) and is
//                       computed modulo 2^bits; exact while 2p < 2^bits
//   IsMinusOneChain     x^(2^ln) == -1 (mod p) in exact arithmetic, ln >= 1
//   TopBit              the index of the highest set bit of x | 1
#pragma once

#include <cstdint>

#include "math/ModArith.h"
#include "math/Montgomery128.h"
#include "math/Montgomery64.h"

namespace zentrova {

template <typename Word>
struct WordArith;

template <>
struct WordArith<uint64_t> {
  using Word = uint64_t;
  using Montgomery = Montgomery64;

  static Word MulModExact(Word a, Word b, Word p) { return zentrova::MulModExact(a, b, p); }
  static Word ShoupQuotient(Word w, Word p) {
    return static_cast<Word>((static_cast<unsigned __int128>(w) << 64) / p);
  }
  static Word MulShoup(Word x, Word w, Word wq, Word p) {
    const auto q = static_cast<Word>((static_cast<unsigned __int128>(x) * wq) >> 64);
    const Word r = x * w - q * p;
    return r >= p ? r - p : r;
  }
  static bool IsMinusOneChain(Word x, int ln, Word p) {
    return SquareChainIsMinusOne(static_cast<int64_t>(x), ln, p);
  }
  static int TopBit(Word x) { return 63 - __builtin_clzll(x | 1); }
};

template <>
struct WordArith<unsigned __int128> {
  using Word = unsigned __int128;
  using Montgomery = Montgomery128;

  static Word MulModExact(Word a, Word b, Word p) { return MulModExact128(a, b, p); }
  static Word ShoupQuotient(Word w, Word p) {
    Word q = 0;
    ShiftMod128(w, 128, p, &q);
    return q;
  }
  // With wq = floor(w * 2^128 / p) and x < p, q = floor(x * wq / 2^128) is
  // floor(x*w/p) or one less, since x*wq/2^128 > x*w/p - x/2^128. So
  // x*w - q*p lies in [0, 2p), below 2^128 for p < 2^127, and may be
  // computed modulo 2^128 from the low halves of the two products.
  static Word MulShoup(Word x, Word w, Word wq, Word p) {
    const Word q = MulFull128(x, wq).hi;
    const Word r = x * w - q * p;
    return r >= p ? r - p : r;
  }
  static bool IsMinusOneChain(Word x, int ln, Word p) { return VerifyFactor128(ln, x, p); }
  static int TopBit(Word x) {
    const auto hi = static_cast<uint64_t>(x >> 64);
    return hi != 0 ? 127 - __builtin_clzll(hi) : 63 - __builtin_clzll(static_cast<uint64_t>(x) | 1);
  }
};

}  // namespace zentrova
