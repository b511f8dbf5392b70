// The wide-range mode: the root kernels against roots computed here with
// 128-bit arithmetic, and the wide jobs end to end on small ranges (the files
// they write read back and compared with the normal mode, with one
// uninterrupted run, and across threads and kernels).
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <utility>

#include "TestMath.h"
#include "TestUtil.h"
#include "files/PNumber.h"
#include "files/CandidateFiles.h"
#include "sieve/JobTestUtil.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {
namespace {

using test::Contains;
using test::PowMod128;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

// --- independent arithmetic ------------------------------------------------------

uint64_t MulMod(uint64_t a, uint64_t b, uint64_t m) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % m);
}

using test::IsPrime;

// A random prime p = k*2N + 1 with lo <= p < hi.
uint64_t RandomPrime(std::mt19937_64& rng, uint64_t n, uint64_t lo, uint64_t hi) {
  const uint64_t kLo = (lo - 1 + 2 * n - 1) / (2 * n);
  const uint64_t kHi = (hi - 2) / (2 * n);
  std::uniform_int_distribution<uint64_t> dist(std::max<uint64_t>(kLo, 1), kHi);
  for (;;) {
    const uint64_t p = dist(rng) * 2 * n + 1;
    if (p >= lo && p < hi && IsPrime(p)) return p;
  }
}

// g^k for the first g >= 2 with g^((p-1)/2) == -1: an element of order 2N.
uint64_t PrimitiveRoot2N(uint64_t p, uint64_t n) {
  for (uint64_t g = 2;; ++g) {
    if (PowMod128(g, (p - 1) / 2, p) == p - 1) return PowMod128(g, (p - 1) / (2 * n), p);
  }
}

// {a0^j : j odd, 1 <= j < 2N}, sorted.
std::vector<uint32_t> AllRootsUpTo(uint64_t p, uint64_t a0, uint64_t n, uint64_t bMax) {
  std::vector<uint32_t> roots;
  const uint64_t a2 = MulMod(a0, a0, p);
  uint64_t x = a0;
  for (uint64_t j = 1; j < 2 * n; j += 2) {
    if (x <= bMax) roots.push_back(static_cast<uint32_t>(x));
    x = MulMod(x, a2, p);
  }
  std::sort(roots.begin(), roots.end());
  return roots;
}

// The stored sequence of a pass, from the two storing orders: stage r holds
// x_j = a0^(32r + j) for j = 1, 3, ..., 31.
std::vector<uint32_t> ExpectedSequence(uint64_t p, uint64_t a0, uint64_t n, uint64_t bMax,
                                       bool athlonOrder) {
  std::vector<uint32_t> out;
  uint64_t x[32] = {};  // x[j] for odd j
  x[1] = a0;
  const uint64_t a2 = MulMod(a0, a0, p);
  for (int j = 3; j < 32; j += 2) x[j] = MulMod(x[j - 2], a2, p);
  const uint64_t step = MulMod(x[31], a0, p);
  auto offer = [&](uint64_t v) {
    if (v <= bMax) out.push_back(static_cast<uint32_t>(v));
  };
  for (uint64_t stage = 0; stage < n / 32; ++stage) {
    if (athlonOrder) {
      for (int j = 1; j < 32; j += 2) offer(x[j]);
      for (int j = 1; j < 32; j += 2) offer(p - x[j]);
    } else {
      for (int j = 1; j < 32; j += 4) {
        if (j == 29 && stage > 0) {
          offer(x[29]);
          offer(p - x[29]);
          offer(x[31]);
          offer(p - x[31]);
        } else {
          offer(x[j]);
          offer(x[j + 2]);
          offer(p - x[j]);
          offer(p - x[j + 2]);
        }
      }
    }
    for (int j = 1; j < 32; j += 2) x[j] = MulMod(x[j], step, p);
  }
  return out;
}

struct KernelCase {
  std::string name;
  WideKernelFn fn;
  bool athlonOrder;
};

std::vector<KernelCase> Kernels() {
  std::vector<KernelCase> kernels = {
      {"Athlon8xCondLoopArray", &Athlon8xCondLoopArray, true},
      {"WideSieveArray_SSE(auto)", WideSieveArray_SSE(Isa::kAuto), false},
      {"WideSieveArray_SSE(scalar)", WideSieveArray_SSE(Isa::kScalar), false},
  };
  if (IsaAvailable(Isa::kAvx2)) {
    kernels.push_back({"WideSieveArray_SSE(avx2)", WideSieveArray_SSE(Isa::kAvx2), false});
  }
  if (IsaAvailable(Isa::kAvx512)) {
    kernels.push_back({"WideSieveArray_SSE(avx512)", WideSieveArray_SSE(Isa::kAvx512), false});
  } else {
    std::printf("no AVX-512 IFMA here: the vector wide kernel is not exercised\n");
  }
  return kernels;
}

std::vector<uint32_t> RunKernel(const KernelCase& kernel, uint64_t p, uint64_t a0, uint64_t n,
                                int32_t bMax) {
  std::vector<uint32_t> roots;
  KernelScratch scratch;
  const bool complete = kernel.fn(p, a0, static_cast<int64_t>(n), bMax, roots,
                                  static_cast<size_t>(n) + 4, scratch);
  EXPECT_TRUE(complete) << kernel.name << " p=" << p;
  return roots;
}

std::vector<uint32_t> Sorted(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// --- kernels ---------------------------------------------------------------------

TEST(WideKernels, BMaxAboveEveryRootStoresAllNInEachKernelsOrder) {
  std::mt19937_64 rng(test::TestSeed());
  struct Case {
    uint64_t n;
    int primes;
  };
  for (const Case c : {Case{8192, 3}, Case{65536, 2}, Case{uint64_t{1} << 20, 1}}) {
    for (int i = 0; i < c.primes; ++i) {
      const uint64_t p = RandomPrime(rng, c.n, 2 * c.n, uint64_t{1} << 31);
      const uint64_t a0 = PrimitiveRoot2N(p, c.n);
      SCOPED_TRACE("N=" + std::to_string(c.n) + " p=" + std::to_string(p));
      ASSERT_EQ(PowMod128(a0, c.n, p), p - 1);
      const std::vector<uint32_t> all = AllRootsUpTo(p, a0, c.n, UINT64_MAX);
      ASSERT_EQ(all.size(), c.n);
      // N distinct solutions of x^N == -1: the whole root set.
      EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
      if (c.n <= 65536) {
        for (uint32_t r : all) ASSERT_EQ(PowMod128(r, c.n, p), p - 1) << r;
      }
      const std::vector<uint32_t> athlon = ExpectedSequence(p, a0, c.n, INT32_MAX, true);
      const std::vector<uint32_t> sse = ExpectedSequence(p, a0, c.n, INT32_MAX, false);
      for (const KernelCase& kernel : Kernels()) {
        const std::vector<uint32_t> roots = RunKernel(kernel, p, a0, c.n, INT32_MAX);
        EXPECT_EQ(roots.size(), c.n) << kernel.name;
        EXPECT_EQ(Sorted(roots), all) << kernel.name;
        EXPECT_TRUE(roots == (kernel.athlonOrder ? athlon : sse)) << kernel.name << " order";
      }
    }
  }
}

TEST(WideKernels, LargePrimesKeepExactlyTheRootsUpToBMax) {
  std::mt19937_64 rng(test::TestSeed());
  constexpr uint64_t k2to51 = uint64_t{1} << 51;
  struct Case {
    uint64_t n, lo, hi;
    int primes;
  };
  const Case cases[] = {
      {8192, uint64_t{1} << 32, uint64_t{1} << 38, 2},  // hundreds of roots below 2^31
      {8192, uint64_t{1} << 38, k2to51, 2},             // the vector kernel's range
      {8192, k2to51, uint64_t{1} << 61, 2},             // beyond it: portable arithmetic
      {65536, uint64_t{1} << 40, k2to51, 2},
      {65536, k2to51, uint64_t{1} << 61, 1},
      {uint64_t{1} << 20, uint64_t{1} << 44, k2to51, 1},
  };
  std::uniform_int_distribution<int32_t> anyBMax(0, INT32_MAX);
  for (const Case& c : cases) {
    for (int i = 0; i < c.primes; ++i) {
      const uint64_t p = RandomPrime(rng, c.n, c.lo, c.hi);
      const uint64_t a0 = PrimitiveRoot2N(p, c.n);
      SCOPED_TRACE("N=" + std::to_string(c.n) + " p=" + std::to_string(p));
      for (const int32_t bMax : {INT32_MAX, anyBMax(rng)}) {
        const std::vector<uint32_t> kept = AllRootsUpTo(p, a0, c.n, static_cast<uint64_t>(bMax));
        const std::vector<uint32_t> athlon = ExpectedSequence(p, a0, c.n, bMax, true);
        const std::vector<uint32_t> sse = ExpectedSequence(p, a0, c.n, bMax, false);
        for (const KernelCase& kernel : Kernels()) {
          const std::vector<uint32_t> roots = RunKernel(kernel, p, a0, c.n, bMax);
          EXPECT_EQ(Sorted(roots), kept) << kernel.name << " bMax=" << bMax;
          EXPECT_TRUE(roots == (kernel.athlonOrder ? athlon : sse)) << kernel.name << " order";
        }
      }
    }
  }
}

// The primes of the boundary test: one below 2^31, one in the vector kernel's
// range, one above 2^51 with at least one root below 2^31 (N = 2^20 gives
// about one such root per p near 2^51).
TEST(WideKernels, ARootEqualToBMaxIsStoredAndBMaxOneBelowItIsNot) {
  std::mt19937_64 rng(test::TestSeed());
  struct Case {
    uint64_t n, lo, hi;
  };
  const Case cases[] = {{8192, 1 << 20, uint64_t{1} << 31},
                        {65536, uint64_t{1} << 40, uint64_t{1} << 44},
                        {uint64_t{1} << 20, uint64_t{1} << 51, uint64_t{1} << 52}};
  for (const Case& c : cases) {
    uint64_t p = 0, a0 = 0;
    std::vector<uint32_t> low;
    for (int tries = 0; tries < 40 && low.empty(); ++tries) {
      p = RandomPrime(rng, c.n, c.lo, c.hi);
      a0 = PrimitiveRoot2N(p, c.n);
      low = AllRootsUpTo(p, a0, c.n, INT32_MAX);
    }
    SCOPED_TRACE("N=" + std::to_string(c.n) + " p=" + std::to_string(p));
    ASSERT_FALSE(low.empty());
    const size_t mid = low.size() / 2;
    for (const KernelCase& kernel : Kernels()) {
      const int32_t smallest = static_cast<int32_t>(low[0]);
      EXPECT_EQ(RunKernel(kernel, p, a0, c.n, smallest), std::vector<uint32_t>{low[0]})
          << kernel.name;
      EXPECT_TRUE(RunKernel(kernel, p, a0, c.n, smallest - 1).empty()) << kernel.name;
      const int32_t middle = static_cast<int32_t>(low[mid]);
      EXPECT_EQ(RunKernel(kernel, p, a0, c.n, middle).size(), mid + 1) << kernel.name;
      EXPECT_EQ(RunKernel(kernel, p, a0, c.n, middle - 1).size(), mid) << kernel.name;
    }
  }
}

TEST(WideKernels, AFullBufferEndsThePassWithAPrefixOfTheOrder) {
  std::mt19937_64 rng(test::TestSeed());
  constexpr uint64_t kN8k = 8192;
  const uint64_t p = RandomPrime(rng, kN8k, uint64_t{1} << 24, uint64_t{1} << 31);
  const uint64_t a0 = PrimitiveRoot2N(p, kN8k);
  SCOPED_TRACE("p=" + std::to_string(p));
  for (const KernelCase& kernel : Kernels()) {
    const std::vector<uint32_t> expected =
        ExpectedSequence(p, a0, kN8k, INT32_MAX, kernel.athlonOrder);
    std::vector<uint32_t> roots;
    KernelScratch scratch;
    EXPECT_FALSE(kernel.fn(p, a0, kN8k, INT32_MAX, roots, 100, scratch)) << kernel.name;
    ASSERT_LE(roots.size(), 100u) << kernel.name;
    EXPECT_TRUE(std::equal(roots.begin(), roots.end(), expected.begin())) << kernel.name;
  }
}

// --- jobs end to end ---------------------------------------------------------------

constexpr int32_t kBMin = 1200000;
constexpr int32_t kBMax = 1204000;
constexpr int32_t kN = 65536;
constexpr int kLn = 16;

template <typename Before>
test::JobRun RunWide(const SieveJob& job, Before before) {
  RecordingSink sink;
  CGfnThread thread(job, sink, /*wideMath=*/1);
  before(thread);
  thread.Run();
  return test::JobRun{sink.Messages(), sink.LogLines(), thread.Failed()};
}

test::JobRun RunWide(const SieveJob& job) {
  return RunWide(job, [](CGfnThread&) {});
}

SieveJob NewJob(const ScratchDir& dir, uint64_t pMax, int threads = 1, int noSimd = 0) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = kBMin;
  job.m_nBMax = kBMax;
  job.m_nExponent = kN;
  job.m_nLn = kLn;
  job.m_strFactorOut = dir / "factors.txt";
  job.m_strSieveOut = dir / "cands.txt";
  job.m_pMax = pMax;
  job.m_threads = threads;
  job.m_bNoSSE2 = noSimd;
  return job;
}

SieveJob ResumeJob(const std::string& sieveIn, const std::string& factorOut,
                   const std::string& sieveOut, uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strSieveIn = sieveIn;
  job.m_strFactorOut = factorOut;
  job.m_strSieveOut = sieveOut;
  job.m_pMax = pMax;
  job.m_threads = 2;
  return job;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct WideFactor {
  int32_t b = 0;
  int32_t n = 0;
  uint64_t p = 0;
};

// The factor lines of a wide factor file, in file order.
std::vector<WideFactor> WideFactors(const std::string& text) {
  std::vector<WideFactor> out;
  for (const std::string& line : Lines(text)) {
    WideFactor f;
    int64_t p = 0;
    if (std::sscanf(line.c_str(), "1*%d^%d + 1 factor : %" SCNd64, &f.b, &f.n, &p) == 3) {
      f.p = static_cast<uint64_t>(p);
      out.push_back(f);
    }
  }
  return out;
}

std::set<std::pair<int32_t, uint64_t>> FactorSet(const std::vector<WideFactor>& factors) {
  std::set<std::pair<int32_t, uint64_t>> out;
  for (const WideFactor& f : factors) out.emplace(f.b, f.p);
  return out;
}

std::set<std::pair<int32_t, uint64_t>> NormalFactorSet(const std::string& text) {
  std::set<std::pair<int32_t, uint64_t>> out;
  for (const std::string& line : Lines(text)) {
    int32_t b = 0, n = 0;
    int64_t p = 0;
    if (std::sscanf(line.c_str(), "%d^%d+1 has factor %" SCNd64, &b, &n, &p) == 3) {
      out.emplace(b, static_cast<uint64_t>(p));
    }
  }
  return out;
}

std::set<int32_t> CandidateBases(const std::string& text) {
  std::set<int32_t> out;
  for (const std::string& line : Lines(text)) {
    if (line.find("ABC") == 0) continue;
    out.insert(std::stoi(line));
  }
  return out;
}

int64_t Depth(const std::string& candidateFile) {
  UInt128 depth = 0;
  EXPECT_TRUE(ParseCandidateHeader(candidateFile, depth));
  return depth;
}

// Every base of the range is either a candidate or struck, never both.
void ExpectPartition(const std::string& candidates, const std::string& factors) {
  const std::set<int32_t> left = CandidateBases(candidates);
  std::set<int32_t> struck;
  for (const WideFactor& f : WideFactors(factors)) {
    EXPECT_TRUE(struck.insert(f.b).second) << f.b << " struck twice";
    EXPECT_EQ(left.count(f.b), 0u) << f.b << " struck and still a candidate";
  }
  EXPECT_EQ(left.size() + struck.size(), static_cast<size_t>((kBMax - kBMin) / 2 + 1));
}

TEST(WideJobs, WideAndNormalModesStrikeTheSameBasesWithTheSameFactors) {
  constexpr uint64_t kP = 1000000000;
  ScratchDir wide, normal;
  const test::JobRun run = RunWide(NewJob(wide, kP));
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Quenbry wide math algorithm selected."));
  EXPECT_TRUE(Contains(run.log, "Stop request received."));
  EXPECT_EQ(run.messages.back(), "@");
  ASSERT_FALSE(test::RunJob(NewJob(normal, kP, 2)).failed);

  const std::string wideCands = ReadFile(wide / "cands.txt");
  EXPECT_EQ(wideCands, ReadFile(normal / "cands.txt"));
  EXPECT_GT(Depth(wideCands), 900000000);
  const std::string wideText = ReadFile(wide / "factors.txt");
  const std::vector<WideFactor> factors = WideFactors(wideText);
  EXPECT_GT(factors.size(), 50u);
  EXPECT_EQ(FactorSet(factors), NormalFactorSet(ReadFile(normal / "factors.txt")));
  ExpectPartition(wideCands, wideText);

  // The wide file's own layout: header and empty line, then lines in
  // increasing p, even bases only, each a true factor.
  EXPECT_EQ(wideText.rfind("Zentrova for k^65536+1 [k == 1200000 to 1204000]\n\n", 0), 0u);
  for (size_t i = 0; i < factors.size(); ++i) {
    const WideFactor& f = factors[i];
    EXPECT_EQ(f.n, kN);
    EXPECT_EQ(f.b % 2, 0) << f.b;
    EXPECT_TRUE(IsPrime(f.p)) << f.p;
    EXPECT_EQ(PowMod128(static_cast<uint64_t>(f.b), kN, f.p), f.p - 1) << f.b << " " << f.p;
    if (i > 0) {
      EXPECT_LE(factors[i - 1].p, f.p) << "line " << i;
    }
  }
}

TEST(WideJobs, ExponentsBelowThirtyTwoStrikeExactlyTheBasesOfTheNormalModeAndBruteForce) {
  // Below N = 32 a stage of the walk is longer than the N roots; and a prime
  // b^N + 1 must not strike b (2^16+1 = 65537, 4^2+1 = 17, ...).
  constexpr uint64_t kP = 100000;
  for (int ln = 1; ln <= 6; ++ln) {
    const int32_t n = 1 << ln;
    SCOPED_TRACE("N " + std::to_string(n));
    ScratchDir wide, normal;
    SieveJob job = NewJob(wide, kP, 2);
    job.m_nBMin = 2;
    job.m_nBMax = 200;
    job.m_nExponent = n;
    job.m_nLn = ln;
    ASSERT_FALSE(RunWide(job).failed);
    job.m_strFactorOut = normal / "factors.txt";
    job.m_strSieveOut = normal / "cands.txt";
    ASSERT_FALSE(test::RunJob(job).failed);

    std::vector<int32_t> bases;
    for (int32_t b = 2; b <= 200; b += 2) bases.push_back(b);
    const test::BruteForce bf = test::SmallestFactors(bases, static_cast<uint64_t>(n), kP);
    std::set<std::pair<int32_t, uint64_t>> expected;
    for (size_t i = 0; i < bases.size(); ++i) {
      if (bf.factorOf[i] != 0) expected.emplace(bases[i], bf.factorOf[i]);
    }
    EXPECT_GT(expected.size(), 10u);
    EXPECT_EQ(FactorSet(WideFactors(ReadFile(wide / "factors.txt"))), expected);
    EXPECT_EQ(NormalFactorSet(ReadFile(normal / "factors.txt")), expected);
    EXPECT_EQ(ReadFile(wide / "cands.txt"), ReadFile(normal / "cands.txt"));
  }
}

// The loop retold with the arithmetic of this file: for every prime p up to
// pMax, a0 = g^k for the first g of 2, 3, 5, 7, 9, ... that is not a square,
// the kernel's storing order, and each root r with its multiples r + jp.
// Returns the factor file and sets the candidate file.
std::string IndependentWideRun(uint64_t pMax, bool athlonOrder, std::string* candidates) {
  std::vector<bool> left(static_cast<size_t>((kBMax - kBMin) / 2 + 1), true);
  std::ostringstream factors;
  factors << "Zentrova for k^" << kN << "+1 [k == " << kBMin << " to " << kBMax << "]\n\n";
  uint64_t depth = 0;
  for (uint64_t k = 1; k * 2 * kN + 1 <= pMax; ++k) {
    const uint64_t p = k * 2 * kN + 1;
    if (!test::IsFactorCandidate(p)) continue;
    depth = p;
    if (!IsPrime(p)) continue;
    uint64_t a0 = 0;
    for (uint64_t g = 2;; g += g == 2 ? 1 : 2) {
      a0 = PowMod128(g, k, p);
      if (PowMod128(a0, kN, p) != 1) break;
    }
    for (uint32_t r : ExpectedSequence(p, a0, kN, kBMax, athlonOrder)) {
      for (uint64_t u = r; u <= static_cast<uint64_t>(kBMax); u += p) {
        const size_t i = static_cast<size_t>((u - kBMin) / 2);
        if (u % 2 == 0 && u >= static_cast<uint64_t>(kBMin) && left[i]) {
          left[i] = false;
          factors << "1*" << u << "^" << kN << " + 1 factor : " << p << "\n";
        }
      }
    }
  }
  std::ostringstream cands;
  cands << "ABC $a^$b+1 // " << depth << "\n";
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i]) cands << kBMin + 2 * static_cast<int32_t>(i) << " " << kN << "\n";
  }
  *candidates = cands.str();
  return factors.str();
}

TEST(WideJobs, FilesAreThoseOfAnIndependentWalkInEachKernelsOrder) {
  constexpr uint64_t kP = 300000000;
  std::string unused;
  // Here the two orders do give different files.
  ASSERT_NE(IndependentWideRun(kP, true, &unused), IndependentWideRun(kP, false, &unused));
  for (int noSimd : {0, 1}) {
    SCOPED_TRACE("noSimd " + std::to_string(noSimd));
    ScratchDir dir;
    ASSERT_FALSE(RunWide(NewJob(dir, kP, 2, noSimd)).failed);
    std::string cands;
    const std::string factors = IndependentWideRun(kP, noSimd == 1, &cands);
    EXPECT_EQ(ReadFile(dir / "factors.txt"), factors);
    EXPECT_EQ(ReadFile(dir / "cands.txt"), cands);
  }
}

TEST(WideJobs, NewJobSeedsEveryOtherBaseAndOddBasesAreNeverStruck) {
  // Nothing sieved: the first candidate lies above the p limit.
  {
    ScratchDir dir;
    SieveJob job = NewJob(dir, 100);
    job.m_nBMin = 10;
    job.m_nBMax = 20;
    job.m_nExponent = 8192;
    job.m_nLn = 13;
    ASSERT_FALSE(RunWide(job).failed);
    EXPECT_EQ(ReadFile(dir / "cands.txt"),
              "ABC $a^$b+1 // 0\n10 8192\n12 8192\n14 8192\n16 8192\n18 8192\n20 8192\n");
    EXPECT_EQ(ReadFile(dir / "factors.txt"), "Zentrova for k^8192+1 [k == 10 to 20]\n\n");
  }
  // An odd b Min would seed odd bases, which no root strikes: the job is
  // refused before it writes either file.
  {
    ScratchDir dir;
    SieveJob job = NewJob(dir, 200000000);
    job.m_nBMin = kBMin + 1;
    const test::JobRun run = RunWide(job);
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(run.log.back(),
              "b Min 1200001 is odd: the wide mode sieves even bases only, and b^N+1 is even for "
              "every odd b, so a range of odd bases holds no prime.  Nothing was sieved.");
    EXPECT_FALSE(std::filesystem::exists(dir / "factors.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "cands.txt"));
  }
}

TEST(WideJobs, ResumeAppendsToTheFactorFileAndEqualsOneRun) {
  constexpr uint64_t kP1 = 300000000;
  constexpr uint64_t kP2 = 1000000000;
  ScratchDir dir, whole;
  ASSERT_FALSE(RunWide(NewJob(dir, kP1)).failed);
  const std::string firstFactors = ReadFile(dir / "factors.txt");
  const test::JobRun resumed =
      RunWide(ResumeJob(dir / "cands.txt", dir / "factors.txt", dir / "cands2.txt", kP2));
  ASSERT_FALSE(resumed.failed);
  ASSERT_FALSE(RunWide(NewJob(whole, kP2)).failed);

  const std::string wholeCands = ReadFile(whole / "cands.txt");
  EXPECT_EQ(ReadFile(dir / "cands2.txt"), wholeCands);
  const std::string resumedFactors = ReadFile(dir / "factors.txt");
  ASSERT_EQ(resumedFactors.rfind(firstFactors, 0), 0u);
  const std::string appended = resumedFactors.substr(firstFactors.size());
  ASSERT_EQ(appended.rfind("\nContinuing Sieve\n\n", 0), 0u);
  // Without the resume's marker the file is the one run's file, line for line.
  const std::string wholeFactors = ReadFile(whole / "factors.txt");
  EXPECT_EQ(firstFactors + appended.substr(19), wholeFactors);
  EXPECT_GT(WideFactors(firstFactors).size(), 10u);
  EXPECT_GT(WideFactors(appended).size(), 10u);
  // The range shown after the resume is the pair's, from the factor file's
  // header, not the span of the bases still left.
  EXPECT_TRUE(Contains(resumed.messages, "& 1200000 1204000 65536"));
}

TEST(WideJobs, AResumeAfterAKillWritesEachFactorOnceAndDropsACutLine) {
  // A run killed after its last save: five factor lines beyond the candidate
  // file's depth, then a line cut short.
  constexpr uint64_t kP1 = 300000000;
  constexpr uint64_t kP2 = 1000000000;
  ScratchDir dir, whole;
  ASSERT_FALSE(RunWide(NewJob(dir, kP1)).failed);
  ASSERT_FALSE(RunWide(NewJob(whole, kP2)).failed);
  const std::string firstFactors = ReadFile(dir / "factors.txt");
  const std::string wholeFactors = ReadFile(whole / "factors.txt");
  ASSERT_EQ(wholeFactors.compare(0, firstFactors.size(), firstFactors), 0);
  size_t kept = firstFactors.size();
  for (int i = 0; i < 5; ++i) kept = wholeFactors.find('\n', kept) + 1;
  const std::string torn = wholeFactors.substr(kept, 30);
  ASSERT_EQ(torn.find('\n'), std::string::npos);
  WriteFile(dir / "factors.txt", wholeFactors.substr(0, kept) + torn);

  const int64_t depth1 = Depth(ReadFile(dir / "cands.txt"));
  const test::JobRun resumed =
      RunWide(ResumeJob(dir / "cands.txt", dir / "factors.txt", dir / "cands.txt", kP2));
  ASSERT_FALSE(resumed.failed) << resumed.log.back();
  EXPECT_TRUE(Contains(resumed.log, "5 bases were struck beyond the depth " +
                                        std::to_string(depth1) + " of " + (dir / "cands.txt") +
                                        " before the last run ended; their factors are in " +
                                        (dir / "factors.txt") + ", and they leave the candidates."));
  EXPECT_TRUE(Contains(resumed.log, "Factor file " + (dir / "factors.txt") +
                                        " ended in a line cut short, which was removed: " + torn));
  EXPECT_EQ(ReadFile(dir / "cands.txt"), ReadFile(whole / "cands.txt"));
  EXPECT_EQ(ReadFile(dir / "factors.txt"), wholeFactors.substr(0, kept) +
                                               "\nContinuing Sieve\n\n" + wholeFactors.substr(kept));
}

TEST(WideJobs, FilesAreIdenticalForAnyThreadCountAndKernel) {
  constexpr uint64_t kP = 500000000;
  std::map<int, std::string> factorsOf;  // per m_bNoSSE2, with one thread
  std::string cands;
  for (int noSimd : {0, 1}) {
    for (int threads : {1, 2, 8}) {
      ScratchDir dir;
      ASSERT_FALSE(RunWide(NewJob(dir, kP, threads, noSimd)).failed);
      const std::string c = ReadFile(dir / "cands.txt");
      const std::string f = ReadFile(dir / "factors.txt");
      SCOPED_TRACE(std::to_string(threads) + " threads, noSimd " + std::to_string(noSimd));
      if (cands.empty()) cands = c;
      EXPECT_EQ(c, cands);
      if (threads == 1) factorsOf[noSimd] = f;
      EXPECT_EQ(f, factorsOf[noSimd]);
    }
  }
  // The two kernels store a p's roots in different orders; the lines of one
  // p may come in another order, nothing else.
  std::vector<std::string> a = Lines(factorsOf[0]), b = Lines(factorsOf[1]);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
  std::vector<uint64_t> pa, pb;
  for (const WideFactor& f : WideFactors(factorsOf[0])) pa.push_back(f.p);
  for (const WideFactor& f : WideFactors(factorsOf[1])) pb.push_back(f.p);
  EXPECT_EQ(pa, pb);
  // The portable walk in the vector kernel's order writes the same file.
  ScratchDir scalar;
  SieveJob job = NewJob(scalar, kP, 2, 0);
  job.m_isa = Isa::kScalar;
  ASSERT_FALSE(RunWide(job).failed);
  EXPECT_EQ(ReadFile(scalar / "factors.txt"), factorsOf[0]);
  EXPECT_EQ(ReadFile(scalar / "cands.txt"), cands);
}

TEST(WideJobs, AStoppedJobLeavesConsistentFilesThatResumeCorrectly) {
  constexpr uint64_t kP = 2000000000;
  ScratchDir dir, whole;
  const test::JobRun stopped = RunWide(NewJob(dir, kP), [](CGfnThread& t) { t.RequestStop(); });
  ASSERT_FALSE(stopped.failed);
  EXPECT_TRUE(Contains(stopped.log, "Stop request received."));
  const std::string cands = ReadFile(dir / "cands.txt");
  const int64_t depth = Depth(cands);
  EXPECT_GT(depth, 0);
  EXPECT_LE(depth, static_cast<int64_t>(kP));
  ExpectPartition(cands, ReadFile(dir / "factors.txt"));

  ASSERT_FALSE(
      RunWide(ResumeJob(dir / "cands.txt", dir / "factors.txt", dir / "cands2.txt", kP)).failed);
  ASSERT_FALSE(RunWide(NewJob(whole, kP)).failed);
  EXPECT_EQ(ReadFile(dir / "cands2.txt"), ReadFile(whole / "cands.txt"));
  std::string resumedFactors = ReadFile(dir / "factors.txt");
  const size_t marker = resumedFactors.find("\nContinuing Sieve\n\n");
  ASSERT_NE(marker, std::string::npos);
  resumedFactors.erase(marker, 19);
  EXPECT_EQ(resumedFactors, ReadFile(whole / "factors.txt"));
}

TEST(WideJobs, AResumeStartsWithTheCandidateAfterTheFilesDepth) {
  constexpr uint64_t kN8k = 8192;
  constexpr int32_t kLo = 1000, kHi = 3000;
  // The first prime p = k*2N + 1 that divides b^N + 1 for an even b in range.
  uint64_t pHit = 0;
  std::set<int32_t> struck;
  for (uint64_t k = 1; struck.empty(); ++k) {
    pHit = k * 2 * kN8k + 1;
    if (!IsPrime(pHit)) continue;
    for (int32_t b = kLo; b <= kHi; b += 2) {
      if (PowMod128(static_cast<uint64_t>(b), kN8k, pHit) == pHit - 1) struck.insert(b);
    }
  }
  std::string bases;
  std::string left;
  for (int32_t b = kLo; b <= kHi; b += 2) {
    bases += std::to_string(b) + " 8192\n";
    if (struck.count(b) == 0) left += std::to_string(b) + " 8192\n";
  }
  const std::string pHitText = std::to_string(pHit);
  struct Case {
    std::string header;
    bool sieved;
  };
  const Case cases[] = {{"ABC $a^$b+1 // " + std::to_string(pHit - 2 * kN8k) + "\n", true},
                        {"", true},  // no depth: from the first candidate
                        {"ABC $a^$b+1 // " + pHitText + "\n", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("header '" + c.header + "', p " + pHitText);
    ScratchDir dir;
    WriteFile(dir / "in.txt", c.header + bases);
    ASSERT_FALSE(RunWide(ResumeJob(dir / "in.txt", dir / "f.txt", dir / "out.txt", pHit)).failed);
    const std::string factors = ReadFile(dir / "f.txt");
    EXPECT_EQ(factors.rfind("Zentrova for k^8192+1 [k == 1000 to 3000]\n\n", 0), 0u);
    std::set<std::pair<int32_t, uint64_t>> expected;
    if (c.sieved) {
      for (int32_t b : struck) expected.emplace(b, pHit);
    }
    EXPECT_EQ(FactorSet(WideFactors(factors)), expected);
    EXPECT_EQ(ReadFile(dir / "out.txt"),
              "ABC $a^$b+1 // " + pHitText + "\n" + (c.sieved ? left : bases));
  }
}

TEST(WideJobs, UnusableResumeFilesEndTheJobWithoutOutput) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  const std::string out = dir / "out.txt";
  const std::string factors = dir / "factors.txt";
  auto resume = [&]() {
    std::filesystem::remove(out);
    std::filesystem::remove(factors);
    const test::JobRun run = RunWide(ResumeJob(in, factors, out, 100));
    EXPECT_TRUE(run.failed);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(factors));
    EXPECT_FALSE(run.log.empty());
    if (!run.log.empty()) {
      EXPECT_EQ(run.log.back(), "Thread terminted due to input file parsing failure.");
    }
    EXPECT_EQ(run.messages.back(), "@");
    return run.log;
  };

  {
    SCOPED_TRACE("missing file");
    const std::vector<std::string> log = resume();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Unable to open input candidate file " + in + ".");
  }
  {
    SCOPED_TRACE("exponent 12");
    WriteFile(in, "ABC $a^$b+1 // 1000\n10 12\n12 12\n");
    const std::vector<std::string> log = resume();
    EXPECT_TRUE(Contains(log, "Exponent 12 is not a proper power of 2 for GFN testing."));
  }
  {
    SCOPED_TRACE("a base of the other parity");
    WriteFile(in, "ABC $a^$b+1 // 1000\n10 8192\n13 8192\n14 8192\n");
    const std::vector<std::string> log = resume();
    const bool named = std::any_of(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(in) != std::string::npos && line.find("line 3") != std::string::npos &&
             line.find("13") != std::string::npos;
    });
    EXPECT_TRUE(named);
  }
  {
    const uint64_t seed = test::TestSeed();
    SCOPED_TRACE("binary bytes, seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::string junk;
    for (int i = 0; i < 4000; ++i) {
      char c = static_cast<char>(rng() & 0xff);
      if (c >= '0' && c <= '9') c = '\n';  // no number: no base, no exponent
      junk.push_back(c);
    }
    junk += std::string("\0\0\r\n\xff\xfe", 6);
    WriteFile(in, junk);
    resume();
  }
}

TEST(WideJobs, DuplicateBaseLinesCountOnce) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  WriteFile(in, "ABC $a^$b+1 // 0\n14 8192\n10 8192\n14 8192\n12 8192\n10 8192\n14 8192\n");
  const test::JobRun run = RunWide(ResumeJob(in, dir / "factors.txt", dir / "out.txt", 100));
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.messages, "& 10 14 8192"));
  for (const std::string& line : run.log) {
    EXPECT_EQ(line.find("Consistency error"), std::string::npos) << line;
  }
  EXPECT_EQ(ReadFile(dir / "out.txt"), "ABC $a^$b+1 // 0\n10 8192\n12 8192\n14 8192\n");
  // The resume point of the file's header stands when nothing is sieved.
  // (A factor file of its own: factors.txt now pairs with the range 10 to 14,
  // which 12 alone does not cover.)
  WriteFile(in, "ABC $a^$b+1 // 16385\n12 8192\n12 8192\n");
  ASSERT_FALSE(RunWide(ResumeJob(in, dir / "factors2.txt", dir / "out.txt", 100)).failed);
  EXPECT_EQ(ReadFile(dir / "out.txt"), "ABC $a^$b+1 // 16385\n12 8192\n");
}

// The top of the range in the wide mode: the two-word a0 search and walk
// take the last candidates below kKLimit (p near 2^83 for N = 2^20), and the
// run stops there with its line.
TEST(WideJobs, StopsBeforeKReachesItsLimit) {
  constexpr uint64_t kN20 = uint64_t{1} << 20;
  const UInt128 top = static_cast<UInt128>(kKLimit) * 2 * kN20 + 1;
  ScratchDir dir;
  SieveJob job = NewJob(dir, 0, 2);
  job.m_nBMin = 10;
  job.m_nBMax = 20;
  job.m_nExponent = static_cast<int32_t>(kN20);
  job.m_nLn = 20;
  job.m_pMin = static_cast<UInt128>(kKLimit - 300) * 2 * kN20 + 1;
  const test::JobRun run = RunWide(job);
  EXPECT_TRUE(Contains(run.log, "Stopping before p = " + PToString(top) +
                                    ": k must stay below 2^63 - 256."));
  EXPECT_TRUE(Contains(run.log, "Stop request received."));
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "cands.txt"), depth));
  EXPECT_GE(depth, job.m_pMin);
  EXPECT_LT(depth, top);
}

}  // namespace
}  // namespace zentrova
