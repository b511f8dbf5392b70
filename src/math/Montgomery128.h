// Two-word Montgomery arithmetic (R = 2^128) for odd moduli p < 2^126, the
// building block of the kernels above the one-word bound.
//
// A residue is an unsigned __int128 held as two 64-bit words. Mul reduces
// word by word: m = t0 * (-p^-1 mod 2^64) makes the lowest word of t + m*p
// vanish, twice, so the result is (a*b + M*p) / R for some M < R. Inputs in
// [0, 2p) give an output in [0, 2p) without a final subtraction, since
// (a*b + M*p) / R < (4p^2 + R*p) / R = p*(4p/R + 1) < 2p exactly when
// p < R/4 = 2^126. No intermediate overflows: the four-word value stays
// below 4p^2 + R*p < 2^256, so the carry out of its top word is never needed.
// Square needs a < 2^127 to double the cross product a0*a1 in 128 bits, which
// every input below 2p < 2^127 meets.
//
// A raw base b < 2^32 may be fed in directly even when b >= 2p: b*b < 2^64
// and (b*b + M*p) / R < 1 + p, so the first result is below 2p again.
//
// Squaring chains for b^(2^ln) == -1, as in Montgomery64.h: ln squarings of
// the raw base give b^N * R^(1-N) mod p, the same chain on 1 gives R^(1-N),
// so b^N == -1 exactly when the first equals p minus the second.
#pragma once

#include <cstdint>

#include "math/ModArith.h"
#include "math/MontgomeryCommon.h"

namespace zentrova {

struct Montgomery128 : MontgomeryCommon<Montgomery128, unsigned __int128> {
  using u128 = unsigned __int128;

  u128 p = 0;
  uint64_t p0 = 0;       // low word of p
  uint64_t p1 = 0;       // high word of p
  uint64_t pNegInv = 0;  // -p^-1 mod 2^64: the word-by-word reduction needs only this

  explicit Montgomery128(u128 modulus)
      : p(modulus),
        p0(static_cast<uint64_t>(modulus)),
        p1(static_cast<uint64_t>(modulus >> 64)),
        pNegInv(NegInverse(p0)) {}

  static uint64_t Lo(u128 x) { return static_cast<uint64_t>(x); }
  static uint64_t Hi(u128 x) { return static_cast<uint64_t>(x >> 64); }
  static u128 Wide(uint64_t a, uint64_t b) { return static_cast<u128>(a) * b; }
  static u128 Join(uint64_t hi, uint64_t lo) { return (static_cast<u128>(hi) << 64) | lo; }

  // (t0, t1, t2, t3) / R mod p, lazily: for t < 4p^2 the result is below 2p.
  // Word by word with explicit carries (the compilers keep these in
  // registers, where sums of 128-bit temporaries spill). The word being
  // cleared plus the low half of m*p0 is 0 or 2^64, so its carry is just
  // whether the word was nonzero; high halves of m*p1 are below 2^62, so
  // adding two carries to them cannot wrap.
  u128 Reduce(uint64_t t0, uint64_t t1, uint64_t t2, uint64_t t3) const {
    uint64_t m = t0 * pNegInv;
    uint64_t b = Hi(Wide(m, p0)) + (t0 != 0);  // Hi(m*p0) <= 2^64 - 2
    u128 w = Wide(m, p1);
    uint64_t d = Lo(w), e = Hi(w);
    t1 += b;
    e += t1 < b;
    t1 += d;
    e += t1 < d;
    t2 += e;
    t3 += t2 < e;
    m = t1 * pNegInv;
    b = Hi(Wide(m, p0)) + (t1 != 0);
    w = Wide(m, p1);
    d = Lo(w);
    e = Hi(w);
    t2 += b;
    e += t2 < b;
    t2 += d;
    e += t2 < d;
    return Join(t3 + e, t2);
  }

  u128 Mul(u128 a, u128 b) const {
    const uint64_t a0 = Lo(a), a1 = Hi(a), b0 = Lo(b), b1 = Hi(b);
    const u128 ll = Wide(a0, b0);
    const u128 lh = Wide(a0, b1);
    const u128 hl = Wide(a1, b0);
    const u128 hh = Wide(a1, b1);
    u128 s = static_cast<u128>(Hi(ll)) + Lo(lh) + Lo(hl);
    const uint64_t t1 = Lo(s);
    s = hh + Hi(lh) + Hi(hl) + Hi(s);  // below 2^128: a*b < 2^256
    return Reduce(Lo(ll), t1, Lo(s), Hi(s));
  }

  u128 Square(u128 a) const {
    const uint64_t a0 = Lo(a), a1 = Hi(a);
    const u128 ll = Wide(a0, a0);
    const u128 cross = Wide(a0, a1 << 1);  // a1 < 2^63
    const u128 hh = Wide(a1, a1);
    const uint64_t c0 = Lo(cross), c1 = Hi(cross);
    const uint64_t t1 = Hi(ll) + c0;
    const uint64_t k1 = t1 < c0;
    uint64_t t2 = c1 + Lo(hh);
    uint64_t k2 = t2 < c1;
    t2 += k1;
    k2 += t2 < k1;
    return Reduce(Lo(ll), t1, t2, Hi(hh) + k2);
  }

  // x*R mod p for any x (a handful of divisions: set-up only, never per step).
  u128 ToMontgomery(u128 x) const { return ShiftMod128(x % p, 128, p); }
};

}  // namespace zentrova
