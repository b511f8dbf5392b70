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

namespace zentrova {

struct Montgomery64 {
  uint64_t p = 0;
  uint64_t pNegInv = 0;  // -p^-1 mod 2^64

  explicit Montgomery64(uint64_t modulus) : p(modulus) {
    uint64_t inv = modulus;  // correct to 3 bits for odd p; Newton doubles it
    for (int i = 0; i < 5; ++i) inv *= 2 - modulus * inv;
    pNegInv = ~inv + 1;
  }

  uint64_t Mul(uint64_t a, uint64_t b) const {
    const unsigned __int128 t = static_cast<unsigned __int128>(a) * b;
    const uint64_t m = static_cast<uint64_t>(t) * pNegInv;
    const unsigned __int128 u = t + static_cast<unsigned __int128>(m) * p;
    return static_cast<uint64_t>(u >> 64);
  }
  uint64_t Square(uint64_t a) const { return Mul(a, a); }
  uint64_t Normalize(uint64_t a) const { return a >= p ? a - p : a; }

  // R mod p: the Montgomery form of 1.
  uint64_t One() const { return (0 - p) % p; }

  // The residue that M(b) must equal (after Normalize) for b^(2^ln) == -1.
  uint64_t MinusOneTarget(int ln) const {
    uint64_t x = 1;
    for (int i = 0; i < ln; ++i) x = Square(x);
    x = Normalize(x);
    return x == 0 ? 0 : p - x;
  }
};

}  // namespace zentrova
