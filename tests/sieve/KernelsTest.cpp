// The normal-mode sieve kernels and the batch Fermat tests: every kernel the
// dispatcher can hand out must report exactly the positions that unsigned
// __int128 powering finds, on random inputs and on lists seeded with true
// roots so that hits occur.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
#include "sieve/kernels/Dispatch.h"

using namespace zentrova;

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kTop = uint64_t{1} << 61;
constexpr uint64_t k2To31 = uint64_t{1} << 31;
constexpr uint64_t k2To50 = uint64_t{1} << 50;

uint64_t RefMul(uint64_t a, uint64_t b, uint64_t m) { return test::MulMod128(a, b, m); }
uint64_t RefPow(uint64_t b, uint64_t e, uint64_t m) { return test::PowMod128(b, e, m); }

// b^(2^ln) == -1 (mod p) by ln exact squarings.
bool RefIsRoot(uint64_t b, int ln, uint64_t p) {
  uint64_t x = b % p;
  for (int i = 0; i < ln; ++i) x = RefMul(x, x, p);
  return x == p - 1;
}

using test::IsPrime;

uint64_t RandomIn(std::mt19937_64& rng, uint64_t lo, uint64_t hi) {  // [lo, hi)
  return std::uniform_int_distribution<uint64_t>(lo, hi - 1)(rng);
}

// Log-uniform in [lo, hi), 1 <= lo < hi: small and large values equally common.
uint64_t RandomLogIn(std::mt19937_64& rng, uint64_t lo, uint64_t hi) {
  const double a = std::log2(static_cast<double>(lo));
  const double b = std::log2(static_cast<double>(hi));
  const double t = std::uniform_real_distribution<double>(a, b)(rng);
  return std::clamp(static_cast<uint64_t>(std::exp2(t)), lo, hi - 1);
}

// Log-uniform odd value in [lo, hi), lo odd.
uint64_t RandomOddIn(std::mt19937_64& rng, uint64_t lo, uint64_t hi) {
  uint64_t v = RandomLogIn(rng, lo, hi) | 1;
  if (v >= hi) v -= 2;
  return v;
}

// A prime p = k*2N + 1 in [lo, hi), k drawn log-uniformly.
uint64_t RandomPrimeOfForm(std::mt19937_64& rng, uint64_t twoN, uint64_t lo, uint64_t hi) {
  const uint64_t kMin = std::max<uint64_t>(1, (lo - 1 + twoN - 1) / twoN);
  const uint64_t kMax = (hi - 2) / twoN;
  EXPECT_LT(kMin + 16, kMax) << "too few k in range";
  for (;;) {
    const uint64_t p = RandomLogIn(rng, kMin, kMax + 1) * twoN + 1;
    if (IsPrime(p)) return p;
  }
}

// An r with r^N == -1 modulo a prime p = k*2N + 1.
uint64_t FindRoot(std::mt19937_64& rng, uint64_t p, uint64_t n) {
  for (;;) {
    const uint64_t r = RefPow(RandomIn(rng, 2, p - 1), (p - 1) / (2 * n), p);
    if (RefPow(r, n, p) == p - 1) return r;
  }
}

// A prime modulus in [lo, hi) together with bases below 2^31 that are roots
// of b^N = -1 modulo it, or p = 0 when none was found.
struct Seeded {
  uint64_t p = 0;
  std::vector<uint32_t> roots;
};

// p < 2^31: every root is a usable base; raising one by multiples of p keeps
// it a root.
Seeded SeedBelow2To31(std::mt19937_64& rng, int ln) {
  const uint64_t n = uint64_t{1} << ln;
  Seeded s;
  s.p = RandomPrimeOfForm(rng, 2 * n, std::max<uint64_t>(2 * n + 1, 1u << (ln + 8)), k2To31);
  const uint64_t r = FindRoot(rng, s.p, n);
  uint64_t x = r;
  const uint64_t r2 = RefMul(r, r, s.p);
  for (int i = 0; i < 6; ++i) {  // r, r^3, r^5, ... are roots as well
    s.roots.push_back(static_cast<uint32_t>(x));
    x = RefMul(x, r2, s.p);
  }
  if (r + s.p < k2To31) s.roots.push_back(static_cast<uint32_t>(r + s.p));
  const uint64_t far = r + (k2To31 - 1 - r) / s.p * s.p;  // the largest base below 2^31
  s.roots.push_back(static_cast<uint32_t>(far));
  return s;
}

// x*y mod p for p < 2^52 and x, y < p by Barrett reduction (a 128-bit
// division per product is too slow for walking a million roots).
class BarrettMul {
 public:
  explicit BarrettMul(uint64_t p)
      : m_p(p), m_bits(64 - __builtin_clzll(p)), m_mu((u128{1} << (2 * m_bits)) / p) {}
  uint64_t operator()(uint64_t x, uint64_t y) const {
    const u128 t = static_cast<u128>(x) * y;  // < 2^(2 bits)
    // The estimate of t / p is short by at most 2.
    const u128 q = ((t >> (m_bits - 1)) * m_mu) >> (m_bits + 1);
    uint64_t r = static_cast<uint64_t>(t - q * m_p);
    while (r >= m_p) r -= m_p;
    return r;
  }

 private:
  uint64_t m_p;
  int m_bits;
  u128 m_mu;
};

// Larger N: the N roots of p are the odd powers of one of them; about
// N * 2^31 / p of them fall below 2^31. p < 2^52.
Seeded RootsByEnumeration(std::mt19937_64& rng, int ln, uint64_t lo, uint64_t hi) {
  const uint64_t n = uint64_t{1} << ln;
  Seeded s;
  s.p = RandomPrimeOfForm(rng, 2 * n, lo, hi);
  const BarrettMul mul(s.p);
  const uint64_t r = FindRoot(rng, s.p, n);
  const uint64_t r2 = mul(r, r);
  uint64_t x = r;
  for (uint64_t i = 0; i < n; ++i) {
    if (x < k2To31) s.roots.push_back(static_cast<uint32_t>(x));
    x = mul(x, r2);
  }
  return s;
}

Seeded SeedByEnumeration(std::mt19937_64& rng, int ln, uint64_t lo, uint64_t hi) {
  for (int attempt = 0; attempt < 30; ++attempt) {
    Seeded s = RootsByEnumeration(rng, ln, lo, hi);
    if (!s.roots.empty()) return s;
  }
  return {};
}

// Small N: a base b below 2^31 and the prime cofactor of b^N + 1 left after
// dividing out its small factors (which all have the form k*2N + 1, or 2).
Seeded SeedByCofactor(std::mt19937_64& rng, int ln, uint64_t lo, uint64_t hi) {
  const uint64_t n = uint64_t{1} << ln;
  const uint64_t bMin = static_cast<uint64_t>(std::pow(static_cast<double>(lo), 1.0 / n)) + 1;
  uint64_t bMax = static_cast<uint64_t>(std::pow(static_cast<double>(hi) * 64.0, 1.0 / n));
  bMax = std::min<uint64_t>(bMax, k2To31 - 1);
  if (bMin >= bMax) return {};
  for (int attempt = 0; attempt < 5000; ++attempt) {
    const uint64_t b = RandomLogIn(rng, bMin, bMax + 1);
    if (static_cast<double>(n) * std::log2(static_cast<double>(b)) > 120.0) continue;
    u128 c = 1;
    for (uint64_t i = 0; i < n; ++i) c *= b;
    c += 1;
    while ((c & 1) == 0) c >>= 1;
    for (uint64_t q = 2 * n + 1; q < (1u << 14); q += 2 * n) {
      while (c % q == 0) c /= q;
    }
    if (c < lo || c >= hi) continue;
    const uint64_t p = static_cast<uint64_t>(c);
    if (!IsPrime(p) || b >= p) continue;
    Seeded s;
    s.p = p;
    s.roots.push_back(static_cast<uint32_t>(b));
    return s;
  }
  return {};
}

Seeded SeedInRange(std::mt19937_64& rng, int ln, uint64_t lo, uint64_t hi) {
  if (hi <= k2To31) return SeedBelow2To31(rng, ln);
  const uint64_t n = uint64_t{1} << ln;
  if (ln >= 4 && ln <= 20 && (n << 31) >= lo) {
    // About N * 2^31 / p roots fall below 2^31: keep p low enough for a few.
    const uint64_t cap = std::min(hi, std::max(n << 28, 2 * lo));
    return SeedByEnumeration(rng, ln, lo, cap);
  }
  return SeedByCofactor(rng, ln, lo, hi);
}

// ---------------------------------------------------------------------------

struct NamedKernel {
  std::string name;
  NormalKernelFn fn;
};

std::vector<NamedKernel> Kernels() {
  std::vector<NamedKernel> out = {{"portable", &NormalSieveArray}};
  // Every level, available or not: one the processor lacks falls back to
  // the portable kernel and must still be right.
  std::vector<Isa> levels = KernelIsas();
  levels.insert(levels.begin(), Isa::kAuto);
  for (const Isa isa : levels) {
    out.push_back({std::string("vector/") + IsaName(isa) +
                       (IsaAvailable(isa) ? "" : " (not available: fallback)"),
                   NormalSieveArray_SSE2(isa)});
  }
  return out;
}

void PrintIsas() {
  static bool printed = false;
  if (printed) return;
  printed = true;
  for (Isa isa : {Isa::kAvx2, Isa::kAvx512}) {
    std::printf("%s kernels %s\n", IsaName(isa),
                IsaAvailable(isa) ? "available and tested" : "not available here");
  }
}

std::vector<uint32_t> RefHits(const std::vector<int32_t>& cand, int ln, uint64_t p) {
  std::vector<uint32_t> hits;
  for (size_t j = 0; j < cand.size(); ++j) {
    if (RefIsRoot(static_cast<uint32_t>(cand[j]), ln, p)) hits.push_back(static_cast<uint32_t>(j));
  }
  return hits;
}

// Runs every kernel on the list; each must append exactly the brute-force
// positions after what the hit list already held.
void ExpectKernelsAgree(const std::vector<int32_t>& cand, int ln, uint64_t p,
                        const std::vector<uint32_t>& want) {
  for (const NamedKernel& kernel : Kernels()) {
    std::vector<uint32_t> hits = {0xdeadbeefu};
    KernelScratch scratch;
    kernel.fn(cand.data(), cand.size(), ln, p, hits, scratch);
    ASSERT_FALSE(hits.empty()) << kernel.name << ": the earlier hit was removed";
    EXPECT_EQ(hits.front(), 0xdeadbeefu) << kernel.name;
    hits.erase(hits.begin());
    EXPECT_EQ(hits, want) << kernel.name << " p=" << p << " ln=" << ln << " n=" << cand.size();
  }
}

constexpr size_t kSizes[] = {0, 1, 2, 7, 8, 9, 63, 64, 65, 130};

struct Range {
  const char* name;
  uint64_t lo;
  uint64_t hi;
};

// Below 2^31 the vector kernels hand over to the portable one; above they
// run their own lanes up to 2^50 or 2^52. Right below 2^50 lazy Montgomery
// values are often in [p, 2p), and balanced double residues are largest.
constexpr Range kRanges[] = {
    {"p < 2^31", 3, k2To31},
    {"2^31 < p < 2^50", k2To31 + 1, k2To50},
    {"2^49 < p < 2^50", (uint64_t{1} << 49) + 1, k2To50},
    {"2^50 < p < 2^52", k2To50 + 1, uint64_t{1} << 52},
    {"2^52 < p < 2^61", (uint64_t{1} << 52) + 1, kTop},
};

int32_t RandomBase(std::mt19937_64& rng) { return static_cast<int32_t>(rng() & 0x7fffffff); }

// ---------------------------------------------------------------------------

TEST(NormalKernels, RandomListsAgreeWithBruteForce) {
  PrintIsas();
  std::mt19937_64 rng(test::TestSeed());
  for (int ln = 1; ln <= 20; ++ln) {
    for (const Range& range : kRanges) {
      for (size_t size : kSizes) {
        const uint64_t p = RandomOddIn(rng, range.lo, range.hi);
        std::vector<int32_t> cand(size);
        for (int32_t& b : cand) b = RandomBase(rng);
        // Edge bases: 0, 1, 2^31 - 1, p - 1 (a square root of 1), p itself.
        if (size > 0) cand[0] = 0;
        if (size > 1) cand[size - 1] = 0x7fffffff;
        if (size > 2) cand[1] = 1;
        if (size > 3 && p - 1 < k2To31) cand[2] = static_cast<int32_t>(p - 1);
        if (size > 4 && p < k2To31) cand[3] = static_cast<int32_t>(p);
        SCOPED_TRACE(std::string(range.name) + " ln=" + std::to_string(ln));
        ExpectKernelsAgree(cand, ln, p, RefHits(cand, ln, p));
      }
    }
  }
}

// Tiny moduli have many roots among random bases, most of them far above 2p.
TEST(NormalKernels, TinyModuliWithManyHits) {
  std::mt19937_64 rng(test::TestSeed());
  size_t total = 0;
  for (int rep = 0; rep < 1000; ++rep) {
    const int ln = static_cast<int>(RandomIn(rng, 1, 6));
    const uint64_t p = RandomIn(rng, 3, 100) | 1;
    const size_t size = kSizes[rep % std::size(kSizes)];
    std::vector<int32_t> cand(size);
    for (int32_t& b : cand) b = RandomBase(rng);
    const std::vector<uint32_t> want = RefHits(cand, ln, p);
    total += want.size();
    ExpectKernelsAgree(cand, ln, p, want);
  }
  EXPECT_GT(total, 50u);
}

TEST(NormalKernels, SeededListsReportEveryRoot) {
  PrintIsas();
  std::mt19937_64 rng(test::TestSeed());
  int seededCases = 0;
  for (int ln = 1; ln <= 20; ++ln) {
    for (const Range& range : kRanges) {
      const Seeded seeded = SeedInRange(rng, ln, range.lo, range.hi);
      // Roots below 2^31 of a large prime are found for small N (a prime
      // factor of b^N + 1) and for large N (enumerating the N roots).
      const uint64_t n = uint64_t{1} << ln;
      const bool required = range.hi <= k2To31 || ln <= 2 || (ln >= 4 && (n << 31) >= range.lo);
      if (seeded.p == 0) {
        EXPECT_FALSE(required) << "no seeded modulus for " << range.name << " ln=" << ln;
        continue;
      }
      ASSERT_GE(seeded.p, range.lo);
      ASSERT_LT(seeded.p, range.hi);
      for (uint32_t r : seeded.roots) ASSERT_TRUE(RefIsRoot(r, ln, seeded.p)) << r;
      ++seededCases;
      for (size_t size : kSizes) {
        if (size == 0) continue;
        std::vector<int32_t> cand(size);
        for (int32_t& b : cand) b = RandomBase(rng);
        // Roots at random places, at both ends, and one root twice in a row.
        const size_t planted = std::min<size_t>(size, 1 + size / 4);
        for (size_t i = 0; i < planted; ++i) {
          cand[RandomIn(rng, 0, size)] =
              static_cast<int32_t>(seeded.roots[RandomIn(rng, 0, seeded.roots.size())]);
        }
        cand[0] = static_cast<int32_t>(seeded.roots[0]);
        cand[size - 1] = static_cast<int32_t>(seeded.roots.back());
        if (size >= 3) cand[size / 2] = cand[size / 2 + 1] = cand[0];
        const std::vector<uint32_t> want = RefHits(cand, ln, seeded.p);
        ASSERT_FALSE(want.empty());
        SCOPED_TRACE(std::string(range.name) + " ln=" + std::to_string(ln));
        ExpectKernelsAgree(cand, ln, seeded.p, want);
      }
      // A list of nothing but the same root: every position is a hit.
      std::vector<int32_t> same(65, static_cast<int32_t>(seeded.roots[0]));
      std::vector<uint32_t> all(65);
      for (uint32_t i = 0; i < 65; ++i) all[i] = i;
      ExpectKernelsAgree(same, ln, seeded.p, all);
      // One squaring more or fewer turns every root into a miss.
      if (ln < 20) ExpectKernelsAgree(same, ln + 1, seeded.p, {});
      if (ln > 1) ExpectKernelsAgree(same, ln - 1, seeded.p, {});
    }
  }
  std::printf("%d seeded moduli\n", seededCases);
}

// Right below 2^50 a lazy Montgomery value lands in [p, 2p) a few percent of
// the time, and from 2^50 to 2^52 an unreduced one can pass 2p or 2^52. Many
// roots of moduli in those zones (N = 2^20, 20 squarings per chain) make sure
// that every chain and the kernel's reference value are reduced as needed.
TEST(NormalKernels, ManyRootsNearTheLazyAndCorrectedLimits) {
  std::mt19937_64 rng(test::TestSeed());
  const Range zones[] = {
      {"1.5*2^49 < p < 2^50", (uint64_t{3} << 48), k2To50},
      {"2^51 < p < 2^52", uint64_t{1} << 51, uint64_t{1} << 52},
  };
  constexpr int ln = 20;
  for (const Range& zone : zones) {
    size_t roots = 0;
    int moduli = 0;
    for (int attempt = 0; attempt < 300 && roots < 30; ++attempt) {
      const Seeded seeded = RootsByEnumeration(rng, ln, zone.lo, zone.hi);
      if (seeded.roots.empty()) continue;
      ++moduli;
      roots += seeded.roots.size();
      std::vector<int32_t> cand;
      for (uint32_t r : seeded.roots) {
        ASSERT_TRUE(RefIsRoot(r, ln, seeded.p));
        cand.push_back(static_cast<int32_t>(r));
        cand.push_back(RandomBase(rng));
      }
      std::shuffle(cand.begin(), cand.end(), rng);
      SCOPED_TRACE(zone.name);
      ExpectKernelsAgree(cand, ln, seeded.p, RefHits(cand, ln, seeded.p));
    }
    EXPECT_GE(roots, 30u) << zone.name;
    std::printf("%s, ln=%d: %zu roots of %d moduli\n", zone.name, ln, roots, moduli);
  }
}

// Moduli right at the edges where the vector kernel changes its path.
TEST(NormalKernels, ModuliAtTheVectorRangeEdges) {
  std::mt19937_64 rng(test::TestSeed());
  const uint64_t edges[] = {k2To31 - 1, k2To31 + 1, k2To31 + 3, k2To50 - 1, k2To50 + 1,
                            (uint64_t{1} << 52) - 1, (uint64_t{1} << 52) + 1, kTop - 1};
  for (uint64_t p : edges) {
    for (int ln : {1, 2, 5, 13, 20}) {
      for (size_t size : kSizes) {
        std::vector<int32_t> cand(size);
        for (int32_t& b : cand) b = RandomBase(rng);
        ExpectKernelsAgree(cand, ln, p, RefHits(cand, ln, p));
      }
    }
  }
  // 65537 = 2^16 + 1: 2 is a root for N = 16, 4 for N = 8, 16 for N = 4,
  // 256 for N = 2.
  const std::vector<int32_t> cand = {2, 4, 16, 256, 3, 65536, 65537 + 2, 65537 * 3 + 4};
  EXPECT_EQ(RefHits(cand, 4, 65537), (std::vector<uint32_t>{0, 6}));
  for (int ln = 1; ln <= 5; ++ln) ExpectKernelsAgree(cand, ln, 65537, RefHits(cand, ln, 65537));
}

// ---------------------------------------------------------------------------
// Batch Fermat tests

bool RefFermat(uint64_t p) { return RefPow(2, p - 1, p) == 1; }

TEST(FermatBatch, PseudoprimesListIsRight) {
  // Composite, yet 2^(p-1) == 1 (mod p): the test must pass them.
  for (uint64_t q : {341, 561, 645, 1105, 1387, 1729, 1905, 2047, 2465, 2701, 2821, 3277, 4033,
                     4369, 4371, 4681, 5461, 6601, 7957, 8321, 8481, 8911}) {
    EXPECT_FALSE(IsPrime(q)) << q;
    EXPECT_TRUE(RefFermat(q)) << q;
  }
}

std::vector<uint64_t> FermatPool(std::mt19937_64& rng, bool vectorRangeOnly) {
  std::vector<uint64_t> pool = {341,  561,  645,  1105, 1387, 1729, 1905, 2047,
                                2465, 2701, 2821, 3277, 4033, 4369, 4371, 4681,
                                5461, 6601, 7957, 8321, 8481, 8911};
  for (uint64_t q = 3; q < 100; q += 2) pool.push_back(q);
  const uint64_t hi = vectorRangeOnly ? k2To50 : kTop;
  for (int i = 0; i < 150; ++i) {
    const uint64_t v = RandomOddIn(rng, 101, hi);
    pool.push_back(v);  // mostly composite
    uint64_t q = v;
    while (!IsPrime(q) && q + 2 < hi) q += 2;
    pool.push_back(q);  // a prime
  }
  for (int i = 0; i < 30; ++i) {
    // Products of two primes, the composites hardest to tell from primes.
    const uint64_t a = RandomOddIn(rng, 3, 1 << 20);
    const uint64_t b = RandomOddIn(rng, 3, 1 << 20);
    pool.push_back(a * b);
  }
  pool.push_back(k2To50 - 1);
  pool.push_back(k2To31 - 1);
  pool.push_back(k2To31 + 1);
  if (!vectorRangeOnly) {
    for (uint64_t q : {k2To50 + 1, kTop - 1, kTop - 3, (uint64_t{1} << 52) + 1}) pool.push_back(q);
  }
  return pool;
}

TEST(FermatBatch, EveryLevelMatchesWidePowering) {
  PrintIsas();
  std::mt19937_64 rng(test::TestSeed());
  std::vector<Isa> levels = KernelIsas();
  levels.insert(levels.begin(), Isa::kAuto);
  for (const Isa isa : levels) {
    const FermatBatchFn fermat = FermatBatchFor(isa);
    ASSERT_NE(fermat, nullptr) << IsaName(isa);
    for (bool vectorRangeOnly : {true, false}) {
      const std::vector<uint64_t> pool = FermatPool(rng, vectorRangeOnly);
      int passes = 0;
      for (int n = 1; n <= 40; ++n) {
        for (int rep = 0; rep < 12; ++rep) {
          std::vector<uint64_t> p(n);
          for (uint64_t& q : p) q = pool[RandomIn(rng, 0, pool.size())];
          // Every answer preset to the wrong one; entries past n are guards.
          bool pass[48];
          for (int i = 0; i < 48; ++i) pass[i] = (i < n) ? !RefFermat(p[i]) : (i % 3 == 0);
          fermat(p.data(), n, pass);
          for (int i = 0; i < n; ++i) {
            ASSERT_EQ(pass[i], RefFermat(p[i]))
                << IsaName(isa) << " n=" << n << " lane " << i << " p=" << p[i];
            passes += pass[i];
          }
          for (int i = n; i < 48; ++i) ASSERT_EQ(pass[i], i % 3 == 0) << "wrote past n=" << n;
        }
      }
      EXPECT_GT(passes, 1000);
    }
  }
}

}  // namespace
