// The two-word kernels (Kernels128.h) against GMP: the normal kernel's hits
// are the bases b with b^N == -1 (mod p), the wide walk's roots are the odd
// powers of a0 at most bMax in the documented storing order, and the a0
// search follows its rule. Moduli lie on both sides of 2^61, 2^62, 2^63,
// 2^64 and 2^80 and near the top of the range, for N = 2^1 .. 2^30. True
// hits are planted from moduli that are known to divide b^N + 1: the odd part
// of b^N + 1 for small N, and known prime factors of Fermat numbers
// 2^(2^m) + 1 (bases 2^(2^i)). Below each crossover constant the one-word
// kernel must agree as well; each instruction-set file is run directly too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "TestUtil.h"
#include "sieve/kernels/Kernels128.h"

using namespace zentrova;
using test::Decimal;
using test::Mpz;
using test::RandomU128;
using test::u128;

namespace {

constexpr u128 kOne = 1;
constexpr int32_t kMaxBase = INT32_MAX;

// A modulus with the bases below 2^31 known to be roots of b^N == -1.
struct Planted {
  std::string how;
  int ln;
  u128 p;
  std::vector<uint32_t> roots;
};

u128 Parse(const char* decimal) {
  Mpz v;
  mpz_set_str(v.get(), decimal, 10);
  return v.Value();
}

// Odd parts of b^N + 1 near 2^61, 2^63, 2^64, 2^94, below the vector
// kernel's 2^102 and near the portable kernels' top, for N = 2 .. 64, with b
// and its odd powers below 2^31 as roots (p may be prime or not).
std::vector<Planted> FromSmallExponents(std::mt19937_64& rng) {
  std::vector<Planted> out;
  for (int ln = 1; ln <= 6; ++ln) {
    const double n = std::ldexp(1.0, ln);
    for (const int centre : {61, 63, 64, 94, 101, 124}) {
      const double lo = std::max(2.0, std::floor(std::exp2((centre - 2) / n)));
      const double hi = std::min(std::ceil(std::exp2((centre + 2) / n)), 2147483647.0);
      for (int tries = 0; tries < 3 && lo <= hi; ++tries) {
        const auto b = static_cast<uint64_t>(lo) + rng() % static_cast<uint64_t>(hi - lo + 1);
        Mpz c(b);
        mpz_pow_ui(c.get(), c.get(), 1ul << ln);
        mpz_add_ui(c.get(), c.get(), 1);
        while (mpz_even_p(c.get())) mpz_tdiv_q_2exp(c.get(), c.get(), 1);
        const size_t bits = mpz_sizeinbase(c.get(), 2);
        if (bits < static_cast<size_t>(centre - 2) || bits > static_cast<size_t>(centre + 2) ||
            bits > 125 || mpz_cmp_ui(c.get(), b) <= 0) {
          continue;
        }
        Planted planted{"b^N+1, b = " + std::to_string(b), ln, c.Value(), {}};
        // b, b^3, ... below 2^31 < p: plain powers, no reduction (b*b < 2^62).
        for (u128 x = b; x < (kOne << 31); x *= b * b) {
          planted.roots.push_back(static_cast<uint32_t>(x));
        }
        out.push_back(planted);
      }
    }
  }
  return out;
}

// Known prime factors of Fermat numbers F_m = 2^(2^m) + 1 from 2^61 to 2^88:
// F_m = (2^(2^i))^(2^(m-i)) + 1, so the bases 2^e below 2^31 with the right
// power of two in e are roots for N = 2^(m-i).
std::vector<Planted> FromFermatFactors() {
  struct Known {
    int m;
    const char* p;
  };
  const Known known[] = {{11, "167988556341760475137"},       {11, "3560841906445833920513"},
                         {13, "2663848877152141313"},         {13, "3603109844542291969"},
                         {13, "319546020820551643220672513"}, {16, "188981757975021318420037633"},
                         {18, "81274690703860512587777"},     {31, "46931635677864055013377"}};
  std::vector<Planted> out;
  for (const Known& k : known) {
    for (int i = 0; i <= 4; ++i) {
      const int ln = k.m - i;
      if (ln < 1 || ln > 30) continue;
      Planted planted{"F_" + std::to_string(k.m), ln, Parse(k.p), {}};
      for (int e = 1 << i; e <= 30; e += 2 << i) planted.roots.push_back(uint32_t{1} << e);
      out.push_back(planted);
    }
  }
  return out;
}

// The top of the range for an exponent: k < 2^63, so p < 2^(64+ln), at most 2^94.
u128 Top(int ln) {
  return kOne << std::min(64 + ln, 94);
}

// A p = k*2N + 1 within 2^40 of the centre (below it for the top), prime when asked.
u128 RandomOfForm(std::mt19937_64& rng, int ln, u128 centre, bool prime, uint64_t& k) {
  const u128 twoN = kOne << (ln + 1);
  const u128 d = kOne << 40;
  const u128 hi = std::min(centre + d, Top(ln));
  for (;;) {
    k = static_cast<uint64_t>(RandomU128(rng, (centre - d) / twoN, (hi - 1) / twoN));
    const u128 p = k * twoN + 1;
    if (!prime || test::GmpIsPrime(p)) return p;
  }
}

// The seams of the kernels (2^61, 2^62 and 2^63 of the one-word ones, 2^64
// of the words), 2^80 where the exponent reaches it, and the top.
std::vector<u128> Centres(int ln) {
  std::vector<u128> centres = {kOne << 61, kOne << 62, kOne << 63, kOne << 64};
  if ((kOne << 80) + (kOne << 40) < Top(ln)) centres.push_back(kOne << 80);
  centres.push_back(Top(ln) - (kOne << 40));
  return centres;
}

// The planted roots among random bases (and the edges 1 and 2^31 - 1), shuffled.
std::vector<int32_t> Bases(std::mt19937_64& rng, const std::vector<uint32_t>& roots) {
  std::vector<int32_t> cand = {1, kMaxBase};
  for (const uint32_t r : roots) cand.push_back(static_cast<int32_t>(r));
  for (int i = 0; i < 61; ++i) cand.push_back(static_cast<int32_t>(rng() % kMaxBase));
  std::shuffle(cand.begin(), cand.end(), rng);
  return cand;
}

std::vector<uint32_t> GmpHits(const std::vector<int32_t>& cand, int ln, u128 p) {
  std::vector<uint32_t> hits;
  for (size_t j = 0; j < cand.size(); ++j) {
    if (test::GmpIsRoot(static_cast<uint32_t>(cand[j]), ln, p)) {
      hits.push_back(static_cast<uint32_t>(j));
    }
  }
  return hits;
}

// The roots a walk from a0 stores, from GMP: x_j = a0^j for odd j, in stages
// of 32 exponents laid out by WideStageOrder (N >= 32), or one by one (N < 32).
// x holds a0^1, a0^3, ..., a0^(2N-1).
std::vector<uint32_t> GmpWalk(const std::vector<u128>& x, u128 p, int32_t bMax, WideOrder order) {
  const auto n = static_cast<int64_t>(x.size());
  std::vector<uint32_t> roots;
  auto offer = [&](u128 v) {
    if (v <= static_cast<u128>(bMax)) roots.push_back(static_cast<uint32_t>(v));
  };
  if (n < 32) {
    for (const u128 v : x) offer(v);
    return roots;
  }
  uint8_t first[32], later[32];
  WideStageOrder(order, true, first);
  WideStageOrder(order, false, later);
  for (int64_t r = 0; r < n / 32; ++r) {
    const uint8_t* slots = r == 0 ? first : later;
    for (int t = 0; t < 32; ++t) {
      const u128 v = x[static_cast<size_t>(16 * r + (slots[t] & 15))];  // a0^(32r + 2i + 1)
      offer((slots[t] & 0x80) ? p - v : v);
    }
  }
  return roots;
}

}  // namespace

TEST(Kernels128Test, NormalHitsEqualGmp) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  std::vector<Planted> cases = FromSmallExponents(rng);
  const std::vector<Planted> fermat = FromFermatFactors();
  cases.insert(cases.end(), fermat.begin(), fermat.end());
  for (int ln = 1; ln <= 30; ++ln) {
    for (const u128 centre : Centres(ln)) {
      uint64_t k = 0;
      cases.push_back({"random", ln, RandomOfForm(rng, ln, centre, ln % 2 == 0, k), {}});
    }
  }
  KernelScratch scratch;
  for (const Planted& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "seed " << seed << " " << c.how << " ln " << c.ln << " p " << Decimal(c.p));
    const std::vector<int32_t> cand = Bases(rng, c.roots);
    const std::vector<uint32_t> want = GmpHits(cand, c.ln, c.p);
    EXPECT_GE(want.size(), c.roots.size());
    std::vector<uint32_t> got;
    NormalSieveArray128(cand.data(), cand.size(), c.ln, c.p, got, scratch);
    EXPECT_EQ(got, want);
    for (const Isa isa : KernelIsas()) {
      got.clear();
      NormalSieveArray128_SSE2(isa)(cand.data(), cand.size(), c.ln, c.p, got, scratch);
      EXPECT_EQ(got, want) << IsaName(isa);
    }
    if (c.p < kNormalOneWordLimit) {
      got.clear();
      NormalSieveArray(cand.data(), cand.size(), c.ln, static_cast<uint64_t>(c.p), got, scratch);
      EXPECT_EQ(got, want) << "one-word kernel";
    }
#ifdef ZENTROVA_HAVE_AVX2_KERNELS
    // The AVX2 file itself, whatever the dispatch picks, on every prefix of
    // the bases (each number of vectors, blocks and lanes in the last
    // vector): it takes exactly the p below its limit.
    if (IsaAvailable(Isa::kAvx2)) {
      std::vector<uint64_t> limbs(16 * ((cand.size() + 4) / 4));
      std::vector<uint32_t> raw(cand.size());
      for (size_t n = 0; n <= cand.size(); ++n) {
        size_t count = 0;
        const bool ran = kernels::avx2_128::NormalSieveRaw(cand.data(), n, c.ln, c.p, limbs.data(),
                                                           raw.data(), count);
        ASSERT_EQ(ran, c.p < kAvx2TwoWordLimit) << "AVX2 file, " << n << " bases";
        if (!ran) break;
        std::vector<uint32_t> wantPrefix;
        for (const uint32_t j : want) {
          if (j < n) wantPrefix.push_back(j);
        }
        ASSERT_EQ(
            std::vector<uint32_t>(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(count)),
            wantPrefix)
            << "AVX2 file, " << n << " bases";
      }
    }
#endif
  }
}

TEST(Kernels128Test, WideRootsEqualGmp) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  constexpr int kMaxLn = 16;  // GMP walks every root
  // The planted moduli, a0 an odd power of the base: the roots are the same
  // set in another order.
  std::vector<Planted> cases = FromSmallExponents(rng);
  for (const Planted& f : FromFermatFactors()) {
    if (f.ln <= kMaxLn) cases.push_back(f);
  }
  struct Walk {
    Planted c;
    u128 a0;
  };
  std::vector<Walk> walks;
  for (const Planted& c : cases) {
    const u128 u = 2 * (rng() % (uint64_t{1} << c.ln)) + 1;
    walks.push_back({c, test::GmpPowMod(c.roots.front(), u, c.p)});
  }
  // Primes of the form k*2N + 1 near each seam, a0 = x^k for a non-residue x.
  for (int ln = 1; ln <= kMaxLn; ln += 3) {
    for (const u128 centre : Centres(ln)) {
      uint64_t k = 0;
      const u128 p = RandomOfForm(rng, ln, centre, true, k);
      u128 a0 = 0;
      do {
        a0 = test::GmpPowMod(RandomU128(rng, 2, p), k, p);
      } while (!test::GmpIsRoot(a0, ln, p));
      walks.push_back({{"random prime", ln, p, {}}, a0});
    }
  }
  KernelScratch scratch;
  for (const Walk& w : walks) {
    const Planted& c = w.c;
    const int64_t n = int64_t{1} << c.ln;
    std::vector<u128> powers;  // a0^1, a0^3, ..., a0^(2N-1), by GMP
    const u128 a2 = test::GmpMulMod(w.a0, w.a0, c.p);
    for (u128 v = w.a0; static_cast<int64_t>(powers.size()) < n; v = test::GmpMulMod(v, a2, c.p)) {
      powers.push_back(v);
    }
    // Every root, and only the smallest planted one.
    for (const int32_t bMax : {kMaxBase, c.roots.empty() ? 1 : static_cast<int32_t>(c.roots[0])}) {
      SCOPED_TRACE(::testing::Message()
                   << "seed " << seed << " " << c.how << " ln " << c.ln << " p " << Decimal(c.p)
                   << " a0 " << Decimal(w.a0) << " bMax " << bMax);
      const size_t capacity = static_cast<size_t>(n) + 1;
      for (const WideOrder order : {WideOrder::kAthlon, WideOrder::kSse}) {
        if (n < 32 && order == WideOrder::kSse) continue;
        const std::vector<uint32_t> want = GmpWalk(powers, c.p, bMax, order);
        // Every kernel of this order, with room for all roots and with room
        // for all but the last (it stops when the roots fill it, and says so).
        std::vector<WideKernel128Fn> kernels = {n < 32 ? &WideSmallN128
                                                : order == WideOrder::kAthlon
                                                    ? &Athlon8xCondLoopArray128
                                                    : WideSieveArray128_SSE(Isa::kScalar)};
        if (n >= 32 && order == WideOrder::kSse) {
          for (const Isa isa : KernelIsas()) kernels.push_back(WideSieveArray128_SSE(isa));
        }
        for (const WideKernel128Fn kernel : kernels) {
          for (const size_t room : {capacity, want.size() - 1}) {
            if (room == 0) continue;
            std::vector<uint32_t> got;
            const bool fits = kernel(c.p, w.a0, n, bMax, got, room, scratch);
            EXPECT_EQ(fits, want.size() < room) << "order " << static_cast<int>(order);
            EXPECT_EQ(got, std::vector<uint32_t>(want.begin(),
                                                 want.begin() + std::min(room, want.size())))
                << "order " << static_cast<int>(order) << " room " << room;
          }
        }
        if (bMax == kMaxBase) {
          EXPECT_GE(want.size(), c.roots.size());
        }
        if (c.p < kWideOneWordLimit) {
          std::vector<uint32_t> oneWord;
          const auto p64 = static_cast<uint64_t>(c.p);
          const auto a64 = static_cast<uint64_t>(w.a0);
          if (n < 32) {
            WideRootsSmallN(p64, a64, n, bMax, oneWord, capacity);
          } else {
            WideRootsPortable(p64, a64, n, bMax, order, oneWord, capacity);
          }
          EXPECT_EQ(oneWord, want) << "one-word walk";
        }
      }
    }
  }
}

TEST(Kernels128Test, A0SearchFollowsItsRule) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  for (int ln = 1; ln <= 30; ++ln) {
    const u128 n = kOne << ln;
    for (const u128 centre : Centres(ln)) {
      for (const bool prime : {true, false}) {
        uint64_t k = 0;
        const u128 p = RandomOfForm(rng, ln, centre, prime, k);
        SCOPED_TRACE(::testing::Message()
                     << "seed " << seed << " ln " << ln << " p " << Decimal(p));
        // The rule, in GMP: the first g^k with (g^k)^N != 1 decides.
        A0Search want = A0Search::kComposite;
        u128 wantA0 = 0;
        for (uint64_t g = 2; g < 600; g = g == 2 ? 3 : g + 2) {
          const u128 a = test::GmpPowMod(g, k, p);
          const u128 s = test::GmpPowMod(a, n, p);
          if (s == 1) continue;
          if (s == p - 1) {
            want = A0Search::kFound;
            wantA0 = a;
          }
          break;
        }
        u128 a0 = 0;
        const A0Search got = FindA0_128(p, k, ln, a0);
        ASSERT_EQ(static_cast<int>(got), static_cast<int>(want));
        if (prime) {
          ASSERT_EQ(got, A0Search::kFound);
        }
        if (got == A0Search::kFound) {
          EXPECT_EQ(Decimal(a0), Decimal(wantA0));
        }
      }
    }
  }
}

#ifdef ZENTROVA_HAVE_AVX2_KERNELS
// The AVX2 walk itself on starts planted at the edges of its window test
// (0, 1, bMax, bMax + 1, p - bMax - 1, p - bMax, p - bMax + 1, p - 1), one
// edge among random values per run (the test flags a whole run), for moduli
// from its lower bound to its limit and any step: each run's roots, stage
// by stage in the documented order, equal GMP's; a run with more roots than
// its room says so; p outside (2^52, 2^94) is refused.
TEST(Kernels128Test, Avx2WideWalkEqualsGmp) {
  if (!IsaAvailable(Isa::kAvx2)) GTEST_SKIP() << "no AVX2 on this processor";
  namespace raw = kernels::avx2_128;
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  uint8_t first[32], later[32];
  WideStageOrder(WideOrder::kSse, true, first);
  WideStageOrder(WideOrder::kSse, false, later);
  auto near = [&](u128 c) { return RandomU128(rng, c - (kOne << 40), c + (kOne << 40)) | 1; };
  const u128 moduli[] = {(kOne << 52) + 1, near(kOne << 62),      near(kOne << 64),
                         near(kOne << 80), kAvx2TwoWordLimit - 3, kAvx2TwoWordLimit - 1};
  constexpr int64_t kStages = 3;
  for (const u128 p : moduli) {
    for (const int32_t bMax : {0, 1, 1000, kMaxBase}) {
      const u128 b = static_cast<u128>(bMax);
      const u128 edges[] = {0, 1, b, b + 1, p - b - 1, p - b, p - b + 1, p - 1};
      for (size_t edge = 0; edge < std::size(edges); ++edge) {
        const int segments = edge % 2 == 0 ? 1 : raw::kWideSegments;  // run h: edge + h
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " p " << Decimal(p) << " bMax "
                                          << bMax << " runs " << segments << " edge " << edge);
        std::vector<u128> starts;
        for (int h = 0; h < segments; ++h) {
          std::vector<u128> run = {edges[(edge + static_cast<size_t>(h)) % std::size(edges)]};
          while (run.size() < 16) run.push_back(RandomU128(rng, 0, p));
          std::shuffle(run.begin(), run.end(), rng);
          starts.insert(starts.end(), run.begin(), run.end());
        }
        const u128 step = RandomU128(rng, 1, p);
        const u128 stepMont = test::GmpMulMod(step, test::GmpPowMod(2, 96, p), p);
        std::vector<std::vector<uint32_t>> want(static_cast<size_t>(segments));
        for (int h = 0; h < segments; ++h) {
          for (int64_t r = 0; r < kStages; ++r) {
            const u128 power = test::GmpPowMod(step, static_cast<u128>(r), p);
            const uint8_t* slots = r == 0 && h == 0 ? first : later;
            for (int t = 0; t < 32; ++t) {
              const u128 x =
                  test::GmpMulMod(starts[static_cast<size_t>(16 * h + (slots[t] & 15))], power, p);
              const u128 v = (slots[t] & 0x80) ? p - x : x;
              if (v <= b) want[static_cast<size_t>(h)].push_back(static_cast<uint32_t>(v));
            }
          }
        }
        constexpr size_t kRoom = 32 * kStages;
        std::vector<uint32_t> roots(kRoom * raw::kWideSegments);
        size_t counts[raw::kWideSegments] = {};
        ASSERT_TRUE(raw::WideSieveRaw(p, starts.data(), segments, kStages, stepMont, bMax, first,
                                      later, roots.data(), kRoom, counts));
        size_t most = 0;
        for (int h = 0; h < segments; ++h) {
          const auto at = roots.begin() + static_cast<std::ptrdiff_t>(kRoom * h);
          EXPECT_EQ(std::vector<uint32_t>(at, at + static_cast<std::ptrdiff_t>(counts[h])),
                    want[static_cast<size_t>(h)])
              << "run " << h;
          most = std::max(most, want[static_cast<size_t>(h)].size());
        }
        if (most > 0) {
          EXPECT_FALSE(raw::WideSieveRaw(p, starts.data(), segments, kStages, stepMont, bMax, first,
                                         later, roots.data(), most - 1, counts));
        }
      }
    }
  }
  const u128 starts[16] = {};
  size_t counts[raw::kWideSegments];
  uint32_t roots[32];
  for (const u128 p : {(kOne << 52) - 1, (kOne << 52) + 2, kAvx2TwoWordLimit + 1}) {
    EXPECT_FALSE(raw::WideSieveRaw(p, starts, 1, 1, 1, 0, first, later, roots, 32, counts))
        << Decimal(p);
  }
}
#endif
