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

bool VerifyFactor(int ln, uint64_t b, uint64_t p) {
  if (p < 3 || ln < 1) return false;
  uint64_t x = b % p;
  for (int i = 0; i < ln; ++i) SquareModExact(x, p);
  return x + 1 == p;
}

bool IsProperFactor(int ln, uint64_t b, uint64_t p) {
  if (b < 2 || ln < 1 || ln > 5) return true;  // b^N >= 2^64 > p for N >= 64
  unsigned __int128 power = b;
  for (int i = 0; i < ln; ++i) {
    if (power >= p) return true;  // b^N is larger still
    power *= power;               // below 2^122: no overflow
  }
  return power + 1 != p;
}

uint64_t PowModExact(uint64_t base, uint64_t e, uint64_t p) {
  uint64_t acc = 1 % p;
  base %= p;
  while (e != 0) {
    if (e & 1) acc = MulModExact(acc, base, p);
    e >>= 1;
    if (e != 0) base = MulModExact(base, base, p);
  }
  return acc;
}

}  // namespace zentrova
