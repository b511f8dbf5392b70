// 64-bit Montgomery arithmetic (R = 2^64) for odd moduli p < 2^62.
//
// MontMul(a, b) = a*b*R^-1 mod p. With p < 2^62 the reduction is lazy: inputs
// in [0, 2p) give an output in [0, 2p) without any final subtraction, because
// (a*b + m*p) / R < (4p^2 + R*p) / R = p*(4p/R + 1) < 2p.
// A raw base b < 2^32 may be fed in directly even when b >= 2p, since
// b*b < 2^64 <= R*p keeps the first result below 2p as well.
//
// Squaring chains for b^(2^ln) == -1. Feeding the plain base b in as if it were
// a Montgomery form, ln squarings produce M(b) = b^N * R^(1-N) mod p. The same
// chain on 1 gives M(1) = R^(1-N); so b^N == -1 exactly when
// M(b) == p - M(1) (mod p). One chain per p replaces a conversion per base.
#pragma once

#include <cstdint>

#include "math/MontgomeryCommon.h"

namespace zentrova {

struct Montgomery64 : MontgomeryCommon<Montgomery64, uint64_t> {
  uint64_t p = 0;
  uint64_t pNegInv = 0;  // -p^-1 mod 2^64

  explicit Montgomery64(uint64_t modulus) : p(modulus), pNegInv(NegInverse(modulus)) {}

  uint64_t Mul(uint64_t a, uint64_t b) const {
    const unsigned __int128 t = static_cast<unsigned __int128>(a) * b;
    const uint64_t m = static_cast<uint64_t>(t) * pNegInv;
    const unsigned __int128 u = t + static_cast<unsigned __int128>(m) * p;
    return static_cast<uint64_t>(u >> 64);
  }
  uint64_t Square(uint64_t a) const { return Mul(a, a); }

  // x*R mod p for any x (a division: set-up only, never per step).
  uint64_t ToMontgomery(uint64_t x) const {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(x) << 64) % p);
  }
};

}  // namespace zentrova
