// The checks the GPU kernels make of their own results: the host's check
// values of the normal chains against GMP, the sample of them the host
// computes, and, on whatever OpenCL device is present (PoCL's CPU device in
// CI), whole jobs on an arithmetic with a planted fault that the checks must
// catch, the files staying the CPU run's, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "TestUtil.h"
#include "files/PNumber.h"
#include "gpu/ChainCheck.h"
#include "gpu/Devices.h"
#include "gpu/OpenClBackend.h"
#include "sieve/Config.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::u128;

TEST(ChainCheck, ValueIsTheXorOfTheFoldedEndsInTheArithmeticsForm) {
  const u128 one = 1;
  // Odd p on both sides of the one-word bound 2^62, of 2^64, and near 2^94
  // (prime or not: the value is defined for any odd p).
  const u128 ps[] = {12289, (one << 62) - 57, (one << 62) + 135, (one << 64) + 13, (one << 93) + 5};
  std::vector<int32_t> cand;
  for (int32_t b = 2; b < 400; b += 3) cand.push_back(b);
  cand.push_back(INT32_MAX);
  const int ln = 10;
  const uint32_t groups = 3;
  for (const u128 p : ps) {
    for (const int rBits : {0, 64, 96}) {
      const u128 r = test::GmpPowMod(2, static_cast<u128>(rBits), p);
      for (uint32_t g = 0; g < groups; ++g) {
        uint32_t want = 0;
        for (size_t j = g; j < cand.size(); j += groups) {
          const u128 v =
              test::GmpMulMod(test::GmpPowMod(static_cast<u128>(cand[j]), one << ln, p), r, p);
          want ^= static_cast<uint32_t>(v) ^ static_cast<uint32_t>(v >> 32) ^
                  static_cast<uint32_t>(v >> 64) ^ static_cast<uint32_t>(v >> 96);
        }
        EXPECT_EQ(ChainCheckValue(p, cand, ln, rBits, g, groups), want)
            << "p=" << test::Decimal(p) << " R=2^" << rBits << " group " << g;
      }
    }
  }
}

// The kernel takes a base's group with a mask: a power of two, at most the
// configured count, and groups of at least 64 bases where the list allows.
TEST(ChainCheck, GroupsAreAPowerOfTwoOfAtLeast64BasesEach) {
  for (const uint32_t nCand : {1u, 2u, 63u, 127u, 128u, 1500u, 8191u, 8192u, 100000u, 4000000u}) {
    const uint32_t groups = ChainCheckGroups(nCand);
    EXPECT_EQ(groups & (groups - 1), 0u) << nCand;
    EXPECT_LE(groups, config::kDeviceCheckGroups) << nCand;
    EXPECT_TRUE(groups == 1 || nCand / groups >= 64) << nCand;
    // Not fewer than it could be: twice as many would break a bound.
    EXPECT_TRUE(groups * 2 > config::kDeviceCheckGroups || nCand / (groups * 2) < 64) << nCand;
  }
}

TEST(ChainCheck, SampleTakesASmallLaunchWhollyAndAShareOfALargeOne) {
  struct Case {
    uint32_t count, groups;
    uint64_t size;  // cells sampled
  };
  const Case cases[] = {
      {1, 1, 1}, {3, 2, 6}, {8, 1, 8}, {2, 23, 8}, {1000, 64, 62}, {65536, 64, 4096},
  };
  for (const Case& c : cases) {
    for (const uint64_t round : {0, 1, 12345}) {
      SCOPED_TRACE(std::to_string(c.count) + " p, " + std::to_string(c.groups) + " groups, round " +
                   std::to_string(round));
      const std::vector<uint64_t> cells = ChainCheckSample(c.count, c.groups, round);
      ASSERT_EQ(cells.size(), c.size);
      EXPECT_TRUE(std::is_sorted(cells.begin(), cells.end()));
      EXPECT_EQ(std::adjacent_find(cells.begin(), cells.end()), cells.end());
      EXPECT_LT(cells.back(), uint64_t{c.count} * c.groups);
      // Spread: the first and the last quarter of the launch both sampled.
      EXPECT_LT(cells.front(), (uint64_t{c.count} * c.groups + 3) / 4);
      EXPECT_GE(cells.back(), uint64_t{c.count} * c.groups * 3 / 4);
    }
  }
}

// --- jobs on an arithmetic with a planted fault ---------------------------------

#define REQUIRE_OPENCL()                                                 \
  do {                                                                   \
    if (ListOpenClDevices().empty()) GTEST_SKIP() << "no OpenCL device"; \
  } while (0)

// mont64 with `function` (mod_mul or mod_mul_fixed) renamed and wrapped: the
// result r of the true one has its low bit flipped when `when` holds (of r,
// and of m.p, the modulus).
std::string Faulty(const std::string& function, const std::string& args, const std::string& when) {
  return "#define " + function + " " + function + "_true\n" + GpuArithmeticSource("mont64") +
         "#undef " + function + "\nZK_FN num " + function + "(" + args +
         ", modulus m) {\n  num r = " + function + "_true(a, b, m);\n  if (" + when +
         ") r ^= 1;\n  return r;\n}\n";
}

// A new sieve of k^N+1 for k from 2 to bMax on `device` with `kernel`.
test::JobFiles Sieve(const test::ScratchDir& dir, const std::string& device,
                     const std::string& kernel, bool wide, int32_t n, int32_t bMax, UInt128 pMin,
                     UInt128 pMax, int64_t batch) {
  SieveJob job = test::NewSieveJob(dir, device.substr(0, 3), n, 2, bMax, pMax, pMin);
  job.m_deviceBatch = batch;
  job.m_device = *DeviceChoice::Parse(device);
  job.m_gpuKernel = kernel;
  job.m_devices = &SystemDevices();
  test::JobFiles files = test::RunJobFiles(job, wide);
  EXPECT_FALSE(files.failed) << device << ": " << files.log.back();
  return files;
}

// Jobs on mont64 with a planted fault, each giving the CPU's files:
// - its walk step wrong once in about 2^20 steps (a bit flipped in the
//   middle of a long walk, as an overheated card does): short walks pass,
//   the job's walks of N = 8192 meet it a few times, each caught by the
//   walk's end check; the batch goes to the CPU, three drop the device;
// - its products wrong modulo one p (that of the CPU's first factor line),
//   in launches of 4 p: in normal mode the host's check of each p's chains
//   names it; in wide mode the a0 search passes it over as composite, and
//   the host's search of every p passed over names it.
TEST(OpenClChecks, APlantedFaultIsCaughtAndTheFilesAreTheCpus) {
  REQUIRE_OPENCL();
  const std::string kTheP = "{p}";
  const struct {
    std::string what;
    bool wide;
    int32_t n, bMax;
    UInt128 pMin, pMax;
    int64_t batch;
    std::string function, args, when;  // the fault (kTheP: the p of the first factor line)
    std::string mark;                  // before the p of a factor line
    std::string failure;               // each failure line says it, then " at p = "
    size_t minFactorBytes;
  } cases[] = {
      {"a rare step", true, 8192, 100000, 0, 100000000, 0, "mod_mul_fixed", "num a, fixed b",
       "(r & 0xFFFFF) == 0x5A5A5", " factor : ", "the GPU kernel mont64x failed its check", 1000},
      {"normal, one p", false, 1024, 3000, 20000000, 21000000, 4, "mod_mul", "num a, num b",
       "m.p == " + kTheP + "UL", " has factor ", "the GPU kernel mont64x failed its check", 0},
      {"wide, one p", true, 1024, 100000, 20000000, 22000000, 4, "mod_mul", "num a, num b",
       "m.p == " + kTheP + "UL", " factor : ", "its verdict of composite fails its check", 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScratchDir dir;
    const test::JobFiles cpu = Sieve(dir, "cpu", "", c.wide, c.n, c.bMax, c.pMin, c.pMax, 0);
    EXPECT_GT(cpu.factors.size(), c.minFactorBytes);
    const size_t at = cpu.factors.find(c.mark);
    ASSERT_NE(at, std::string::npos);
    const std::string p =
        cpu.factors.substr(at + c.mark.size(), cpu.factors.find('\n', at) - at - c.mark.size());
    std::string when = c.when;
    const size_t planted = when.find(kTheP);
    if (planted != std::string::npos) when.replace(planted, kTheP.size(), p);
    const ScopedExtraArithmetic faulty({"mont64x", UInt128{1} << 62, "mont64 with a planted fault"},
                                       Faulty(c.function, c.args, when), 64);
    const test::JobFiles gpu =
        Sieve(dir, "opencl:0", "mont64x", c.wide, c.n, c.bMax, c.pMin, c.pMax, c.batch);
    EXPECT_EQ(gpu.factors, cpu.factors);
    EXPECT_EQ(gpu.candidates, cpu.candidates);
    // Lines of a failed check; a fault at one p is named once.
    std::vector<std::string> failures;
    for (const std::string& l : gpu.log) {
      if (l.find(" its check at p = ") != std::string::npos) failures.push_back(l);
    }
    ASSERT_FALSE(failures.empty());
    if (planted != std::string::npos) {
      EXPECT_EQ(failures.size(), 1u);
    }
    for (const std::string& l : failures) {
      const std::string named = planted != std::string::npos ? p + ";" : "";
      EXPECT_NE(l.find(c.failure + " at p = " + named), std::string::npos) << l;
    }
  }
}

}  // namespace
}  // namespace zentrova
