// The factor-candidate generator and its wheel tables, against a brute force:
// p = k*2N + 1 is handed out exactly when trial division finds no prime from
// 3 to 61 in it (or p is one of those primes) and 2^(p-1) == 1 (mod p) by
// unsigned __int128 powering; from 2^61 on every k is handed out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "files/PNumber.h"
#include "TestUtil.h"
#include "math/FactorCandidates.h"
#include "math/WheelTables.h"
#include "sieve/kernels/Dispatch.h"

using namespace zentrova;

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kTop = uint64_t{1} << 61;
constexpr uint64_t kSmallPrimes[] = {3,  5,  7,  11, 13, 17, 19, 23, 29,
                                     31, 37, 41, 43, 47, 53, 59, 61};

uint64_t RefPow(uint64_t b, uint64_t e, uint64_t m) {
  uint64_t r = 1 % m;
  b %= m;
  while (e != 0) {
    if (e & 1) r = static_cast<uint64_t>(static_cast<u128>(r) * b % m);
    b = static_cast<uint64_t>(static_cast<u128>(b) * b % m);
    e >>= 1;
  }
  return r;
}

bool RefPassesWheel(uint64_t p) {
  for (uint64_t q : kSmallPrimes) {
    if (p == q) return true;
  }
  for (uint64_t q : kSmallPrimes) {
    if (p % q == 0) return false;
  }
  return true;
}

bool RefIsCandidate(uint64_t p) {
  if (p >= kTop) return true;
  return RefPassesWheel(p) && RefPow(2, p - 1, p) == 1;
}

// The first `count` candidate k above kLast for multiplier m.
std::vector<int64_t> BruteForceKs(uint64_t m, int64_t kLast, size_t count) {
  std::vector<int64_t> out;
  out.reserve(count);
  for (int64_t k = kLast + 1; out.size() < count; ++k) {
    if (RefIsCandidate(static_cast<uint64_t>(k) * m + 1)) out.push_back(k);
  }
  return out;
}

// One way of running the generator: a Fermat kernel and a batch width.
struct Config {
  std::string name;
  FermatBatchFn fermat;
  int width;
};

std::vector<Config> Configs() {
  std::vector<Config> out = {
      {"portable/4", nullptr, 4},
      {"portable/5", &FermatBatchScalar, 5},
      {"portable/32", &FermatBatchScalar, 32},
      {"portable/64", &FermatBatchScalar, 64},
      {"auto/32", FermatBatchFor(Isa::kAuto), 32},
  };
  if (IsaAvailable(Isa::kAvx512)) {
    for (int w : {4, 8, 13, 32, 64}) {
      out.push_back({"avx512/" + std::to_string(w), FermatBatchFor(Isa::kAvx512), w});
    }
  } else {
    std::printf("AVX-512 IFMA not available here: its Fermat test is not exercised\n");
  }
  return out;
}

// Runs the generator from kLast and compares its first want.size() candidates.
void ExpectSequence(const WheelTables& tables, const Config& config, uint64_t m, int64_t kLast,
                    const std::vector<int64_t>& want) {
  FactorCandidateGenerator gen(tables, config.fermat, config.width);
  gen.Reset(static_cast<int64_t>(m), kLast);
  for (size_t i = 0; i < want.size(); ++i) {
    const FactorCandidate c = gen.NextFactorCandidate();
    ASSERT_EQ(c.k, want[i]) << config.name << " M=" << m << " kLast=" << kLast << " #" << i;
    ASSERT_TRUE(c.p == static_cast<UInt128>(static_cast<uint64_t>(c.k)) * m + 1) << config.name;
  }
}

const WheelTables& Tables() {
  static const WheelTables tables;
  return tables;
}

// ---------------------------------------------------------------------------
// Wheel tables

TEST(WheelTables, TablesCoverThePrimesFrom3To61) {
  std::vector<uint64_t> seen;
  for (int t = 0; t < WheelTables::kTables; ++t) {
    uint64_t product = 1;
    for (uint32_t q : WheelPrimes(t)) {
      product *= q;
      seen.push_back(q);
    }
    EXPECT_EQ(product, WheelTables::kModuli[t]) << "table " << t;
    EXPECT_EQ(Tables().Table(t).modulus, WheelTables::kModuli[t]) << "table " << t;
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, std::vector<uint64_t>(std::begin(kSmallPrimes), std::end(kSmallPrimes)));
}

TEST(WheelTables, BitIsSetExactlyForResiduesPrimeToTheTable) {
  for (int t = 0; t < WheelTables::kTables; ++t) {
    const WheelTable& table = Tables().Table(t);
    ASSERT_GE(table.bits.size() * 32, table.modulus);
    for (uint32_t j = 0; j < table.modulus; ++j) {
      bool coprime = true;
      for (uint32_t q : WheelPrimes(t)) coprime = coprime && j % q != 0;
      const bool bit = (table.bits[j >> 5] >> (j & 31)) & 1;
      ASSERT_EQ(bit, coprime) << "table " << t << " bit " << j;
      ASSERT_EQ(table.Passes(j), coprime) << "table " << t << " residue " << j;
      ASSERT_EQ(table.Passes(j + uint64_t{table.modulus} * 1000003), coprime);
    }
  }
}

TEST(WheelTables, PassesMatchesTrialDivision) {
  std::mt19937_64 rng(test::TestSeed());
  for (uint64_t p = 0; p < 300000; ++p) {
    ASSERT_EQ(Tables().Passes(p), RefPassesWheel(p)) << "p=" << p;
  }
  for (int i = 0; i < 200000; ++i) {
    const uint64_t p = rng() >> (i % 40);
    ASSERT_EQ(Tables().Passes(p), RefPassesWheel(p)) << "p=" << p;
  }
  // The small primes themselves pass; multiples of 15015 and products of two
  // of them never do.
  for (uint64_t q : kSmallPrimes) EXPECT_TRUE(Tables().Passes(q)) << q;
  for (uint64_t q : kSmallPrimes) {
    for (uint64_t r : kSmallPrimes) EXPECT_FALSE(Tables().Passes(q * r)) << q << "*" << r;
  }
  for (int i = 0; i < 1000; ++i) {
    const uint64_t mult = 15015 * (1 + rng() % (uint64_t{1} << 50));
    EXPECT_FALSE(Tables().Passes(mult)) << mult;
  }
  EXPECT_FALSE(Tables().Passes(15015));
}

// ---------------------------------------------------------------------------
// The generator

// The long sequences the sieve actually walks through, for every batch width
// and Fermat kernel.
TEST(FactorCandidateGenerator, FirstHundredThousandCandidatesMatchBruteForce) {
  for (uint64_t n : {uint64_t{8192}, uint64_t{65536}}) {
    const uint64_t m = 2 * n;
    const std::vector<int64_t> want = BruteForceKs(m, 0, 100000);
    for (size_t i = 1; i < want.size(); ++i) ASSERT_LT(want[i - 1], want[i]);
    for (const Config& config : Configs()) {
      SCOPED_TRACE(config.name + " N=" + std::to_string(n));
      ExpectSequence(Tables(), config, m, 0, want);
    }
  }
}

TEST(FactorCandidateGenerator, SmallExponentsHandOutTheSmallPrimesThemselves) {
  // For small N the small primes of the factor form are true factor
  // candidates (5 | 2^2 + 1, 17 | 2^8 + 1) and must not be sieved out.
  for (uint64_t n : {uint64_t{2}, uint64_t{4}, uint64_t{8}, uint64_t{16}}) {
    const uint64_t m = 2 * n;
    const std::vector<int64_t> want = BruteForceKs(m, 0, 3000);
    for (const Config& config : Configs()) {
      SCOPED_TRACE(config.name + " N=" + std::to_string(n));
      ExpectSequence(Tables(), config, m, 0, want);
    }
    std::vector<uint64_t> handed;
    FactorCandidateGenerator gen(Tables());
    gen.Reset(static_cast<int64_t>(m), 0);
    for (int i = 0; i < 20; ++i) handed.push_back(gen.NextFactorCandidate().p);
    for (uint64_t q : kSmallPrimes) {
      if (q % m == 1) {
        EXPECT_NE(std::find(handed.begin(), handed.end(), q), handed.end())
            << q << " missing for N=" << n;
      }
    }
  }
  // N = 2: the primes 1 mod 4, in order.
  FactorCandidateGenerator gen(Tables());
  gen.Reset(4, 0);
  for (uint64_t q : {5, 13, 17, 29, 37, 41, 53, 61, 73, 89, 97, 101, 109, 113}) {
    EXPECT_EQ(gen.NextFactorCandidate().p, q);
  }
}

TEST(FactorCandidateGenerator, ResetContinuesAboveKLast) {
  std::mt19937_64 rng(test::TestSeed());
  const std::vector<Config> configs = Configs();
  for (int rep = 0; rep < 40; ++rep) {
    const int ln = static_cast<int>(1 + rng() % 20);
    const uint64_t m = uint64_t{2} << ln;
    int64_t kLast = static_cast<int64_t>(rng() % (uint64_t{1} << (20 + rep % 20)));
    if (rep % 4 == 1) kLast = 0;
    if (rep % 4 == 2) {
      // Resume right at a candidate: it must not be handed out again.
      kLast = BruteForceKs(m, kLast, 1)[0];
    }
    const std::vector<int64_t> want = BruteForceKs(m, kLast, 300);
    const Config& config = configs[rep % configs.size()];
    SCOPED_TRACE(config.name);
    ExpectSequence(Tables(), config, m, kLast, want);
  }
}

TEST(FactorCandidateGenerator, ResetInTheMiddleOfAStreamResumesIt) {
  std::mt19937_64 rng(test::TestSeed());
  for (const Config& config : Configs()) {
    SCOPED_TRACE(config.name);
    for (uint64_t n : {uint64_t{8}, uint64_t{8192}}) {
      const uint64_t m = 2 * n;
      FactorCandidateGenerator gen(Tables(), config.fermat, config.width);
      gen.Reset(static_cast<int64_t>(m), 0);
      std::vector<FactorCandidate> stream;
      for (int i = 0; i < 2000; ++i) stream.push_back(gen.NextFactorCandidate());
      // Stop after a random candidate (often in the middle of a handed-out
      // batch) and resume from its k, on a used and on a fresh generator.
      const size_t cut = 1 + rng() % 1500;
      FactorCandidateGenerator fresh(Tables(), config.fermat, config.width);
      fresh.Reset(static_cast<int64_t>(m), stream[cut - 1].k);
      gen.Reset(static_cast<int64_t>(m), stream[cut - 1].k);
      for (size_t i = cut; i < stream.size(); ++i) {
        const FactorCandidate a = fresh.NextFactorCandidate();
        const FactorCandidate b = gen.NextFactorCandidate();
        ASSERT_EQ(a.k, stream[i].k) << "cut " << cut << " #" << i;
        ASSERT_EQ(b.k, stream[i].k) << "cut " << cut << " #" << i;
        ASSERT_EQ(a.p, stream[i].p);
        ASSERT_EQ(b.p, stream[i].p);
      }
      // Going back to the start repeats the stream.
      gen.Reset(static_cast<int64_t>(m), 0);
      for (size_t i = 0; i < 50; ++i) ASSERT_EQ(gen.NextFactorCandidate().k, stream[i].k);
    }
  }
}

// A group of four k can yield more wheel survivors than the batch has room
// for; the extras wait in entries W..W+3 and open the next batch. Batches read
// back to back must be exactly the wheel survivors in order.
TEST(FactorCandidateGenerator, CarryOverOpensTheNextBatch) {
  std::mt19937_64 rng(test::TestSeed());
  // A multiplier divisible by 3..13 makes four survivors in a row common, the
  // most the carry-over area must hold; powers of two give at most three in a
  // group of four (one of three consecutive p is divisible by 3).
  for (uint64_t m : {uint64_t{16}, uint64_t{16384}, uint64_t{1} << 21, uint64_t{30030}}) {
    for (int width : {4, 32}) {
      FactorCandidateGenerator gen(Tables(), nullptr, width);
      int seen[4] = {0, 0, 0, 0};
      for (int rep = 0; rep < 200; ++rep) {
        const int64_t kLast = static_cast<int64_t>(rng() % (uint64_t{1} << 30));
        gen.Reset(static_cast<int64_t>(m), kLast);
        std::vector<int64_t> survivors;
        for (int64_t k = kLast + 1; survivors.size() < 12u * width; ++k) {
          if (RefPassesWheel(static_cast<uint64_t>(k) * m + 1)) survivors.push_back(k);
        }
        size_t pos = 0;
        for (int round = 0; round < 8; ++round) {
          gen.NextCandidateBatch();
          for (int i = 0; i < width; ++i, ++pos) {
            ASSERT_EQ(gen.m_batchK[i], survivors[pos])
                << "M=" << m << " W=" << width << " kLast=" << kLast << " round " << round;
            ASSERT_EQ(static_cast<uint64_t>(gen.m_batchP[i]),
                      static_cast<uint64_t>(survivors[pos]) * m + 1);
          }
          int extras = 0;
          while (extras < 4 && gen.m_batchK[width + extras] != 0) {
            ASSERT_EQ(gen.m_batchK[width + extras], survivors[pos + extras]) << "extra " << extras;
            ASSERT_EQ(static_cast<uint64_t>(gen.m_batchP[width + extras]),
                      static_cast<uint64_t>(survivors[pos + extras]) * m + 1);
            ++extras;
          }
          ASSERT_LE(extras, 3);
          for (int i = width + extras; i < width + 4; ++i) EXPECT_EQ(gen.m_batchK[i], 0);
          ++seen[extras];
          // The test round in between does not disturb the waiting extras.
          gen.FermatFilter4();
        }
      }
      EXPECT_GT(seen[1], 0) << "M=" << m << " W=" << width;
      EXPECT_GT(seen[2], 0) << "M=" << m << " W=" << width;
      if (m == 30030) {
        EXPECT_GT(seen[3], 0) << "W=" << width;
      }
    }
  }
}

// The handed-out stream across batches that carried survivors over, with the
// multiplier that fills the carry-over area.
TEST(FactorCandidateGenerator, CarryOverKeepsTheStreamComplete) {
  const uint64_t m = 30030;
  std::vector<int64_t> want;
  for (int64_t k = 1; want.size() < 20000; ++k) {
    if (RefIsCandidate(static_cast<uint64_t>(k) * m + 1)) want.push_back(k);
  }
  for (const Config& config : Configs()) {
    SCOPED_TRACE(config.name);
    ExpectSequence(Tables(), config, m, 0, want);
  }
}

TEST(FactorCandidateGenerator, MultiplesOf15015AreSkipped) {
  for (uint64_t n : {uint64_t{2}, uint64_t{1024}, uint64_t{65536}}) {
    const uint64_t m = 2 * n;
    int checked = 0;
    for (int64_t k = 1; checked < 20; ++k) {
      const uint64_t p = static_cast<uint64_t>(k) * m + 1;
      if (p % 15015 != 0) continue;
      ++checked;
      FactorCandidateGenerator gen(Tables());
      gen.Reset(static_cast<int64_t>(m), k - 1);
      EXPECT_GT(gen.NextFactorCandidate().k, k) << "p=" << p << " was handed out";
    }
  }
}

// Around 2^50 the vector Fermat test hands lanes to the portable one; the
// sequence must not change there.
TEST(FactorCandidateGenerator, SequenceAcross2To50) {
  for (uint64_t n : {uint64_t{2}, uint64_t{8192}, uint64_t{1} << 20}) {
    const uint64_t m = 2 * n;
    const int64_t kEdge = static_cast<int64_t>((uint64_t{1} << 50) / m);
    const std::vector<int64_t> want = BruteForceKs(m, kEdge - 6000, 600);
    ASSERT_GT(want.back(), kEdge);
    for (const Config& config : Configs()) {
      SCOPED_TRACE(config.name + " N=" + std::to_string(n));
      ExpectSequence(Tables(), config, m, kEdge - 6000, want);
    }
  }
}

// From p >= 2^61 on the candidates are handed out untested, every k: the
// callers stop at the first one.
// Across the seams of the arithmetic (2^61, the one-word Fermat test's 2^62,
// 2^64) and up to kKLimit, the generator hands out exactly the k whose p has
// no prime factor from 3 to 61 and passes the base-2 Fermat test, as GMP
// computes it; from kKLimit on every k is handed out untested.
TEST(FactorCandidateGenerator, EveryKAcrossTheSeamsUpToTheLimit) {
  auto gmpIsCandidate = [](UInt128 p) {
    for (uint32_t q = 3; q <= 61; q += 2) {
      if (p % q == 0) return p == q;
    }
    return test::GmpPowMod(2, p - 1, p) == 1;
  };
  struct Case {
    uint64_t n;
    UInt128 around;  // the seam: k are taken from 4000 below its k
  };
  const Case cases[] = {
      {8192, UInt128{1} << 61},         {uint64_t{1} << 20, UInt128{1} << 61},
      {8192, UInt128{1} << 62},         {65536, UInt128{1} << 64},
      {uint64_t{1} << 30, UInt128{1} << 80},
  };
  for (const Case& t : cases) {
    const uint64_t m = 2 * t.n;
    const auto kEdge = static_cast<int64_t>(t.around / m);
    std::vector<int64_t> want;
    for (int64_t k = kEdge - 3999; k < kEdge + 4000; ++k) {
      if (gmpIsCandidate(static_cast<UInt128>(k) * m + 1)) want.push_back(k);
    }
    for (const Config& config : Configs()) {
      SCOPED_TRACE(config.name + " N=" + std::to_string(t.n) + " near " + PToString(t.around));
      ExpectSequence(Tables(), config, m, kEdge - 4000, want);
    }
  }
  // At the top: the candidates below kKLimit, then kKLimit itself, untested.
  const uint64_t m = 2 * 65536;
  std::vector<int64_t> want;
  for (int64_t k = kKLimit - 2000; k < kKLimit; ++k) {
    if (gmpIsCandidate(static_cast<UInt128>(k) * m + 1)) want.push_back(k);
  }
  want.push_back(kKLimit);
  want.push_back(kKLimit + 1);
  for (const Config& config : Configs()) {
    SCOPED_TRACE(config.name + " at kKLimit");
    ExpectSequence(Tables(), config, m, kKLimit - 2001, want);
  }
}

}  // namespace
