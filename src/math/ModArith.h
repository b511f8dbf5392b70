// Modular arithmetic modulo one factor candidate p: one 64-bit word below
// 2^62, and its two-word counterparts above.
//
// Every prime factor of b^N + 1 (N = 2^ln) has the form p = k*2N + 1. The sieve
// works modulo one such p at a time. Two families of operations live here:
//
//  * the named reference operations (MulModFast, SquareSmallFast, ...), exact,
//    built on unsigned __int128. Results that are "balanced" are signed and lie
//    in (-p, p); this implementation returns the symmetric representative in
//    [-(p-1)/2, (p-1)/2], so -1 and 1 each have exactly one bit pattern;
//  * VerifyFactor, which confirms a hit with exact arithmetic only.
//
// The hot loops do not use these: they use Montgomery arithmetic
// (Montgomery64.h and the kernels), which is checked against these functions.
#pragma once

#include <cstdint>

namespace zentrova {

using UInt128 = unsigned __int128;

// The one-word arithmetic of the reference operations below (and of the
// first kernels) is exact below this bound.
inline constexpr uint64_t kMaxModulus = uint64_t{1} << 61;

// Every run stops before k reaches this bound: k below 2^63 (with room for
// the generator's groups of four to step past it without overflow), so that
// p = k*2N + 1 stays below 2^94 for every exponent up to N = 2^30.
inline constexpr int64_t kKLimit = INT64_MAX - 255;

// Balanced residue of a*b mod p, for balanced (or any signed) a, b.
int64_t MulModFast(int64_t a, int64_t b, uint64_t p);

// Balanced residue of b*b mod p for a 32-bit base b.
int64_t SquareSmallFast(int32_t b, uint64_t p);

// True when x^(2^n) == -1 (mod p); n >= 1.
bool SquareChainIsMinusOne(int64_t x, int n, uint64_t p);

// base^e mod p by the right-to-left binary method; the last multiply is
// unconditional, so e = 0 yields base (callers never pass 0).
int64_t PowModBalanced(int64_t base, uint64_t e, uint64_t p);

// As PowModBalanced, brought into [0, p).
uint64_t PowModPositive(int64_t base, uint64_t e, uint64_t p);

// x := x^2 mod p exactly, for 0 <= x < p.
void SquareModExact(uint64_t& x, uint64_t p);

// True when b^(2^ln) == -1 (mod p), i.e. p divides b^N + 1. Exact, no floating
// point: one word below 2^64, VerifyFactor128 above. A modulus below 3 never
// verifies.
bool VerifyFactor(int ln, uint64_t b, UInt128 p);

// False when p is b^N + 1 itself (N = 2^ln): a prime b^N + 1 is divisible by
// itself, which is no factor to strike it with. Only small N can get there.
bool IsProperFactor(int ln, uint64_t b, UInt128 p);

// Plain helpers on [0, p) residues.
inline uint64_t MulModExact(uint64_t a, uint64_t b, uint64_t p) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) % p);
}
uint64_t PowModExact(uint64_t base, uint64_t e, uint64_t p);

// The same reference for two-word moduli. Every k below 2^63 for every
// exponent up to N = 2^30 gives p = k*2N + 1 below this bound.
inline constexpr unsigned __int128 kMaxModulus128 = static_cast<unsigned __int128>(1) << 94;

// The full 256-bit product a*b of two words pairs, as its two halves.
struct Product256 {
  unsigned __int128 lo, hi;
};
inline Product256 MulFull128(unsigned __int128 a, unsigned __int128 b) {
  using u128 = unsigned __int128;
  const auto a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
  const auto b0 = static_cast<uint64_t>(b), b1 = static_cast<uint64_t>(b >> 64);
  const u128 ll = static_cast<u128>(a0) * b0;
  const u128 lh = static_cast<u128>(a0) * b1;
  const u128 hl = static_cast<u128>(a1) * b0;
  const u128 hh = static_cast<u128>(a1) * b1;
  const u128 mid = (ll >> 64) + static_cast<uint64_t>(lh) + static_cast<uint64_t>(hl);
  return {(mid << 64) | static_cast<uint64_t>(ll), hh + (lh >> 64) + (hl >> 64) + (mid >> 64)};
}

// The number of zero bits above the top bit of p > 0 in a word pair: how many
// bits a remainder below p can be shifted left by without overflow.
inline int LeadingZeros128(unsigned __int128 p) {
  const auto hi = static_cast<uint64_t>(p >> 64);
  return hi != 0 ? __builtin_clzll(hi) : 64 + __builtin_clzll(static_cast<uint64_t>(p));
}

// x * 2^bits mod p for x < p and 3 <= p < 2^127, by long division that
// shifts in as many bits per step as p leaves free at the top (set-up only,
// never per step). With `quotient` given it also receives the low 128 bits
// of floor(x * 2^bits / p).
unsigned __int128 ShiftMod128(unsigned __int128 x, int bits, unsigned __int128 p,
                              unsigned __int128* quotient = nullptr);

// a*b mod p for any a, b < 2^128 and 3 <= p < 2^127: the full 256-bit product,
// reduced by long division in steps of as many bits as p leaves free at the
// top of a word pair (no Montgomery, no floating point).
unsigned __int128 MulModExact128(unsigned __int128 a, unsigned __int128 b, unsigned __int128 p);

// base^e mod p in [0, p), for 3 <= p < 2^127.
unsigned __int128 PowModExact128(unsigned __int128 base, unsigned __int128 e, unsigned __int128 p);

// True when b^(2^ln) == -1 (mod p). Any b (a raw base or a residue); a modulus
// below 3 or at or above 2^127 never verifies.
bool VerifyFactor128(int ln, unsigned __int128 b, unsigned __int128 p);

// False when p is b^N + 1 itself. Below 2^127 only N <= 64 can get there.
bool IsProperFactor128(int ln, uint64_t b, unsigned __int128 p);

}  // namespace zentrova
