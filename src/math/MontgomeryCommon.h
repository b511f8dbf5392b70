// What the one-word and the two-word Montgomery arithmetic share, written
// once over the word: Montgomery64 and Montgomery128 derive from this base
// (CRTP) and bring their own p, Mul and Square; everything here is the same
// arithmetic on either word.
#pragma once

#include <cstdint>

namespace zentrova {

template <typename Derived, typename Word>
struct MontgomeryCommon {
  // -p^-1 mod 2^64 for the odd low word of p: Newton's iteration doubles the
  // bits that are right, from the 3 that p itself gets right.
  static uint64_t NegInverse(uint64_t p0) {
    uint64_t inv = p0;
    for (int i = 0; i < 5; ++i) inv *= 2 - p0 * inv;
    return ~inv + 1;
  }

  // From [0, 2p) to [0, p).
  Word Normalize(Word a) const {
    const Word p = Self().p;
    return a >= p ? a - p : a;
  }

  // R mod p: the Montgomery form of 1.
  Word One() const {
    const Word p = Self().p;
    return (0 - p) % p;
  }

  // The standard residue in [0, p) of a Montgomery form.
  Word FromMontgomery(Word a) const { return Normalize(Self().Mul(a, 1)); }

  // The residue that M(b) must equal (after Normalize) for b^(2^ln) == -1.
  Word MinusOneTarget(int ln) const {
    Word x = 1;
    for (int i = 0; i < ln; ++i) x = Self().Square(x);
    x = Normalize(x);
    return x == 0 ? 0 : Self().p - x;
  }

 private:
  const Derived& Self() const { return static_cast<const Derived&>(*this); }
};

}  // namespace zentrova
