// Exact reference arithmetic; see ModArith.h for the contracts.
#include "math/ModArith.h"

namespace zentrova {

namespace {

// The symmetric representative of v mod p: in [-(p-1)/2, (p-1)/2] (p odd).
int64_t Balance(__int128 v, uint64_t p) {
  __int128 r = v % static_cast<__int128>(p);  // in (-p, p), sign of v
  const __int128 half = static_cast<__int128>(p / 2);
  if (r > half) r -= p;
  if (r < -half) r += p;
  return static_cast<int64_t>(r);
}

}  // namespace

int64_t MulModFast(int64_t a, int64_t b, uint64_t p) {
  return Balance(static_cast<__int128>(a) * b, p);
}

int64_t SquareSmallFast(int32_t b, uint64_t p) {
  return Balance(static_cast<__int128>(b) * b, p);
}

bool SquareChainIsMinusOne(int64_t x, int n, uint64_t p) {
  x = Balance(x, p);
  do {
    x = MulModFast(x, x, p);
  } while (--n > 0);
  return x == -1;
}

int64_t PowModBalanced(int64_t base, uint64_t e, uint64_t p) {
  int64_t acc = 1;
  base = Balance(base, p);
  while (e > 1) {
    if (e & 1) acc = MulModFast(acc, base, p);
    e >>= 1;
    base = MulModFast(base, base, p);
  }
  return MulModFast(acc, base, p);
}

uint64_t PowModPositive(int64_t base, uint64_t e, uint64_t p) {
  const int64_t r = PowModBalanced(base, e, p);
  return r < 0 ? static_cast<uint64_t>(r) + p : static_cast<uint64_t>(r);
}

void SquareModExact(uint64_t& x, uint64_t p) { x = MulModExact(x, x, p); }

bool VerifyFactor(int ln, uint64_t b, UInt128 wideP) {
  if ((wideP >> 64) != 0) return VerifyFactor128(ln, b, wideP);
  const auto p = static_cast<uint64_t>(wideP);
  if (p < 3 || ln < 1) return false;
  uint64_t x = b % p;
  for (int i = 0; i < ln; ++i) SquareModExact(x, p);
  return x + 1 == p;
}

bool IsProperFactor(int ln, uint64_t b, UInt128 wideP) {
  if ((wideP >> 64) != 0) return IsProperFactor128(ln, b, wideP);
  const auto p = static_cast<uint64_t>(wideP);
  if (b < 2 || ln < 1 || ln > 5) return true;  // b^N >= 2^64 > p for N >= 64
  unsigned __int128 power = b;
  for (int i = 0; i < ln; ++i) {
    if (power >= p) return true;  // b^N is larger still
    power *= power;               // below 2^122: no overflow
  }
  return power + 1 != p;
}

namespace {

using u128 = unsigned __int128;

// base^e mod p in [0, p), right to left, in either word's exact product.
template <typename Word, Word (*MulMod)(Word, Word, Word)>
Word PowMod(Word base, Word e, Word p) {
  Word acc = 1 % p;
  base %= p;
  while (e != 0) {
    if (e & 1) acc = MulMod(acc, base, p);
    e >>= 1;
    if (e != 0) base = MulMod(base, base, p);
  }
  return acc;
}

// Bits [pos, pos + count) of the four-word number w (least significant word
// first), count <= 64.
uint64_t BitsAt(const uint64_t* w, int pos, int count) {
  const int i = pos / 64;
  const int off = pos % 64;
  uint64_t v = w[i] >> off;
  if (off != 0 && i + 1 < 4) v |= w[i + 1] << (64 - off);
  return count == 64 ? v : v & ((uint64_t{1} << count) - 1);
}

// The four words of w mod p. The remainder r < p < 2^(128 - room) takes
// `room` more bits from the top of w per step and is divided again.
u128 Mod256(const uint64_t* w, u128 p) {
  const int room = LeadingZeros128(p);
  u128 r = 0;
  for (int pos = 256; pos > 0;) {
    int count = room < 64 ? room : 64;
    if (count > pos) count = pos;
    pos -= count;
    r = ((r << count) | BitsAt(w, pos, count)) % p;
  }
  return r;
}

}  // namespace

uint64_t PowModExact(uint64_t base, uint64_t e, uint64_t p) {
  return PowMod<uint64_t, &MulModExact>(base, e, p);
}

u128 ShiftMod128(u128 x, int bits, u128 p, u128* quotient) {
  const int room = LeadingZeros128(p);
  u128 q = 0;
  u128 r = x;
  for (int left = bits; left > 0;) {
    const int s = room < left ? room : left;
    const u128 shifted = r << s;
    if (quotient != nullptr) q = (q << s) | (shifted / p);
    r = shifted % p;
    left -= s;
  }
  if (quotient != nullptr) *quotient = q;
  return r;
}

u128 MulModExact128(u128 a, u128 b, u128 p) {
  const Product256 t = MulFull128(a, b);
  const uint64_t w[4] = {static_cast<uint64_t>(t.lo), static_cast<uint64_t>(t.lo >> 64),
                         static_cast<uint64_t>(t.hi), static_cast<uint64_t>(t.hi >> 64)};
  return Mod256(w, p);
}

u128 PowModExact128(u128 base, u128 e, u128 p) { return PowMod<u128, &MulModExact128>(base, e, p); }

bool VerifyFactor128(int ln, u128 b, u128 p) {
  if (p < 3 || (p >> 127) != 0 || ln < 1) return false;
  u128 x = b % p;
  for (int i = 0; i < ln; ++i) x = MulModExact128(x, x, p);
  return x + 1 == p;
}

bool IsProperFactor128(int ln, uint64_t b, u128 p) {
  if (b < 2 || ln < 1 || ln > 6) return true;  // b^N >= 2^128 > p for N >= 128
  u128 power = b;
  for (int i = 0; i < ln; ++i) {
    if (power >= p || (power >> 64) != 0) return true;  // b^N >= p, or its square passes 2^128
    power *= power;
  }
  return power + 1 != p;
}

}  // namespace zentrova
