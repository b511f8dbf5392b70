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
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
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

// What this processor has, read with the compiler's own detection (which,
// like math/CpuFeatures, counts AVX and AVX-512 only where the operating
// system saves their registers), and what this build has compiled in.
struct Expected {
  bool avx2;
  bool avx512;
};

Expected ExpectedLevels() {
  Expected e{false, false};
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
  e.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  e.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512ifma");
#endif
#endif
  return e;
}

TEST(KernelIsa, AutoPicksTheBestLevelThisProcessorHas) {
  const Expected e = ExpectedLevels();
  std::printf("this processor and build: avx2 %s, avx512 %s\n", e.avx2 ? "yes" : "no",
              e.avx512 ? "yes" : "no");
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
  EXPECT_TRUE(FindIsaLevel(Isa::kAvx2)->CompiledIn());
#else
  EXPECT_FALSE(FindIsaLevel(Isa::kAvx2)->CompiledIn());
#endif
#ifdef ZENTROVA_HAVE_AVX512_KERNELS
  EXPECT_TRUE(FindIsaLevel(Isa::kAvx512)->CompiledIn());
#else
  EXPECT_FALSE(FindIsaLevel(Isa::kAvx512)->CompiledIn());
#endif
  EXPECT_EQ(IsaAvailable(Isa::kAvx2), e.avx2);
  EXPECT_EQ(IsaAvailable(Isa::kAvx512), e.avx512);
  const Isa best = e.avx512 ? Isa::kAvx512 : e.avx2 ? Isa::kAvx2 : Isa::kScalar;
  EXPECT_EQ(BestIsa(), best);
  EXPECT_EQ(RunningIsaLevel(Isa::kAuto).isa, best);
  // A level this build or processor lacks runs the portable kernels, and
  // the dispatch hands out that level's kernels.
  for (const IsaLevel& level : IsaLevels()) {
    const IsaLevel& runs = RunningIsaLevel(level.isa);
    EXPECT_EQ(runs.isa, level.Available() ? level.isa : Isa::kScalar) << level.name;
    EXPECT_EQ(NormalSieveArray_SSE2(level.isa), runs.kernels.normal) << level.name;
    EXPECT_EQ(NormalSieveArray128_SSE2(level.isa), runs.kernels.normal128) << level.name;
    EXPECT_EQ(WideSieveArray_SSE(level.isa), runs.kernels.wide) << level.name;
    EXPECT_EQ(WideSieveArray128_SSE(level.isa), runs.kernels.wide128) << level.name;
    EXPECT_EQ(FermatBatchFor(level.isa), runs.kernels.fermat) << level.name;
    EXPECT_EQ(FermatBatch128For(level.isa), runs.kernels.fermat128) << level.name;
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

// The levels whose kernels run here, besides the portable one.
std::vector<const IsaLevel*> OtherLevelsHere() {
  std::vector<const IsaLevel*> out;
  for (const IsaLevel& level : IsaLevels()) {
    if (level.Available() && level.isa != Isa::kScalar) out.push_back(&level);
  }
  if (out.empty()) std::printf("only the portable level runs here: nothing to compare\n");
  return out;
}

uint64_t PowMod64(uint64_t b, uint64_t e, uint64_t m) {
  return test::PowMod128(b, e, m);
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

// A prime p = k*2N + 1 in [lo, hi) and an element a0 of order 2N.
struct PrimeRoot {
  uint64_t p;
  uint64_t a0;
};

PrimeRoot RandomPrimeRoot(std::mt19937_64& rng, uint64_t n, uint64_t lo, uint64_t hi) {
  std::uniform_int_distribution<uint64_t> k(lo / (2 * n) + 1, (hi - 1) / (2 * n) - 1);
  for (;;) {
    const uint64_t p = k(rng) * 2 * n + 1;
    if (!test::IsPrime(p)) continue;
    for (uint64_t g = 2;; ++g) {
      if (PowMod64(g, (p - 1) / 2, p) == p - 1) return {p, PowMod64(g, (p - 1) / (2 * n), p)};
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

// The modulus b^(2^ln) + 1 (b even): b is a root of it, so a hit.
struct Constructed {
  uint64_t b;
  int ln;
};

template <typename P, typename Fn>
std::vector<uint32_t> Hits(Fn fn, const std::vector<int32_t>& cand, int ln, P p) {
  std::vector<uint32_t> hits = {7};  // a kernel appends
  KernelScratch scratch;
  fn(cand.data(), cand.size(), ln, p, hits, scratch);
  return hits;
}

TEST(KernelIsa, EveryLevelsNormalKernelsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  const std::vector<const IsaLevel*> levels = OtherLevelsHere();
  int withHits = 0;
  // One word: primes above 2^31 with roots below it, then moduli b^(2^ln)+1
  // up to the vector kernels' limits (2^50, 2^52) and past them.
  struct OneWord {
    uint64_t p;
    int ln;
    std::vector<uint64_t> roots;
  };
  std::vector<OneWord> oneWord;
  for (int ln : {1, 2, 5, 8, 12}) {
    const uint64_t n = uint64_t{1} << ln;
    const PrimeRoot pr = RandomPrimeRoot(rng, n, uint64_t{1} << 31, uint64_t{1} << 33);
    // The roots of x^N == -1: the odd powers of a0.
    OneWord c{pr.p, ln, {}};
    const uint64_t a2 = test::MulMod128(pr.a0, pr.a0, pr.p);
    uint64_t x = pr.a0;
    for (uint64_t j = 0; j < n; ++j, x = test::MulMod128(x, a2, pr.p)) c.roots.push_back(x);
    oneWord.push_back(c);
  }
  for (const Constructed c :
       {Constructed{(1u << 20) + 6, 1}, Constructed{3000, 2}, Constructed{60, 3},
        Constructed{uint64_t{1} << 25, 1}, Constructed{(uint64_t{3} << 24) + 2, 1},
        Constructed{(uint64_t{1} << 30) + 2, 1}}) {
    oneWord.push_back({static_cast<uint64_t>(Power(c.b, 1 << c.ln)) + 1, c.ln, {c.b}});
  }
  for (const OneWord& c : oneWord) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{9}, size_t{1003}}) {
      const std::vector<int32_t> cand = Bases(rng, c.roots, n);
      const std::vector<uint32_t> want = Hits(Portable().kernels.normal, cand, c.ln, c.p);
      withHits += want.size() > 1;
      for (const IsaLevel* level : levels) {
        EXPECT_EQ(Hits(level->kernels.normal, cand, c.ln, c.p), want)
            << level->name << " one word, p " << c.p << " ln " << c.ln << " n " << n;
      }
    }
  }
  // Two words: moduli b^(2^ln)+1 from 2^62 to past the vector kernels'
  // limits (2^94, 2^102), and random odd ones.
  struct TwoWord {
    u128 p;
    int ln;
    uint64_t root;
  };
  std::vector<TwoWord> twoWord;
  for (const Constructed c :
       {Constructed{(uint64_t{1} << 31) - 2, 1}, Constructed{(1u << 20) + 6, 2},
        Constructed{1000, 3}, Constructed{30, 4}, Constructed{(uint64_t{1} << 23) + 2, 2},
        Constructed{uint64_t{1} << 25, 2}, Constructed{uint64_t{1} << 27, 2}}) {
    twoWord.push_back({Power(c.b, 1 << c.ln) + 1, c.ln, c.b});
  }
  for (int i = 0; i < 8; ++i) {
    const u128 p = ((static_cast<u128>(rng()) << 64) | rng()) >> (34 - 4 * (i % 4)) | 1;
    twoWord.push_back({p, 1 + i, 0});
  }
  for (const TwoWord& c : twoWord) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{9}, size_t{503}}) {
      const std::vector<int32_t> cand = Bases(rng, {c.root}, n);
      const std::vector<uint32_t> want = Hits(Portable().kernels.normal128, cand, c.ln, c.p);
      withHits += want.size() > 1;
      for (const IsaLevel* level : levels) {
        EXPECT_EQ(Hits(level->kernels.normal128, cand, c.ln, c.p), want)
            << level->name << " two words, ln " << c.ln << " n " << n;
      }
    }
  }
  // The roots and constructed moduli give hits in the portable answer itself.
  std::printf("%d of the sieves have hits\n", withHits);
  EXPECT_GE(withHits, 40);
}

template <typename P, typename Fn>
std::vector<uint32_t> Roots(Fn fn, P p, P a0, int64_t n, int32_t bMax, bool& complete) {
  std::vector<uint32_t> roots = {3};  // a kernel appends
  KernelScratch scratch;
  complete = fn(p, a0, n, bMax, roots, static_cast<size_t>(n) + 4, scratch);
  return roots;
}

TEST(KernelIsa, EveryLevelsWideKernelsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  const std::vector<const IsaLevel*> levels = OtherLevelsHere();
  struct Case {
    u128 p;
    u128 a0;
    int64_t n;
  };
  // One word: primes with a random root of unity, for N from the vector
  // kernels' smallest (64, 128) up, below 2^31 (every root stored, which
  // tells the storing orders apart), below and past the vector limits (2^50,
  // 2^51); and factors of Fermat numbers, where a0 = 2 and the roots below
  // 2^31 are its odd powers: 2^64+1 = 274177 * 67280421310721, 2^128+1 =
  // 59649589127497217 * 5704689200685129054721, 2^256+1 = 1238926361552897 * P62.
  std::vector<Case> oneWord = {
      {67280421310721u, 2, 64}, {1238926361552897u, 2, 256}, {59649589127497217u, 2, 128}};
  for (const uint64_t n : {64u, 128u, 4096u}) {
    for (const auto& [lo, hi] : {std::pair<int, int>{20, 31}, {32, 40}, {40, 50}, {50, 52}}) {
      const PrimeRoot pr = RandomPrimeRoot(rng, n, uint64_t{1} << lo, uint64_t{1} << hi);
      oneWord.push_back({pr.p, pr.a0, static_cast<int64_t>(n)});
    }
  }
  // Two words (the vector walks take 2^52 < p below 2^94 or 2^102): 2^64+1
  // with a0 = 2 (N = 64) and with a0 = 4 or 4^3 (N = 32), 6^32+1 with a0 = 6,
  // the large factor of 2^128+1, and the one-word factor of 2^64+1 (below the
  // range: the portable walk).
  const u128 f7Large = static_cast<u128>(57046892006851290u) * 100000u + 54721u;
  const std::vector<Case> twoWord = {{(static_cast<u128>(1) << 64) + 1, 2, 64},
                                     {(static_cast<u128>(1) << 64) + 1, 4, 32},
                                     {(static_cast<u128>(1) << 64) + 1, 64, 32},
                                     {Power(6, 32) + 1, 6, 32},
                                     {f7Large, 2, 128},
                                     {67280421310721u, 2, 64}};
  int withRoots = 0;
  for (const int32_t bMax : {INT32_MAX, 1 << 20}) {
    for (const Case& c : oneWord) {
      const auto p = static_cast<uint64_t>(c.p), a0 = static_cast<uint64_t>(c.a0);
      ASSERT_EQ(PowMod64(a0, static_cast<uint64_t>(c.n), p), p - 1) << p;
      bool wantComplete = false;
      const std::vector<uint32_t> want =
          Roots(Portable().kernels.wide, p, a0, c.n, bMax, wantComplete);
      withRoots += want.size() > 1;
      for (const IsaLevel* level : levels) {
        bool complete = false;
        EXPECT_EQ(Roots(level->kernels.wide, p, a0, c.n, bMax, complete), want)
            << level->name << " one word, p " << p << " N " << c.n << " bMax " << bMax;
        EXPECT_EQ(complete, wantComplete) << level->name << " one word, p " << p;
      }
    }
    for (const Case& c : twoWord) {
      u128 x = 1;
      for (int64_t i = 0; i < c.n; ++i) x = MulMod(x, c.a0, c.p);
      ASSERT_EQ(x, c.p - 1) << "a0^N is not -1";
      bool wantComplete = false;
      const std::vector<uint32_t> want =
          Roots(Portable().kernels.wide128, c.p, c.a0, c.n, bMax, wantComplete);
      withRoots += want.size() > 1;
      for (const IsaLevel* level : levels) {
        bool complete = false;
        EXPECT_EQ(Roots(level->kernels.wide128, c.p, c.a0, c.n, bMax, complete), want)
            << level->name << " two words, N " << c.n << " bMax " << bMax;
        EXPECT_EQ(complete, wantComplete) << level->name << " two words, N " << c.n;
      }
    }
  }
  std::printf("%d of the walks find roots\n", withRoots);
  EXPECT_GE(withRoots, 16);
}

TEST(KernelIsa, EveryLevelsFermatTestsAgreeWithThePortableOnes) {
  std::mt19937_64 rng(test::TestSeed());
  const std::vector<const IsaLevel*> levels = OtherLevelsHere();
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
  for (int n : {1, 3, 8, 13, 40}) {
    for (size_t at = 0; at + static_cast<size_t>(n) <= one.size(); at += 37) {
      bool want[40], got[40];
      Portable().kernels.fermat(one.data() + at, n, want);
      for (const IsaLevel* level : levels) {
        level->kernels.fermat(one.data() + at, n, got);
        for (int i = 0; i < n; ++i)
          EXPECT_EQ(got[i], want[i]) << level->name << " p " << one[at + i];
      }
    }
    for (size_t at = 0; at + static_cast<size_t>(n) <= two.size(); at += 37) {
      bool want[40], got[40];
      Portable().kernels.fermat128(two.data() + at, n, want);
      for (const IsaLevel* level : levels) {
        level->kernels.fermat128(two.data() + at, n, got);
        for (int i = 0; i < n; ++i) EXPECT_EQ(got[i], want[i]) << level->name << " two words";
      }
    }
  }
}

}  // namespace
}  // namespace zentrova
