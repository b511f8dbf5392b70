// The OpenCL kernels against independent arithmetic and the CPU kernels, on
// whatever OpenCL device is present (PoCL's CPU device in CI), and the jobs
// on a device against the same jobs on the CPU: the same files, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
#include "gpu/Devices.h"
#include "gpu/OpenClBackend.h"
#include "sieve/JobTestUtil.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {
namespace {

using test::IsPrime;
using test::PowMod128;

// The first OpenCL device, or a skip where there is none.
#define REQUIRE_OPENCL()                                                 \
  do {                                                                   \
    if (ListOpenClDevices().empty()) GTEST_SKIP() << "no OpenCL device"; \
  } while (0)

uint64_t RandomPrimeOf(std::mt19937_64& rng, uint64_t n, uint64_t lo, uint64_t hi) {
  std::uniform_int_distribution<uint64_t> dist((lo + 2 * n - 2) / (2 * n), (hi - 2) / (2 * n));
  for (;;) {
    const uint64_t p = dist(rng) * 2 * n + 1;
    if (p >= lo && p < hi && IsPrime(p)) return p;
  }
}

// g^((p-1)/2N) for the smallest g with g^((p-1)/2) == -1.
uint64_t RootOfUnity(uint64_t p, uint64_t n) {
  for (uint64_t g = 2;; ++g) {
    if (PowMod128(g, (p - 1) / 2, p) == p - 1) return PowMod128(g, (p - 1) / (2 * n), p);
  }
}

TEST(OpenClKernels, WideRootsEqualIndependentArithmeticAcrossExponentsAndRanges) {
  REQUIRE_OPENCL();
  OpenClBackend gpu(0);
  std::mt19937_64 rng(test::TestSeed());
  // p at the edges of the arithmetic: just above 2^31, around 2^50 and 2^52
  // (where the CPU's vector kernels hand over), and below 2^61.
  const std::pair<uint64_t, uint64_t> ranges[] = {{(uint64_t{1} << 31) + 1, uint64_t{1} << 33},
                                                  {uint64_t{1} << 49, uint64_t{1} << 51},
                                                  {uint64_t{1} << 52, uint64_t{1} << 53},
                                                  {uint64_t{1} << 60, (uint64_t{1} << 61) - 1}};
  for (int ln = 13; ln <= 22; ++ln) {
    const uint64_t n = uint64_t{1} << ln;
    std::vector<uint64_t> p, k;
    for (const auto& [lo, hi] : ranges) {
      p.push_back(RandomPrimeOf(rng, n, lo, hi));
      k.push_back((p.back() - 1) / (2 * n));
    }
    // A composite of the same form: no root of unity of order 2N.
    uint64_t c = p.back() + 2 * n;
    while (IsPrime(c)) c += 2 * n;
    p.push_back(c);
    k.push_back((c - 1) / (2 * n));
    // b Max high enough that a few roots of each p qualify.
    const int32_t bMax = INT32_MAX;
    std::vector<uint8_t> kind;
    std::vector<uint64_t> a0;
    std::vector<WideHit> hits;
    gpu.Wide(p, k, ln, static_cast<int64_t>(n), bMax, 300, kind, a0, hits);
    for (size_t i = 0; i + 1 < p.size(); ++i) {
      SCOPED_TRACE("N=2^" + std::to_string(ln) + " p=" + std::to_string(p[i]));
      ASSERT_EQ(kind[i], 2);
      ASSERT_EQ(a0[i], RootOfUnity(p[i], n));
      std::vector<uint32_t> want, got;
      uint64_t x = a0[i];
      const uint64_t a2 = test::MulMod128(a0[i], a0[i], p[i]);
      for (uint64_t j = 1; j < 2 * n; j += 2, x = test::MulMod128(x, a2, p[i])) {
        if (x <= static_cast<uint64_t>(bMax)) want.push_back(static_cast<uint32_t>(x));
      }
      for (const WideHit& h : hits) {
        if (h.index != i) continue;
        got.push_back(h.root);
        // The hit names its exponent: root = a0^j, or p - a0^j.
        const uint64_t xj = PowMod128(a0[i], h.j, p[i]);
        EXPECT_EQ(h.root, h.negated ? p[i] - xj : xj);
      }
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want);
    }
    EXPECT_EQ(kind.back(), 0) << "composite " << c;
  }
}

TEST(OpenClKernels, NormalHitsEqualThePortableKernel) {
  REQUIRE_OPENCL();
  OpenClBackend gpu(0);
  std::mt19937_64 rng(test::TestSeed());
  for (int ln : {1, 5, 13, 16, 22}) {
    const uint64_t n = uint64_t{1} << ln;
    std::vector<uint64_t> p;
    std::vector<int32_t> cand;
    for (uint64_t hi : {uint64_t{1} << 31, uint64_t{1} << 50, uint64_t{1} << 61}) {
      p.push_back(RandomPrimeOf(rng, n, std::max<uint64_t>(4 * n, hi >> 2), hi));
    }
    p.push_back(p.back() + 2 * n);  // prime or not, the kernels must agree
    std::uniform_int_distribution<int32_t> base(2, INT32_MAX);
    for (int i = 0; i < 300; ++i) cand.push_back(base(rng));
    // A sure hit: a root of unity of the first p, which is below 2^31.
    cand[150] = static_cast<int32_t>(RootOfUnity(p[0], n));
    std::vector<NormalHit> hits;
    gpu.Normal(p, cand, ln, hits);
    KernelScratch scratch;
    for (size_t i = 0; i < p.size(); ++i) {
      std::vector<uint32_t> want, got;
      NormalSieveArray(cand.data(), cand.size(), ln, p[i], want, scratch);
      for (const NormalHit& h : hits) {
        if (h.index == i) got.push_back(h.position);
      }
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, want) << "ln=" << ln << " p=" << p[i];
    }
    EXPECT_NE(std::find_if(hits.begin(), hits.end(),
                           [](const NormalHit& h) { return h.index == 0 && h.position == 150; }),
              hits.end());
  }
}

// --- jobs -------------------------------------------------------------------------

struct Files {
  std::string factors, candidates;
};

Files RunSieve(const test::ScratchDir& dir, const std::string& device, bool wide, int32_t n,
               int32_t bMin, int32_t bMax, uint64_t pMax, bool noSimd = false) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = n;
  job.m_nLn = ExponentLog2(n);
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_pMax = pMax;
  job.m_threads = 2;
  job.m_bNoSSE2 = noSimd ? 1 : 0;
  job.m_device = *DeviceChoice::Parse(device);
  job.m_devices = &SystemDevices();
  const std::string tag = device.substr(0, 3);
  job.m_strFactorOut = dir / ("f-" + tag + ".txt");
  job.m_strSieveOut = dir / ("c-" + tag + ".txt");
  const test::JobRun run = test::RunJob(
      job, [](CGfnThread&) {}, wide ? 1 : 0);
  EXPECT_FALSE(run.failed) << device;
  Files f{test::ReadFile(job.m_strFactorOut), test::ReadFile(job.m_strSieveOut)};
  // The normal factor file's first line holds the time of writing.
  if (!wide) f.factors = f.factors.substr(f.factors.find('\n') + 1);
  return f;
}

TEST(OpenClJobs, FilesAreByteIdenticalToTheCpusInBothModes) {
  REQUIRE_OPENCL();
  test::ScratchDir dir;
  struct Case {
    bool wide;
    int32_t n, bMin, bMax;
    uint64_t pMax;
    bool noSimd;
  };
  // Wide: the stage order of each CPU kernel, and the walk below N = 32;
  // p below b Max strikes multiples too.
  for (const Case& c :
       {Case{true, 1024, 2, 200000, 30000000, false}, Case{true, 2048, 2, 100000, 20000000, true},
        Case{true, 16, 2, 20000, 2000000, false}, Case{false, 1024, 2, 3000, 20000000, false},
        Case{false, 8192, 1000001, 1002001, 2000000000, false}}) {
    SCOPED_TRACE((c.wide ? "wide N=" : "normal N=") + std::to_string(c.n));
    const Files cpu = RunSieve(dir, "cpu", c.wide, c.n, c.bMin, c.bMax, c.pMax, c.noSimd);
    const Files gpu = RunSieve(dir, "opencl:0", c.wide, c.n, c.bMin, c.bMax, c.pMax, c.noSimd);
    EXPECT_GT(cpu.factors.size(), 100u);
    EXPECT_EQ(gpu.factors, cpu.factors);
    EXPECT_EQ(gpu.candidates, cpu.candidates);
  }
}

TEST(OpenClJobs, DeviceChoiceRefusesOrFallsBack) {
  test::ScratchDir dir;
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = 64;
  job.m_nLn = 6;
  job.m_nBMin = 2;
  job.m_nBMax = 100;
  job.m_pMax = 100000;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  job.m_device = DeviceChoice::Numbered("opencl", 99);
  job.m_devices = &SystemDevices();
  const test::JobRun missing = test::RunJob(job);
  EXPECT_TRUE(missing.failed);
  EXPECT_TRUE(std::any_of(missing.log.begin(), missing.log.end(), [](const std::string& l) {
    return l.find("Nothing was sieved.") != std::string::npos;
  }));
  EXPECT_FALSE(std::filesystem::exists(job.m_strSieveOut));
  // auto takes a GPU where there is one, else says so and runs on the CPU.
  job.m_device = DeviceChoice::Auto();
  const test::JobRun any = test::RunJob(job);
  EXPECT_FALSE(any.failed);
  const std::vector<DeviceInfo> devices = SystemDevices().List();
  const bool gpuPresent =
      std::any_of(devices.begin(), devices.end(), [](const DeviceInfo& d) { return d.gpu; });
  EXPECT_EQ(std::any_of(any.log.begin(), any.log.end(),
                        [](const std::string& l) {
                          return l.find("Running on the CPU.") != std::string::npos;
                        }),
            !gpuPresent);
}

}  // namespace
}  // namespace zentrova
