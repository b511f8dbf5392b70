// The exact reference arithmetic (ModArith.h) and the Montgomery arithmetic of
// the hot loops (Montgomery64.h), both checked against plain unsigned __int128
// arithmetic written out here, on random odd moduli below 2^61.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
#include "math/ModArith.h"
#include "math/Montgomery64.h"

using namespace zentrova;

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kTop = uint64_t{1} << 61;

uint64_t RefMul(uint64_t a, uint64_t b, uint64_t m) { return test::MulMod128(a, b, m); }
uint64_t RefPow(uint64_t b, uint64_t e, uint64_t m) { return test::PowMod128(b, e, m); }

// a mod m in [0, m) for any signed a.
uint64_t RefMod(__int128 a, uint64_t m) {
  __int128 r = a % static_cast<__int128>(m);
  if (r < 0) r += m;
  return static_cast<uint64_t>(r);
}

// x * 2^64 mod m: the Montgomery form of x.
uint64_t ToMont(uint64_t x, uint64_t m) {
  return static_cast<uint64_t>((static_cast<u128>(x % m) << 64) % m);
}

using test::IsPrime;

uint64_t RandomIn(std::mt19937_64& rng, uint64_t lo, uint64_t hi) {  // [lo, hi)
  return std::uniform_int_distribution<uint64_t>(lo, hi - 1)(rng);
}

// A random odd modulus in [3, 2^61) whose size is spread evenly over the bit
// lengths, so that small and large moduli are both common.
uint64_t RandomOddModulus(std::mt19937_64& rng) {
  const int bits = static_cast<int>(RandomIn(rng, 2, 62));
  const uint64_t lo = std::max<uint64_t>(uint64_t{1} << (bits - 1), 3);
  const uint64_t hi = uint64_t{1} << bits;
  uint64_t p = RandomIn(rng, lo, hi) | 1;
  if (p >= hi) p -= 2;
  return p;
}

// A prime p = k*2N + 1 in [lo, hi).
uint64_t RandomPrimeOfForm(std::mt19937_64& rng, uint64_t twoN, uint64_t lo, uint64_t hi) {
  const uint64_t kMin = std::max<uint64_t>(1, (lo - 1 + twoN - 1) / twoN);
  const uint64_t kMax = (hi - 2) / twoN;
  EXPECT_LE(kMin, kMax);
  for (;;) {
    const uint64_t p = RandomIn(rng, kMin, kMax + 1) * twoN + 1;
    if (IsPrime(p)) return p;
  }
}

// For a prime p = k*2N + 1, an r with r^N == -1 (mod p): x^((p-1)/2N) for a
// random x is one whenever x is a non-residue.
uint64_t FindRoot(std::mt19937_64& rng, uint64_t p, uint64_t n) {
  for (;;) {
    const uint64_t r = RefPow(RandomIn(rng, 2, p - 1), (p - 1) / (2 * n), p);
    if (RefPow(r, n, p) == p - 1) return r;
  }
}

// The balanced contract: the symmetric representative, congruent to `want`.
void ExpectBalanced(int64_t r, uint64_t p, uint64_t want) {
  const int64_t half = static_cast<int64_t>((p - 1) / 2);
  EXPECT_LE(r, half) << "p=" << p;
  EXPECT_GE(r, -half) << "p=" << p;
  EXPECT_EQ(RefMod(r, p), want) << "p=" << p << " r=" << r;
}

int64_t RandomSigned(std::mt19937_64& rng) { return static_cast<int64_t>(rng()); }

int64_t RandomBalanced(std::mt19937_64& rng, uint64_t p) {
  const int64_t half = static_cast<int64_t>((p - 1) / 2);
  return std::uniform_int_distribution<int64_t>(-half, half)(rng);
}

// Odd moduli right below 2^61: the largest the sieve ever uses.
std::vector<uint64_t> ModuliBelowTop(std::mt19937_64& rng) {
  std::vector<uint64_t> out = {kTop - 1, kTop - 3, kTop - 5};  // 2^61 - 1 is prime
  for (int i = 0; i < 8; ++i) out.push_back(RandomIn(rng, kTop - (uint64_t{1} << 20), kTop) | 1);
  return out;
}

// ---------------------------------------------------------------------------

TEST(ModArith, MulModFastMatchesWideArithmetic) {
  std::mt19937_64 rng(test::TestSeed());
  for (int i = 0; i < 20000; ++i) {
    const uint64_t p = RandomOddModulus(rng);
    // Balanced inputs (the usual case) and arbitrary signed ones.
    const int64_t a = (i % 3 == 0) ? RandomSigned(rng) : RandomBalanced(rng, p);
    const int64_t b = (i % 5 == 0) ? RandomSigned(rng) : RandomBalanced(rng, p);
    const uint64_t want = RefMul(RefMod(a, p), RefMod(b, p), p);
    ExpectBalanced(MulModFast(a, b, p), p, want);
  }
  // The signed extremes.
  const int64_t lo = std::numeric_limits<int64_t>::min();
  const int64_t hi = std::numeric_limits<int64_t>::max();
  for (uint64_t p : {uint64_t{3}, uint64_t{641}, kTop - 1}) {
    for (int64_t a : {lo, hi, int64_t{-1}, int64_t{0}}) {
      for (int64_t b : {lo, hi, int64_t{-1}, int64_t{1}}) {
        ExpectBalanced(MulModFast(a, b, p), p, RefMul(RefMod(a, p), RefMod(b, p), p));
      }
    }
  }
}

TEST(ModArith, ResiduesNearTwoThirdsAndHalfOfLargeModuli) {
  std::mt19937_64 rng(test::TestSeed());
  for (uint64_t p : ModuliBelowTop(rng)) {
    const int64_t half = static_cast<int64_t>((p - 1) / 2);
    const int64_t twoThirds = static_cast<int64_t>(2 * (p / 3));
    std::vector<int64_t> values = {1, -1, 2, -2};
    for (int64_t d = -3; d <= 3; ++d) {
      values.push_back(twoThirds + d);
      values.push_back(-twoThirds + d);
      values.push_back(half + d);
      values.push_back(-half + d);
      values.push_back(static_cast<int64_t>(p) + d);
      values.push_back(-static_cast<int64_t>(p) + d);
    }
    for (int64_t a : values) {
      for (int64_t b : values) {
        ExpectBalanced(MulModFast(a, b, p), p, RefMul(RefMod(a, p), RefMod(b, p), p));
      }
      // Squaring a value at +-(p-1)/2 lands near p^2/4, the largest product.
      uint64_t x = RefMod(a, p);
      SquareModExact(x, p);
      EXPECT_EQ(x, RefMul(RefMod(a, p), RefMod(a, p), p));
    }
    // +-1 have exactly one representation each.
    EXPECT_EQ(MulModFast(-1, 1, p), -1);
    EXPECT_EQ(MulModFast(static_cast<int64_t>(p - 1), 1, p), -1);
    EXPECT_EQ(MulModFast(-1, -1, p), 1);
    EXPECT_EQ(MulModFast(half, 2, p), -1);  // 2 * (p-1)/2 = p - 1
    EXPECT_EQ(MulModFast(half, 1, p), half);
    EXPECT_EQ(MulModFast(-half, 1, p), -half);
    EXPECT_EQ(MulModFast(half + 1, 1, p), -half);
  }
}

TEST(ModArith, SquareSmallFastMatchesWideArithmetic) {
  std::mt19937_64 rng(test::TestSeed());
  std::vector<int32_t> bases = {0, 1, -1, 2, std::numeric_limits<int32_t>::max(),
                                std::numeric_limits<int32_t>::min()};
  for (int i = 0; i < 200; ++i) bases.push_back(static_cast<int32_t>(rng()));
  std::vector<uint64_t> moduli = ModuliBelowTop(rng);
  for (int i = 0; i < 40; ++i) moduli.push_back(RandomOddModulus(rng));
  for (uint64_t p : {uint64_t{3}, uint64_t{5}, uint64_t{65537}}) moduli.push_back(p);
  for (uint64_t p : moduli) {
    for (int32_t b : bases) {
      const uint64_t r = RefMod(b, p);
      ExpectBalanced(SquareSmallFast(b, p), p, RefMul(r, r, p));
    }
  }
}

TEST(ModArith, PowersMatchWideArithmeticAndStayInRange) {
  std::mt19937_64 rng(test::TestSeed());
  for (int i = 0; i < 4000; ++i) {
    const uint64_t p = (i % 10 == 0) ? ModuliBelowTop(rng)[i % 11] : RandomOddModulus(rng);
    const int64_t base = (i % 2 == 0) ? RandomSigned(rng) : RandomBalanced(rng, p);
    uint64_t e = rng() >> RandomIn(rng, 0, 64);
    if (e == 0) e = 1;  // e = 0 is outside the contract
    const uint64_t want = RefPow(RefMod(base, p), e, p);

    const int64_t balanced = PowModBalanced(base, e, p);
    ExpectBalanced(balanced, p, want);
    EXPECT_GT(balanced, -static_cast<int64_t>(p));
    EXPECT_LT(balanced, static_cast<int64_t>(p));

    const uint64_t positive = PowModPositive(base, e, p);
    EXPECT_EQ(positive, want) << "p=" << p << " base=" << base << " e=" << e;
    EXPECT_LT(positive, p);
    EXPECT_EQ(PowModExact(RefMod(base, p), e, p), want);
  }
  // Exponent 1 brings the base into range; Fermat's little theorem on 2^61 - 1.
  EXPECT_EQ(PowModPositive(-1, 1, 641), 640u);
  EXPECT_EQ(PowModBalanced(-1, 1, 641), -1);
  EXPECT_EQ(PowModPositive(-5, 3, 641), 641u - 125u);
  EXPECT_EQ(PowModPositive(-123456789, kTop - 2, kTop - 1), 1u);
  EXPECT_EQ(PowModBalanced(3, (kTop - 2) / 2, kTop - 1), -1);  // 3 is a non-residue
}

TEST(ModArith, SquareChainIsMinusOneAgainstWidePowers) {
  std::mt19937_64 rng(test::TestSeed());
  int positives = 0;
  for (int i = 0; i < 3000; ++i) {
    const int ln = static_cast<int>(RandomIn(rng, 1, 25));
    const uint64_t n = uint64_t{1} << ln;
    int64_t x = 0;
    uint64_t p = 0;
    if (i % 2 == 0) {
      // A true root of x^N = -1 modulo a prime of the factor form, given in
      // any of its signed representations.
      p = RandomPrimeOfForm(rng, 2 * n, 2 * n + 1, kTop);
      const uint64_t r = FindRoot(rng, p, n);
      switch (i % 6) {
        case 0: x = static_cast<int64_t>(r); break;
        case 2: x = static_cast<int64_t>(r) - static_cast<int64_t>(p); break;
        default: x = static_cast<int64_t>(r) + static_cast<int64_t>(p); break;
      }
    } else {
      p = RandomOddModulus(rng);
      x = RandomSigned(rng);
    }
    const bool want = RefPow(RefMod(x, p), n, p) == p - 1;
    EXPECT_EQ(SquareChainIsMinusOne(x, ln, p), want) << "x=" << x << " ln=" << ln << " p=" << p;
    if (want) {
      ++positives;
      // One squaring more gives +1, one fewer a square root of -1.
      EXPECT_FALSE(SquareChainIsMinusOne(x, ln + 1, p));
      if (ln > 1) {
        EXPECT_FALSE(SquareChainIsMinusOne(x, ln - 1, p));
      }
    }
  }
  EXPECT_GE(positives, 1500);
  // -1 itself: (-1)^2 = 1, so no chain of it ends at -1.
  EXPECT_FALSE(SquareChainIsMinusOne(-1, 1, 641));
  // 2^(2^5) == -1 mod 641.
  EXPECT_TRUE(SquareChainIsMinusOne(2, 5, 641));
  EXPECT_FALSE(SquareChainIsMinusOne(2, 4, 641));
  EXPECT_FALSE(SquareChainIsMinusOne(2, 6, 641));
}

// Thousands of squarings in a row: the exact, the balanced and the Montgomery
// chains must stay on the same residue at every step.
TEST(ModArith, LongSquaringChainsAgree) {
  std::mt19937_64 rng(test::TestSeed());
  std::vector<uint64_t> moduli = ModuliBelowTop(rng);
  for (int i = 0; i < 6; ++i) moduli.push_back(RandomOddModulus(rng));
  moduli.push_back(3);
  moduli.push_back(641);
  for (uint64_t p : moduli) {
    const Montgomery64 mont(p);
    const uint64_t x0 = RandomIn(rng, 0, p);
    uint64_t ref = x0;
    uint64_t exact = x0;
    int64_t balanced = static_cast<int64_t>(x0);
    uint64_t m = ToMont(x0, p);
    for (int step = 1; step <= 5000; ++step) {
      ref = RefMul(ref, ref, p);
      SquareModExact(exact, p);
      balanced = MulModFast(balanced, balanced, p);
      m = mont.Square(m);
      ASSERT_EQ(exact, ref) << "p=" << p << " step " << step;
      ASSERT_EQ(RefMod(balanced, p), ref) << "p=" << p << " step " << step;
      ASSERT_LT(m, 2 * p) << "lazy Montgomery value left [0, 2p): p=" << p << " step " << step;
      ASSERT_EQ(mont.Normalize(m), ToMont(ref, p)) << "p=" << p << " step " << step;
    }
  }
}

// A chain that does end at -1 after many steps: p = k*2^41 + 1 has elements of
// order 2^41, whose 2^40-th power is -1.
TEST(ModArith, LongChainEndingAtMinusOne) {
  std::mt19937_64 rng(test::TestSeed());
  const uint64_t n = uint64_t{1} << 40;
  const uint64_t p = RandomPrimeOfForm(rng, 2 * n, uint64_t{1} << 58, kTop);
  const uint64_t r = FindRoot(rng, p, n);
  EXPECT_TRUE(SquareChainIsMinusOne(static_cast<int64_t>(r), 40, p));
  EXPECT_FALSE(SquareChainIsMinusOne(static_cast<int64_t>(r), 39, p));
  EXPECT_FALSE(SquareChainIsMinusOne(static_cast<int64_t>(r), 41, p));
  EXPECT_TRUE(VerifyFactor(40, r, p));
  EXPECT_FALSE(VerifyFactor(39, r, p));
  uint64_t x = r;
  for (int i = 0; i < 40; ++i) SquareModExact(x, p);
  EXPECT_EQ(x, p - 1);
  for (int i = 0; i < 3000; ++i) SquareModExact(x, p);
  EXPECT_EQ(x, 1u);
}

// ---------------------------------------------------------------------------
// Montgomery64

TEST(Montgomery64, ConstantsAndProductsAgainstWideArithmetic) {
  std::mt19937_64 rng(test::TestSeed());
  std::vector<uint64_t> moduli = ModuliBelowTop(rng);
  for (int i = 0; i < 300; ++i) moduli.push_back(RandomOddModulus(rng));
  for (uint64_t p : {uint64_t{3}, uint64_t{5}, uint64_t{7}, uint64_t{641}}) moduli.push_back(p);
  for (uint64_t p : moduli) {
    const Montgomery64 mont(p);
    EXPECT_EQ(mont.p, p);
    EXPECT_EQ(p * mont.pNegInv, ~uint64_t{0}) << "p * pNegInv must be -1 mod 2^64, p=" << p;
    EXPECT_EQ(mont.One(), ToMont(1, p));
    for (int i = 0; i < 50; ++i) {
      // Lazy inputs anywhere in [0, 2p).
      const uint64_t a = RandomIn(rng, 0, 2 * p);
      const uint64_t b = (i == 0) ? 2 * p - 1 : RandomIn(rng, 0, 2 * p);
      const uint64_t c = mont.Mul(a, b);
      EXPECT_LT(c, 2 * p) << "p=" << p;
      // c * 2^64 == a * b (mod p).
      EXPECT_EQ(ToMont(c, p), RefMul(a % p, b % p, p)) << "p=" << p << " a=" << a << " b=" << b;
      EXPECT_EQ(mont.Normalize(c), c % p);
    }
  }
}

// A raw base below 2^32 is fed into the chain directly even when it exceeds
// 2p; the first square must still come out below 2p and be b*b/R.
TEST(Montgomery64, RawBaseBelow2To32) {
  std::mt19937_64 rng(test::TestSeed());
  for (int i = 0; i < 5000; ++i) {
    const uint64_t p = (i % 2 == 0) ? (RandomIn(rng, 3, 1 << 20) | 1) : RandomOddModulus(rng);
    const uint64_t b = (i % 7 == 0) ? 0xffffffffu : RandomIn(rng, 0, uint64_t{1} << 32);
    const Montgomery64 mont(p);
    const uint64_t s = mont.Square(b);
    EXPECT_LT(s, 2 * p) << "p=" << p << " b=" << b;
    EXPECT_EQ(ToMont(s, p), RefMul(b % p, b % p, p)) << "p=" << p << " b=" << b;
  }
}

// ln squarings of the plain base, normalized, equal MinusOneTarget(ln)
// exactly when b^(2^ln) == -1 (mod p).
uint64_t MontChain(const Montgomery64& mont, uint64_t b, int ln) {
  uint64_t x = b;
  for (int i = 0; i < ln; ++i) x = mont.Square(x);
  return mont.Normalize(x);
}

TEST(Montgomery64, MinusOneTargetOnTrueRootsBelow2To31) {
  std::mt19937_64 rng(test::TestSeed());
  for (int ln = 1; ln <= 22; ++ln) {
    const uint64_t n = uint64_t{1} << ln;
    for (int rep = 0; rep < 4; ++rep) {
      const uint64_t p = RandomPrimeOfForm(rng, 2 * n, 2 * n + 1, uint64_t{1} << 31);
      const Montgomery64 mont(p);
      const uint64_t target = mont.MinusOneTarget(ln);
      EXPECT_LT(target, p);
      const uint64_t r = FindRoot(rng, p, n);
      // The root itself, and the same residue plus multiples of p while it
      // stays a 32-bit raw base (then usually above 2p).
      std::vector<uint64_t> bases = {r};
      for (uint64_t b = r + p; b < (uint64_t{1} << 32) && bases.size() < 6; b += p) {
        bases.push_back(b);
      }
      bases.push_back(r + ((uint64_t{1} << 32) - 1 - r) / p * p);
      for (uint64_t b : bases) {
        EXPECT_EQ(MontChain(mont, b, ln), target) << "p=" << p << " b=" << b << " ln=" << ln;
      }
      // Its negative is a root as well; its square is not (it is a root for N/2).
      EXPECT_EQ(MontChain(mont, p - r, ln), target);
      EXPECT_NE(MontChain(mont, RefMul(r, r, p), ln), target);
      EXPECT_NE(MontChain(mont, r, ln + 1), mont.MinusOneTarget(ln + 1));
    }
  }
}

TEST(Montgomery64, MinusOneTargetOnTrueRootsUpTo2To61) {
  std::mt19937_64 rng(test::TestSeed());
  for (int i = 0; i < 300; ++i) {
    const int ln = static_cast<int>(RandomIn(rng, 1, 41));
    const uint64_t n = uint64_t{1} << ln;
    const uint64_t lo = (i % 3 == 0) ? kTop - (kTop >> 4) : 2 * n + 1;
    const uint64_t p = RandomPrimeOfForm(rng, 2 * n, lo, kTop);
    const Montgomery64 mont(p);
    const uint64_t r = FindRoot(rng, p, n);
    EXPECT_EQ(MontChain(mont, r, ln), mont.MinusOneTarget(ln)) << "p=" << p << " ln=" << ln;
    EXPECT_EQ(MontChain(mont, r + p, ln), mont.MinusOneTarget(ln)) << "lazy input in [p, 2p)";
    EXPECT_NE(MontChain(mont, r, ln + 1), mont.MinusOneTarget(ln + 1));
  }
}

// The equivalence in both directions on arbitrary odd moduli and bases, where
// nearly all answers are "no": the target must not match by accident.
TEST(Montgomery64, MinusOneTargetMatchesOnlyRoots) {
  std::mt19937_64 rng(test::TestSeed());
  int positives = 0;
  for (int i = 0; i < 20000; ++i) {
    const int ln = static_cast<int>(RandomIn(rng, 1, 21));
    const uint64_t n = uint64_t{1} << ln;
    uint64_t p = 0;
    uint64_t b = 0;
    if (i % 4 == 0) {
      // Half of these get a true root as base.
      p = RandomPrimeOfForm(rng, 2 * n, 2 * n + 1, std::max<uint64_t>(uint64_t{1} << 24, n << 10));
      b = (i % 8 == 0) ? FindRoot(rng, p, n) : RandomIn(rng, 0, uint64_t{1} << 32);
    } else if (i % 4 == 1) {
      p = RandomIn(rng, 3, 1 << 12) | 1;  // tiny moduli: raw bases far above 2p
      b = RandomIn(rng, 0, uint64_t{1} << 32);
    } else {
      p = RandomOddModulus(rng);
      b = (i % 2 == 0) ? RandomIn(rng, 0, uint64_t{1} << 32) : RandomIn(rng, 0, p);
    }
    const Montgomery64 mont(p);
    const bool want = RefPow(b % p, n, p) == p - 1;
    positives += want;
    EXPECT_EQ(MontChain(mont, b, ln) == mont.MinusOneTarget(ln), want)
        << "p=" << p << " b=" << b << " ln=" << ln;
  }
  EXPECT_GT(positives, 2000);
}

// ---------------------------------------------------------------------------
// VerifyFactor

TEST(VerifyFactor, ExhaustiveSmallCasesAgainstDivisibility) {
  // b^N + 1 itself fits in 128 bits for b <= 200 and N <= 16: divisibility is
  // then a plain remainder.
  int trueCount = 0;
  for (uint64_t b = 0; b <= 200; ++b) {
    u128 power = b;
    for (int ln = 1; ln <= 4; ++ln) {
      power *= power;  // b^(2^ln)
      const u128 value = power + 1;
      for (uint64_t p = 0; p <= 700; ++p) {
        const bool want = p >= 3 && value % p == 0;
        trueCount += want;
        ASSERT_EQ(VerifyFactor(ln, b, p), want) << "b=" << b << " ln=" << ln << " p=" << p;
      }
    }
  }
  EXPECT_GT(trueCount, 1000);
}

TEST(VerifyFactor, KnownFactorsOfFermatNumbers) {
  // 2^32 + 1 = 641 * 6700417 and 2^64 + 1 = 274177 * 67280421310721.
  ASSERT_EQ(u128{641} * 6700417, (u128{1} << 32) + 1);
  ASSERT_EQ(u128{274177} * 67280421310721ull, (u128{1} << 64) + 1);
  EXPECT_TRUE(VerifyFactor(5, 2, 641));
  EXPECT_TRUE(VerifyFactor(5, 2, 6700417));
  EXPECT_TRUE(VerifyFactor(6, 2, 274177));
  EXPECT_TRUE(VerifyFactor(6, 2, 67280421310721ull));
  EXPECT_FALSE(VerifyFactor(4, 2, 641));
  EXPECT_FALSE(VerifyFactor(6, 2, 641));
  EXPECT_FALSE(VerifyFactor(5, 2, 643));
  // 2^(2^ln) + 1 is prime for ln <= 4, so it divides itself only.
  EXPECT_TRUE(VerifyFactor(4, 2, 65537));
  EXPECT_TRUE(VerifyFactor(3, 4, 65537));  // 4^8 = 2^16
  // 10^4 + 1 = 73 * 137.
  EXPECT_TRUE(VerifyFactor(2, 10, 73));
  EXPECT_TRUE(VerifyFactor(2, 10, 137));
}

// Divisors of b^N + 1 for larger N found by brute force over p = k*2N + 1.
TEST(VerifyFactor, BruteForceDivisorsOfLargerExponents) {
  int found = 0;
  for (uint64_t b = 2; b <= 12; ++b) {
    for (int ln = 5; ln <= 12; ++ln) {
      const uint64_t twoN = uint64_t{2} << ln;
      for (uint64_t p = twoN + 1; p < (uint64_t{1} << 20); p += twoN) {
        // b^N mod p by ln exact squarings of b.
        uint64_t x = b % p;
        for (int i = 0; i < ln; ++i) x = RefMul(x, x, p);
        const bool want = x == p - 1;
        found += want;
        ASSERT_EQ(VerifyFactor(ln, b, p), want) << "b=" << b << " ln=" << ln << " p=" << p;
      }
    }
  }
  EXPECT_GT(found, 20);
}

TEST(VerifyFactor, EdgeCases) {
  std::mt19937_64 rng(test::TestSeed());
  // Moduli below 3 never verify, whatever the base: 1^N + 1 = 2 is divisible
  // by 1 and 2, but those are not factor candidates.
  for (uint64_t p : {uint64_t{0}, uint64_t{1}, uint64_t{2}}) {
    for (uint64_t b : {uint64_t{0}, uint64_t{1}, uint64_t{3}, uint64_t{12345}}) {
      for (int ln = 1; ln <= 6; ++ln) EXPECT_FALSE(VerifyFactor(ln, b, p)) << "p=" << p;
    }
  }
  std::vector<uint64_t> moduli = ModuliBelowTop(rng);
  for (int i = 0; i < 200; ++i) moduli.push_back(RandomOddModulus(rng));
  for (uint64_t p : moduli) {
    for (int ln = 1; ln <= 40; ln += 3) {
      // b = p - 1 == -1: its square is 1, and 1 stays 1.
      EXPECT_FALSE(VerifyFactor(ln, p - 1, p)) << "p=" << p;
      EXPECT_FALSE(VerifyFactor(ln, p, p));
      EXPECT_FALSE(VerifyFactor(ln, 1, p));
    }
  }
  // A base at or above p is reduced first, up to the largest 64-bit base.
  for (int i = 0; i < 300; ++i) {
    const int ln = static_cast<int>(RandomIn(rng, 1, (i % 2) ? 30 : 20));
    const uint64_t n = uint64_t{1} << ln;
    const uint64_t p = RandomPrimeOfForm(rng, 2 * n, 2 * n + 1, (i % 2) ? kTop : (1u << 31));
    const uint64_t r = FindRoot(rng, p, n);
    const uint64_t maxMultiple = (~uint64_t{0} - r) / p;
    const uint64_t b = r + p * RandomIn(rng, 1, maxMultiple + 1);
    EXPECT_TRUE(VerifyFactor(ln, r, p)) << "p=" << p << " r=" << r;
    EXPECT_TRUE(VerifyFactor(ln, b, p)) << "p=" << p << " b=" << b;
    EXPECT_FALSE(VerifyFactor(ln + 1, b, p));
    const uint64_t other = rng();
    EXPECT_EQ(VerifyFactor(ln, other, p), RefPow(other % p, n, p) == p - 1);
  }
  const uint64_t maxBase = ~uint64_t{0};
  for (uint64_t p : moduli) {
    EXPECT_EQ(VerifyFactor(3, maxBase, p), RefPow(maxBase % p, 8, p) == p - 1) << "p=" << p;
  }
}

TEST(IsProperFactor, OnlyBToTheNPlusOneItselfIsRefused) {
  // Every b^N + 1 below 2^61, for N = 2 .. 32, is refused as its own factor;
  // its neighbours, and every modulus for N >= 64, are not.
  int refused = 0;
  for (int ln = 1; ln <= 7; ++ln) {
    for (uint64_t b = 0; b <= 3000; ++b) {
      unsigned __int128 power = 1;
      for (int i = 0; i < (1 << ln) && power < (static_cast<unsigned __int128>(1) << 62); ++i) {
        power *= b;
      }
      const unsigned __int128 value = power + 1;
      if (value >= (static_cast<unsigned __int128>(1) << 61)) {
        EXPECT_TRUE(IsProperFactor(ln, b, (uint64_t{1} << 61) - 1)) << ln << " " << b;
        continue;
      }
      const auto v = static_cast<uint64_t>(value);
      EXPECT_EQ(IsProperFactor(ln, b, v), b < 2) << ln << " " << b;
      refused += IsProperFactor(ln, b, v) ? 0 : 1;
      EXPECT_TRUE(IsProperFactor(ln, b, v + 2));
      if (v > 3) {
        EXPECT_TRUE(IsProperFactor(ln, b, v - 2));
      }
    }
  }
  EXPECT_GT(refused, 3000);
  // Known prime and composite cases: 2^16+1 and 2^32+1 = 641 * 6700417.
  EXPECT_FALSE(IsProperFactor(4, 2, 65537));
  EXPECT_FALSE(IsProperFactor(5, 2, 4294967297));
  EXPECT_TRUE(IsProperFactor(5, 2, 641));
  EXPECT_TRUE(IsProperFactor(5, 2, 6700417));
  EXPECT_TRUE(IsProperFactor(1, 8, 5));  // 65 = 5 * 13
}

}  // namespace
