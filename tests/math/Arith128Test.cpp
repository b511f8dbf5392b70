// The two-word arithmetic (Montgomery128.h, the 128-bit reference operations
// of ModArith.h, the two-word Fermat batches) against GMP, on random moduli on
// both sides of 2^61, 2^63 and 2^64, near 2^94 and over the whole range each
// one accepts.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "TestGmp.h"
#include "TestUtil.h"
#include "math/FactorCandidates.h"
#include "math/Fermat128.h"
#include "math/ModArith.h"
#include "math/Montgomery128.h"
#include "sieve/kernels/Kernels128.h"

using namespace zentrova;
using test::Decimal;
using test::Mpz;
using test::RandomU128;
using test::u128;

namespace {

constexpr u128 kOne = 1;

struct Band {
  const char* name;
  u128 lo;
  u128 hi;
};

// Moduli near each seam, and spread over every bit length up to `topBits`.
std::vector<Band> Bands(int topBits) {
  const u128 d = kOne << 40;
  return {{"2^61", (kOne << 61) - d, (kOne << 61) + d},
          {"2^63", (kOne << 63) - d, (kOne << 63) + d},
          {"2^64", (kOne << 64) - d, (kOne << 64) + d},
          {"2^94", (kOne << 94) - (kOne << 80), kOne << 94},
          {"all", 3, kOne << topBits}};
}

// An odd modulus in the band; in the band "all" with a random bit length.
u128 RandomOdd(std::mt19937_64& rng, const Band& band) {
  u128 lo = band.lo, hi = band.hi;
  if (band.lo == 3) {
    const int topBits = 127 - __builtin_clzll(static_cast<uint64_t>(band.hi >> 64));
    const int bits = static_cast<int>(rng() % static_cast<uint64_t>(topBits - 1)) + 2;
    lo = kOne << (bits - 1);
    hi = kOne << bits;
  }
  u128 p = RandomU128(rng, lo, hi) | 1;
  if (p >= hi) p -= 2;
  return p < 3 ? 3 : p;
}

// r*R == a*b (mod p), R = 2^128: r is a Montgomery product of a and b.
bool IsMontgomeryProduct(u128 r, u128 a, u128 b, u128 p) {
  Mpz lhs(r), rhs(a), bb(b), pp(p);
  mpz_mul_2exp(lhs.get(), lhs.get(), 128);
  mpz_mul(rhs.get(), rhs.get(), bb.get());
  mpz_sub(lhs.get(), lhs.get(), rhs.get());
  return mpz_divisible_p(lhs.get(), pp.get()) != 0;
}

// x*R mod p.
u128 GmpToMontgomery(u128 x, u128 p) {
  Mpz v(x), pp(p);
  mpz_mul_2exp(v.get(), v.get(), 128);
  mpz_mod(v.get(), v.get(), pp.get());
  return v.Value();
}

}  // namespace

TEST(Montgomery128Test, ProductsAndTargetsEqualGmp) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  for (const Band& band : Bands(126)) {
    for (int trial = 0; trial < 40; ++trial) {
      const u128 p = RandomOdd(rng, band);
      SCOPED_TRACE(::testing::Message()
                   << "seed " << seed << " band " << band.name << " p " << Decimal(p));
      const Montgomery128 mont(p);
      ASSERT_EQ(Decimal(mont.One()), Decimal(GmpToMontgomery(1, p)));
      for (int i = 0; i < 20; ++i) {
        // Lazy inputs below 2p, and raw bases below 2^32 whatever p is.
        const u128 a = i < 4 ? rng() >> 32 : RandomU128(rng, 0, 2 * p);
        const u128 b = i < 2 ? a : RandomU128(rng, 0, 2 * p);
        const u128 x = (i & 1) ? mont.Square(a) : mont.Mul(a, b);
        const u128 y = (i & 1) ? a : b;
        EXPECT_LT(x, 2 * p) << "a " << Decimal(a) << " b " << Decimal(y);
        EXPECT_TRUE(IsMontgomeryProduct(x, a, y, p)) << "a " << Decimal(a) << " b " << Decimal(y);
        const u128 c = RandomU128(rng, 0, ~u128{0});
        EXPECT_EQ(Decimal(mont.ToMontgomery(c)), Decimal(GmpToMontgomery(c, p)));
        EXPECT_EQ(Decimal(mont.FromMontgomery(GmpToMontgomery(c, p))), Decimal(c % p));
      }
      // b^N == -1 exactly when the chain on the raw b ends at the target:
      // the target times R^(N-1) is -1.
      const int ln = 1 + static_cast<int>(rng() % 30);
      const u128 target = mont.MinusOneTarget(ln);
      ASSERT_LT(target, p);
      const u128 scale = test::GmpPowMod(GmpToMontgomery(1, p), (kOne << ln) - 1, p);
      EXPECT_EQ(Decimal(test::GmpMulMod(target, scale, p)), Decimal(p - 1)) << "ln " << ln;
    }
  }
}

TEST(ModArith128Test, ExactOperationsEqualGmp) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  for (const Band& band : Bands(127)) {
    for (int trial = 0; trial < 40; ++trial) {
      u128 p = RandomOdd(rng, band);
      if ((trial & 1) && p > 4) --p;  // even moduli too
      SCOPED_TRACE(::testing::Message()
                   << "seed " << seed << " band " << band.name << " p " << Decimal(p));
      const u128 a = RandomU128(rng, 0, ~u128{0});
      const u128 b = trial < 4 ? ~u128{0} : RandomU128(rng, 0, ~u128{0});
      EXPECT_EQ(Decimal(MulModExact128(a, b, p)), Decimal(test::GmpMulMod(a, b, p)));
      const u128 e = RandomU128(rng, 0, p);
      EXPECT_EQ(Decimal(PowModExact128(a, e, p)), Decimal(test::GmpPowMod(a, e, p)));
      const int ln = 1 + static_cast<int>(rng() % 30);
      EXPECT_EQ(VerifyFactor128(ln, a, p), test::GmpIsRoot(a, ln, p));
    }
  }
  // True factors: p = k*2N + 1 prime near each seam and r^N == -1 for
  // r = x^k with x a non-residue; VerifyFactor128 must accept every such r.
  const u128 d = kOne << 40;
  const u128 centres[] = {kOne << 61, kOne << 63, kOne << 64, (kOne << 94) - d};
  for (int ln = 1; ln <= 30; ++ln) {
    const u128 twoN = kOne << (ln + 1);
    for (const u128 centre : centres) {
      u128 p = 0;
      do {
        p = RandomU128(rng, (centre - d) / twoN, (centre + d) / twoN) * twoN + 1;
      } while (!test::GmpIsPrime(p));
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " ln " << ln << " p " << Decimal(p));
      u128 r = 0;
      do {
        r = test::GmpPowMod(RandomU128(rng, 2, p), (p - 1) / twoN, p);
      } while (!test::GmpIsRoot(r, ln, p));
      EXPECT_TRUE(VerifyFactor128(ln, r, p));
      EXPECT_FALSE(VerifyFactor128(ln, r + 1, p));
    }
  }
}

TEST(ModArith128Test, IsProperFactorOnlyRejectsTheNumberItself) {
  struct Case {
    int ln;
    uint64_t b;
  };
  // b^N + 1 on both sides of 2^61, 2^64 and up to 2^126 (b^(N/2) just above
  // 2^63 for the last square), and far beyond.
  const Case cases[] = {{1, 2147483646}, {2, 40000}, {3, 250},         {4, 16}, {5, 6}, {5, 14},
                        {6, 2},          {6, 3},     {2, 3037000500u}, {7, 2},  {30, 2}};
  for (const Case& c : cases) {
    Mpz power(c.b);
    mpz_pow_ui(power.get(), power.get(), c.ln <= 7 ? 1ul << c.ln : 128);  // 2^128 is beyond
    mpz_add_ui(power.get(), power.get(), 1);
    SCOPED_TRACE(::testing::Message() << c.b << "^2^" << c.ln << " + 1");
    for (const int delta : {-2, 0, 2}) {
      Mpz p;
      mpz_add_ui(p.get(), power.get(), static_cast<unsigned long>(delta + 2));
      mpz_sub_ui(p.get(), p.get(), 2);
      if (mpz_sizeinbase(p.get(), 2) > 127) {
        // Beyond the range: p below 2^127 can never equal it.
        EXPECT_TRUE(IsProperFactor128(c.ln, c.b, (kOne << 127) - 1));
        continue;
      }
      EXPECT_EQ(IsProperFactor128(c.ln, c.b, p.Value()), delta != 0) << "delta " << delta;
    }
  }
}

TEST(Fermat128Test, BatchEqualsGmp) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::vector<u128> moduli;
  for (const Band& band : Bands(126)) {
    for (int i = 0; i < 12; ++i) {
      u128 p = RandomOdd(rng, band);
      while (i < 6 && !test::GmpIsPrime(p)) p += 2;
      moduli.push_back(p);
    }
  }
  // Base-2 pseudoprimes, which pass: (4^q - 1)/3 for a prime q, and 2^64 + 1.
  for (const int q : {31, 37, 43, 47, 61}) moduli.push_back(((kOne << (2 * q)) - 1) / 3);
  moduli.push_back((kOne << 64) + 1);
  std::vector<bool> want;
  for (const u128 p : moduli) want.push_back(test::GmpPowMod(2, p - 1, p) == 1);
  // Odd batch lengths leave a short last group. Below its bound the one-word
  // test must agree as well.
  std::vector<uint64_t> small;
  for (const u128 p : moduli)
    small.push_back(p < kFermatOneWordLimit ? static_cast<uint64_t>(p) : 3);
  for (const int n : {static_cast<int>(moduli.size()), 7}) {
    bool got[128], oneWord[128];
    FermatBatchScalar128(moduli.data(), n, got);
    FermatBatchScalar(small.data(), n, oneWord);
    for (const Isa isa : KernelIsas()) {
      bool vec[128];
      FermatBatch128For(isa)(moduli.data(), n, vec);
      for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        EXPECT_EQ(vec[i], want[i]) << IsaName(isa) << ", p " << Decimal(moduli[i]);
      }
    }
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      EXPECT_EQ(got[i], want[i]) << "p " << Decimal(moduli[i]);
      if (small[i] != 3) {
        EXPECT_EQ(oneWord[i], want[i]) << "one-word, p " << small[i];
      }
    }
  }
}
