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

std::vector<std::string> Failures(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& l : log) {
    if (l.find(" its check at p = ") != std::string::npos) out.push_back(l);
  }
  return out;
}

// A fault in the walk's step once in about 2^20 steps (a bit flipped in the
// middle of a long walk, as an overheated card does): short walks pass, the
// job's walks of N = 8192 meet it a few times. Each is caught by the walk's
// end check, the batch goes to the CPU, and after three the device is
// dropped; the files are the CPU's.
TEST(OpenClChecks, AFaultInTheMiddleOfLongWalksIsCaught) {
  REQUIRE_OPENCL();
  const ScopedExtraArithmetic rare(
      {"mont64rare", UInt128{1} << 62, "mont64, its step wrong once in 2^20"},
      Faulty("mod_mul_fixed", "num a, fixed b", "(r & 0xFFFFF) == 0x5A5A5"), 64);
  test::ScratchDir dir;
  const test::JobFiles cpu = Sieve(dir, "cpu", "", true, 8192, 100000, 0, 100000000, 0);
  const test::JobFiles gpu =
      Sieve(dir, "opencl:0", "mont64rare", true, 8192, 100000, 0, 100000000, 0);
  EXPECT_GT(cpu.factors.size(), 1000u);
  EXPECT_EQ(gpu.factors, cpu.factors);
  EXPECT_EQ(gpu.candidates, cpu.candidates);
  const std::vector<std::string> failures = Failures(gpu.log);
  ASSERT_FALSE(failures.empty());
  for (const std::string& l : failures) {
    EXPECT_NE(l.find("the GPU kernel mont64rare failed its check at p = "), std::string::npos) << l;
  }
}

// A fault in the products modulo one p (each wrong in its low bit), in
// launches of a few p: in normal mode the host checks each p's chains; in
// wide mode the a0 search passes the p over as composite, and the host
// searches every p passed over again. The p is named, and the files are
// the CPU's.
TEST(OpenClChecks, AFaultModuloOnePIsCaught) {
  REQUIRE_OPENCL();
  const struct {
    bool wide;
    int32_t bMax;
    UInt128 pMax;
    std::string mark;  // before the p of a factor line
    std::string failure;
  } cases[] = {
      {false, 3000, 21000000, " has factor ", "the GPU kernel mont64onep failed its check"},
      {true, 100000, 22000000, " factor : ", "its verdict of composite fails its check"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wide ? "wide" : "normal");
    test::ScratchDir dir;
    const test::JobFiles cpu = Sieve(dir, "cpu", "", c.wide, 1024, c.bMax, 20000000, c.pMax, 0);
    // The p of the CPU's first factor line.
    const size_t at = cpu.factors.find(c.mark);
    ASSERT_NE(at, std::string::npos);
    const std::string p =
        cpu.factors.substr(at + c.mark.size(), cpu.factors.find('\n', at) - at - c.mark.size());
    const ScopedExtraArithmetic onOneP(
        {"mont64onep", UInt128{1} << 62, "mont64, wrong modulo one p"},
        Faulty("mod_mul", "num a, num b", "m.p == " + p + "UL"), 64);
    const test::JobFiles gpu =
        Sieve(dir, "opencl:0", "mont64onep", c.wide, 1024, c.bMax, 20000000, c.pMax, 4);
    EXPECT_EQ(gpu.factors, cpu.factors);
    EXPECT_EQ(gpu.candidates, cpu.candidates);
    const std::vector<std::string> failures = Failures(gpu.log);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(c.failure + " at p = " + p + ";"), std::string::npos) << failures[0];
  }
}

}  // namespace
}  // namespace zentrova
