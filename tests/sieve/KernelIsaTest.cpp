// The table of instruction-set levels (sieve/kernels/KernelIsa.h): each
// level's name through parsing, what `auto` picks against the processor's
// features as the compiler reads them, the texts made from the table, and
// every level this build and processor run against the portable level's
// kernels on a small sieve of each kind (one and two words, normal and wide,
// and the Fermat tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
#include "files/PNumber.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {
namespace {

using u128 = unsigned __int128;

const IsaLevel& Portable() {
  return IsaLevels().front();
}

// --- the table ------------------------------------------------------------------

TEST(KernelIsa, EveryNameRoundTripsThroughParsing) {
  Isa isa = Isa::kScalar;
  ASSERT_TRUE(ParseIsa("auto", isa));
  EXPECT_EQ(isa, Isa::kAuto);
  EXPECT_STREQ(IsaName(Isa::kAuto), "auto");
  EXPECT_EQ(FindIsaLevel(Isa::kAuto), nullptr);
  std::vector<Isa> numbers;
  std::set<std::string> names;
  for (const IsaLevel& level : IsaLevels()) {
    Isa parsed = Isa::kAuto;
    ASSERT_TRUE(ParseIsa(level.name, parsed)) << level.name;
    EXPECT_EQ(parsed, level.isa) << level.name;
    EXPECT_STREQ(IsaName(level.isa), level.name);
    EXPECT_EQ(FindIsaLevel(level.isa), &level) << level.name;
    EXPECT_NE(std::string(level.description), "") << level.name;
    EXPECT_TRUE(names.insert(level.name).second) << "two levels named " << level.name;
    numbers.push_back(level.isa);
  }
  // KernelIsas() is the table's order, from the portable level up.
  EXPECT_EQ(KernelIsas(), numbers);
}

TEST(KernelIsa, UnknownNamesAreRefused) {
  for (const char* text : {"", "list", "sse9", "sse2", "AVX2", "Scalar", " avx2", "avx2 ",
                           "avx-512", "avx512ifma", "neon", "?"}) {
    Isa isa = Isa::kAvx2;
    EXPECT_FALSE(ParseIsa(text, isa)) << "'" << text << "'";
    EXPECT_EQ(isa, Isa::kAvx2) << "'" << text << "' changed the level";
  }
}

TEST(KernelIsa, ThePortableLevelComesFirstAndRunsEverywhere) {
  const IsaLevel& portable = Portable();
  EXPECT_EQ(portable.isa, Isa::kScalar);
  EXPECT_STREQ(portable.name, "scalar");
  EXPECT_STREQ(portable.description, "portable");
  EXPECT_TRUE(portable.CompiledIn());
  EXPECT_TRUE(portable.Available());
  EXPECT_TRUE(IsaAvailable(Isa::kAuto));
  EXPECT_TRUE(IsaAvailable(Isa::kScalar));
  for (const IsaLevel& level : IsaLevels()) {
    const KernelSet& k = level.kernels;
    const bool any = k.normal || k.normal128 || k.wide || k.wide128 || k.fermat || k.fermat128;
    const bool all = k.normal && k.normal128 && k.wide && k.wide128 && k.fermat && k.fermat128;
    // A level is compiled in with all of its kernels or none.
    EXPECT_EQ(any, all) << level.name;
    EXPECT_EQ(level.CompiledIn(), all) << level.name;
    EXPECT_TRUE(level.CompiledIn() || !level.Available()) << level.name;
    EXPECT_EQ(IsaAvailable(level.isa), level.Available()) << level.name;
  }
}

// What this build has compiled in and this processor runs, read with the
// compiler's own detection (which, like math/CpuFeatures, counts AVX and
// AVX-512 only where the operating system saves their registers).
struct Expected {
  bool compiledIn = false;
  bool available = false;
};

TEST(KernelIsa, AutoPicksTheBestLevelThisProcessorHas) {
  Expected avx2, avx512;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
  avx2 = {true, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")};
#endif
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  avx512 = {true, __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512ifma")};
#endif
#endif
  std::printf("this processor and build: avx2 %s, avx512 %s\n", avx2.available ? "yes" : "no",
              avx512.available ? "yes" : "no");
  for (const auto& [isa, e] : {std::pair{Isa::kAvx2, avx2}, std::pair{Isa::kAvx512, avx512}}) {
    EXPECT_EQ(FindIsaLevel(isa)->CompiledIn(), e.compiledIn) << IsaName(isa);
    EXPECT_EQ(IsaAvailable(isa), e.available) << IsaName(isa);
  }
  const Isa best = avx512.available ? Isa::kAvx512 : avx2.available ? Isa::kAvx2 : Isa::kScalar;
  EXPECT_EQ(BestIsa(), best);
  EXPECT_EQ(RunningIsaLevel(Isa::kAuto).isa, best);
  // A level this build or processor lacks runs the portable kernels, and
  // the dispatch hands out that level's kernels.
  for (const IsaLevel& level : IsaLevels()) {
    SCOPED_TRACE(level.name);
    const IsaLevel& runs = RunningIsaLevel(level.isa);
    EXPECT_EQ(runs.isa, level.Available() ? level.isa : Isa::kScalar);
    EXPECT_EQ(NormalSieveArray_SSE2(level.isa), runs.kernels.normal);
    EXPECT_EQ(NormalSieveArray128_SSE2(level.isa), runs.kernels.normal128);
    EXPECT_EQ(WideSieveArray_SSE(level.isa), runs.kernels.wide);
    EXPECT_EQ(WideSieveArray128_SSE(level.isa), runs.kernels.wide128);
    EXPECT_EQ(FermatBatchFor(level.isa), runs.kernels.fermat);
    EXPECT_EQ(FermatBatch128For(level.isa), runs.kernels.fermat128);
  }
  EXPECT_EQ(NormalSieveArray_SSE2(Isa::kAuto), FindIsaLevel(best)->kernels.normal);
}

TEST(KernelIsa, TheChoicesTextIsTheOldHelpText) {
  // The texts of --help and of the refusal of an unknown name were written out
  // before the table made them; every build names every level.
  EXPECT_EQ(IsaChoices(), "auto, scalar, avx2, avx512");
  std::string names = "auto";
  for (const IsaLevel& level : IsaLevels()) names += std::string(", ") + level.name;
  EXPECT_EQ(IsaChoices(), names);
}

// --- every level's kernels against the portable ones -----------------------------

// `run` on the portable level's kernels, then on those of every other level
// that runs here, which must give the same answer; returns the portable one.
template <typename Run>
auto AgreeWithPortable(Run run) {
  const auto want = run(Portable().kernels);
  for (const IsaLevel& level : IsaLevels()) {
    if (level.isa != Isa::kScalar && level.Available()) {
      EXPECT_EQ(run(level.kernels), want) << level.name;
    }
  }
  return want;
}

u128 MulMod(u128 a, u128 b, u128 m) {  // m < 2^127
  u128 r = 0;
  a %= m;
  for (; b != 0; b >>= 1) {
    if (b & 1) r = (r + a) % m;
    a = (a + a) % m;
  }
  return r;
}

u128 Power(u128 b, int e) {
  u128 r = 1;
  for (int i = 0; i < e; ++i) r *= b;
  return r;
}

// A prime p = k*2N + 1 in [lo, hi) and an element a0 of order 2N: {p, a0}.
std::pair<uint64_t, uint64_t> RandomPrimeRoot(std::mt19937_64& rng, uint64_t n, uint64_t lo,
                                              uint64_t hi) {
  std::uniform_int_distribution<uint64_t> k(lo / (2 * n) + 1, (hi - 1) / (2 * n) - 1);
  for (;;) {
    const uint64_t p = k(rng) * 2 * n + 1;
    if (!test::IsPrime(p)) continue;
    for (uint64_t g = 2;; ++g) {
      if (test::PowMod128(g, (p - 1) / 2, p) == p - 1) {
        return {p, test::PowMod128(g, (p - 1) / (2 * n), p)};
      }
    }
  }
}

// Bases below 2^31: `roots` and random ones, shuffled.
std::vector<int32_t> Bases(std::mt19937_64& rng, const std::vector<uint64_t>& roots, size_t n) {
  std::vector<int32_t> out;
  for (uint64_t r : roots) {
    if (r < (uint64_t{1} << 31) && out.size() < n) out.push_back(static_cast<int32_t>(r));
  }
  std::uniform_int_distribution<int32_t> any(0, INT32_MAX);
  while (out.size() < n) out.push_back(any(rng));
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

TEST(KernelIsa, EveryLevelsNormalKernelsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  // A sieve of the moduli p with the exponent 2^ln, whose bases hold `roots`
  // (of x^(2^ln) == -1, so hits) and random ones.
  struct Case {
    u128 p;
    int ln;
    std::vector<uint64_t> roots;
    bool twoWords;
  };
  std::vector<Case> cases;
  // One word: primes above 2^31 with roots below it (the odd powers of a0).
  for (int ln : {1, 2, 5, 8, 12}) {
    const uint64_t n = uint64_t{1} << ln;
    const auto [p, a0] = RandomPrimeRoot(rng, n, uint64_t{1} << 31, uint64_t{1} << 33);
    Case c{p, ln, {}, false};
    for (uint64_t j = 0; j < n; ++j) c.roots.push_back(test::PowMod128(a0, 2 * j + 1, p));
    cases.push_back(c);
  }
  // Moduli b^(2^ln) + 1 (b even): b is a root of it, so a hit. In one word up
  // to the vector kernels' limits (2^50, 2^52) and past them; in two from 2^62
  // to past theirs (2^94, 2^102).
  const std::vector<std::pair<uint64_t, int>> constructed[2] = {{{(1u << 20) + 6, 1},
                                                                 {3000, 2},
                                                                 {60, 3},
                                                                 {uint64_t{1} << 25, 1},
                                                                 {(uint64_t{3} << 24) + 2, 1},
                                                                 {(uint64_t{1} << 30) + 2, 1}},
                                                                {{(uint64_t{1} << 31) - 2, 1},
                                                                 {(1u << 20) + 6, 2},
                                                                 {1000, 3},
                                                                 {30, 4},
                                                                 {(uint64_t{1} << 23) + 2, 2},
                                                                 {uint64_t{1} << 25, 2},
                                                                 {uint64_t{1} << 27, 2}}};
  for (const bool two : {false, true}) {
    for (const auto& [b, ln] : constructed[two])
      cases.push_back({Power(b, 1 << ln) + 1, ln, {b}, two});
  }
  // Random odd two-word moduli (base 0 among the bases).
  for (int i = 0; i < 8; ++i) {
    const u128 p = ((static_cast<u128>(rng()) << 64) | rng()) >> (34 - 4 * (i % 4)) | 1;
    cases.push_back({p, 1 + i, {0}, true});
  }
  int withHits = 0;
  for (const Case& c : cases) {
    const std::vector<size_t> sizes =
        c.twoWords ? std::vector<size_t>{0, 1, 5, 9, 503} : std::vector<size_t>{0, 1, 7, 9, 1003};
    for (const size_t n : sizes) {
      SCOPED_TRACE(::testing::Message() << (c.twoWords ? "two words, p " : "one word, p ")
                                        << PToString(c.p) << " ln " << c.ln << " n " << n);
      const std::vector<int32_t> cand = Bases(rng, c.roots, n);
      const std::vector<uint32_t> want = AgreeWithPortable([&](const KernelSet& k) {
        std::vector<uint32_t> hits = {7};  // a kernel appends
        KernelScratch scratch;
        if (c.twoWords) {
          k.normal128(cand.data(), cand.size(), c.ln, c.p, hits, scratch);
        } else {
          k.normal(cand.data(), cand.size(), c.ln, static_cast<uint64_t>(c.p), hits, scratch);
        }
        return hits;
      });
      withHits += want.size() > 1;
    }
  }
  // The roots and constructed moduli give hits in the portable answer itself.
  std::printf("%d of the sieves have hits\n", withHits);
  EXPECT_GE(withHits, 40);
}

TEST(KernelIsa, EveryLevelsWideKernelsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  // The walk from a0, of order 2N mod p, in one word or two.
  struct Case {
    u128 p;
    u128 a0;
    int64_t n;
    bool twoWords;
  };
  // One word: factors of Fermat numbers, where a0 = 2 and the roots below
  // 2^31 are its odd powers: 2^64+1 = 274177 * 67280421310721, 2^128+1 =
  // 59649589127497217 * 5704689200685129054721, 2^256+1 = 1238926361552897 * P62.
  std::vector<Case> cases = {{67280421310721u, 2, 64, false},
                             {1238926361552897u, 2, 256, false},
                             {59649589127497217u, 2, 128, false}};
  // And primes with a random root of unity, for N from the vector kernels'
  // smallest (64, 128) up, below 2^31 (every root stored, which tells the
  // storing orders apart), below and past the vector limits (2^50, 2^51).
  for (const uint64_t n : {64u, 128u, 4096u}) {
    for (const auto& [lo, hi] : {std::pair<int, int>{20, 31}, {32, 40}, {40, 50}, {50, 52}}) {
      const auto [p, a0] = RandomPrimeRoot(rng, n, uint64_t{1} << lo, uint64_t{1} << hi);
      cases.push_back({p, a0, static_cast<int64_t>(n), false});
    }
  }
  // Two words (the vector walks take 2^52 < p below 2^94 or 2^102): 2^64+1
  // with a0 = 2 (N = 64) and with a0 = 4 or 4^3 (N = 32), 6^32+1 with a0 = 6,
  // the large factor of 2^128+1, and the one-word factor of 2^64+1 (below the
  // range: the portable walk).
  const u128 f6 = (static_cast<u128>(1) << 64) + 1;
  const u128 f7Large = static_cast<u128>(57046892006851290u) * 100000u + 54721u;
  cases.insert(cases.end(), {{f6, 2, 64, true},
                             {f6, 4, 32, true},
                             {f6, 64, 32, true},
                             {Power(6, 32) + 1, 6, 32, true},
                             {f7Large, 2, 128, true},
                             {67280421310721u, 2, 64, true}});
  int withRoots = 0;
  for (const Case& c : cases) {
    u128 x = 1;
    for (int64_t i = 0; i < c.n; ++i) x = MulMod(x, c.a0, c.p);
    ASSERT_EQ(x, c.p - 1) << "a0^N is not -1 mod " << PToString(c.p);
    for (const int32_t bMax : {INT32_MAX, 1 << 20}) {
      SCOPED_TRACE(::testing::Message() << (c.twoWords ? "two words, p " : "one word, p ")
                                        << PToString(c.p) << " N " << c.n << " bMax " << bMax);
      // The roots stored and whether they all fitted.
      const auto want = AgreeWithPortable([&](const KernelSet& k) {
        std::vector<uint32_t> roots = {3};  // a kernel appends
        KernelScratch scratch;
        const size_t room = static_cast<size_t>(c.n) + 4;
        const bool complete = c.twoWords
                                  ? k.wide128(c.p, c.a0, c.n, bMax, roots, room, scratch)
                                  : k.wide(static_cast<uint64_t>(c.p), static_cast<uint64_t>(c.a0),
                                           c.n, bMax, roots, room, scratch);
        return std::make_pair(roots, complete);
      });
      withRoots += want.first.size() > 1;
    }
  }
  std::printf("%d of the walks find roots\n", withRoots);
  EXPECT_GE(withRoots, 16);
}

TEST(KernelIsa, EveryLevelsFermatTestsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  // Odd moduli, a third of them prime, from 3 to 2^62 (one word) and to
  // 2^110 (two words, past the IFMA test's 2^102).
  std::vector<uint64_t> one;
  std::vector<u128> two;
  while (one.size() < 200) {
    const uint64_t p = (rng() >> (2 + rng() % 58)) | 1;
    if (p < 3 || (one.size() % 3 == 0 && !test::IsPrime(p))) continue;
    one.push_back(p);
  }
  for (int i = 0; i < 200; ++i) {
    two.push_back((((static_cast<u128>(rng()) << 64) | rng()) >> (18 + rng() % 60)) | 3);
  }
  two.push_back((static_cast<u128>(1) << 64) + 1);
  // Batches of n moduli from every 37th: the verdicts, p by p.
  const auto compare = [&](const char* words, const auto& moduli, auto kernel) {
    for (int n : {1, 3, 8, 13, 40}) {
      for (size_t at = 0; at + static_cast<size_t>(n) <= moduli.size(); at += 37) {
        SCOPED_TRACE(::testing::Message()
                     << words << ", n " << n << " from p " << PToString(moduli[at]));
        AgreeWithPortable([&](const KernelSet& k) {
          bool pass[40];
          (k.*kernel)(moduli.data() + at, n, pass);
          return std::vector<bool>(pass, pass + n);
        });
      }
    }
  };
  compare("one word", one, &KernelSet::fermat);
  compare("two words", two, &KernelSet::fermat128);
}

}  // namespace
}  // namespace zentrova
