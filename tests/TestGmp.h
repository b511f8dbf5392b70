// GMP as the independent oracle of the two-word arithmetic's tests: moduli,
// powers and primality on numbers up to 2^128 and beyond.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <random>
#include <string>

namespace zentrova::test {

using u128 = unsigned __int128;

// An mpz_t that frees itself (limbs are 64 bits on the platforms we build for).
class Mpz {
 public:
  Mpz() { mpz_init(m_v); }
  explicit Mpz(u128 x) {
    mpz_init_set_ui(m_v, static_cast<unsigned long>(x >> 64));
    mpz_mul_2exp(m_v, m_v, 64);
    mpz_add_ui(m_v, m_v, static_cast<unsigned long>(static_cast<uint64_t>(x)));
  }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  ~Mpz() { mpz_clear(m_v); }
  mpz_ptr get() { return m_v; }
  mpz_srcptr get() const { return m_v; }
  // The value, which must be below 2^128.
  u128 Value() const {
    return (static_cast<u128>(mpz_getlimbn(m_v, 1)) << 64) | mpz_getlimbn(m_v, 0);
  }

 private:
  mpz_t m_v;
};

inline u128 GmpPowMod(u128 b, u128 e, u128 p) {
  Mpz r, bb(b), ee(e), pp(p);
  mpz_powm(r.get(), bb.get(), ee.get(), pp.get());
  return r.Value();
}

inline u128 GmpMulMod(u128 a, u128 b, u128 p) {
  Mpz r, aa(a), bb(b), pp(p);
  mpz_mul(r.get(), aa.get(), bb.get());
  mpz_mod(r.get(), r.get(), pp.get());
  return r.Value();
}

// b^(2^ln) == -1 (mod p).
inline bool GmpIsRoot(u128 b, int ln, u128 p) {
  return GmpPowMod(b, static_cast<u128>(1) << ln, p) == p - 1;
}

inline bool GmpIsPrime(u128 p) {
  Mpz pp(p);
  return mpz_probab_prime_p(pp.get(), 30) != 0;
}

inline std::string Decimal(u128 x) {
  Mpz v(x);
  char text[48];  // 2^128 has 39 digits
  return mpz_get_str(text, 10, v.get());
}

// Uniform in [lo, hi).
inline u128 RandomU128(std::mt19937_64& rng, u128 lo, u128 hi) {
  const u128 span = hi - lo;
  const u128 r = (static_cast<u128>(rng()) << 64) | rng();
  return lo + r % span;
}

}  // namespace zentrova::test
