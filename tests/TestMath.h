// Independent 128-bit arithmetic for the tests' known answers.
#pragma once

#include <cstdint>

namespace zentrova::test {

inline uint64_t MulMod128(uint64_t a, uint64_t b, uint64_t m) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

inline uint64_t PowMod128(uint64_t b, uint64_t e, uint64_t m) {
  unsigned __int128 r = 1 % m, x = b % m;
  while (e) {
    if (e & 1) r = r * x % m;
    x = x * x % m;
    e >>= 1;
  }
  return static_cast<uint64_t>(r);
}

// Deterministic Miller-Rabin for 64-bit n (the first twelve primes as bases
// cover every n below 3.3e24).
inline bool IsPrime(uint64_t n) {
  static constexpr uint64_t kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  if (n < 2) return false;
  for (uint64_t q : kBases) {
    if (n % q == 0) return n == q;
  }
  uint64_t d = n - 1;
  int s = 0;
  while ((d & 1) == 0) {
    d >>= 1;
    ++s;
  }
  for (uint64_t a : kBases) {
    uint64_t x = PowMod128(a, d, n);
    if (x == 1 || x == n - 1) continue;
    bool witness = true;
    for (int i = 1; i < s && witness; ++i) {
      x = MulMod128(x, x, n);
      if (x == n - 1) witness = false;
    }
    if (witness) return false;
  }
  return true;
}

}  // namespace zentrova::test
