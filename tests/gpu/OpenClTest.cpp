// The OpenCL kernels against independent arithmetic and the CPU kernels, on
// whatever OpenCL device is present (PoCL's CPU device in CI), and the jobs
// on a device against the same jobs on the CPU: the same files, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "TestMath.h"
#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "gpu/Devices.h"
#include "files/PNumber.h"
#include "gpu/OpenClBackend.h"
#include "sieve/JobTestUtil.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {
namespace {


// The first OpenCL device, or a skip where there is none.
#define REQUIRE_OPENCL()                                                 \
  do {                                                                   \
    if (ListOpenClDevices().empty()) GTEST_SKIP() << "no OpenCL device"; \
  } while (0)

using test::u128;

// A random prime p = k*2N + 1 in [lo, hi).
u128 RandomPrimeOf(std::mt19937_64& rng, u128 n, u128 lo, u128 hi) {
  for (;;) {
    const u128 p = test::RandomU128(rng, (lo + 2 * n - 2) / (2 * n), (hi - 2) / (2 * n)) * 2 * n + 1;
    if (p >= lo && p < hi && test::GmpIsPrime(p)) return p;
  }
}

// g^((p-1)/2N) for the smallest g with g^((p-1)/2) == -1.
u128 RootOfUnity(u128 p, u128 n) {
  for (u128 g = 2;; ++g) {
    if (test::GmpPowMod(g, (p - 1) / 2, p) == p - 1) return test::GmpPowMod(g, (p - 1) / (2 * n), p);
  }
}

// The p of each arithmetic's tests for N: below 2^31 (its roots are bases),
// both sides of 2^32, below 2^50, and the top of its reach (to 2^94 or
// k = 2^63, across 2^64 for the three-limb one).
std::vector<std::pair<u128, u128>> EdgesOf(const GpuArithmetic& a, u128 n) {
  const u128 one = 1;
  std::vector<std::pair<u128, u128>> edges = {
      {one << 29, one << 31}, {(one << 31) + 1, one << 33}, {one << 49, one << 50}};
  const u128 top = std::min({a.bound, kMaxModulus128, (one << 63) * 2 * n});
  if (top > (one << 50)) edges.push_back({top / 4, top});
  if (top > (one << 64)) edges.push_back({(one << 64) - (one << 60), (one << 64) + (one << 60)});
  return edges;
}

// Each arithmetic forced in turn; one without double precision on this
// device is skipped.
template <typename Body>
void ForEachArithmetic(Body body) {
  for (const GpuArithmetic& a : GpuArithmetics()) {
    SCOPED_TRACE("GPU kernel " + a.name);
    std::unique_ptr<OpenClBackend> gpu;
    try {
      gpu = std::make_unique<OpenClBackend>(0, DeviceOptions{a.name, 0});
    } catch (const DeviceError& e) {
      if (std::string(e.what()).find("double precision") != std::string::npos) continue;
      throw;
    }
    EXPECT_EQ(gpu->PLimit(), a.bound);
    body(a, *gpu);
  }
}

TEST(OpenClKernels, EveryArithmeticsRootsEqualIndependentArithmeticAtItsEdges) {
  REQUIRE_OPENCL();
  std::mt19937_64 rng(test::TestSeed());
  ForEachArithmetic([&](const GpuArithmetic& arith, OpenClBackend& gpu) {
    for (const int ln : {4, 13, 18, 22}) {
      const u128 n = static_cast<u128>(1) << ln;
      std::vector<u128> p;
      std::vector<uint64_t> k;
      for (const auto& [lo, hi] : EdgesOf(arith, n)) {
        p.push_back(RandomPrimeOf(rng, n, lo, hi));
        k.push_back(static_cast<uint64_t>((p.back() - 1) / (2 * n)));
      }
      // A composite of the same form: no root of unity of order 2N.
      u128 c = p.back() + 2 * n;
      while (test::GmpIsPrime(c)) c += 2 * n;
      p.push_back(c);
      k.push_back(static_cast<uint64_t>((c - 1) / (2 * n)));
      // b Max high enough that a few roots of each p qualify.
      const int32_t bMax = INT32_MAX;
      std::vector<uint8_t> kind;
      std::vector<u128> a0;
      std::vector<WideHit> hits;
      gpu.Wide(p, k, ln, static_cast<int64_t>(n), bMax, 300, kind, a0, hits);
      // Every walk ends where it must.
      EXPECT_GT(gpu.LastChecks().checks, 0);
      EXPECT_TRUE(gpu.LastChecks().mismatches.empty()) << "N=2^" << ln;
      for (size_t i = 0; i + 1 < p.size(); ++i) {
        SCOPED_TRACE("N=2^" + std::to_string(ln) + " p=" + test::Decimal(p[i]));
        ASSERT_EQ(kind[i], 2);
        ASSERT_EQ(a0[i], RootOfUnity(p[i], n));
        std::vector<uint32_t> want, got;
        u128 x = a0[i];
        const u128 a2 = MulModExact128(a0[i], a0[i], p[i]);
        for (u128 j = 1; j < 2 * n; j += 2, x = MulModExact128(x, a2, p[i])) {
          if (x <= static_cast<u128>(bMax)) want.push_back(static_cast<uint32_t>(x));
        }
        for (const WideHit& h : hits) {
          if (h.index != i) continue;
          got.push_back(h.root);
          // The hit names its exponent: root = a0^j, or p - a0^j.
          const u128 xj = test::GmpPowMod(a0[i], h.j, p[i]);
          EXPECT_EQ(static_cast<u128>(h.root), h.negated ? p[i] - xj : xj);
        }
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
      }
      EXPECT_EQ(kind.back(), 0) << "composite " << test::Decimal(c);
    }
  });
}

TEST(OpenClKernels, EveryArithmeticsChainsEqualGmpAtItsEdges) {
  REQUIRE_OPENCL();
  std::mt19937_64 rng(test::TestSeed());
  ForEachArithmetic([&](const GpuArithmetic& arith, OpenClBackend& gpu) {
    for (const int ln : {1, 5, 13, 16, 22}) {
      const u128 n = static_cast<u128>(1) << ln;
      std::vector<u128> p;
      for (const auto& [lo, hi] : EdgesOf(arith, n)) {
        p.push_back(RandomPrimeOf(rng, n, std::max(lo, 4 * n), hi));
      }
      p.push_back(p.back() + 2 * n);  // prime or not, the kernels must agree
      std::vector<int32_t> cand;
      std::uniform_int_distribution<int32_t> base(2, INT32_MAX);
      for (int i = 0; i < 300; ++i) cand.push_back(base(rng));
      // A sure hit: a root of unity of the first p, which is below 2^31.
      cand[150] = static_cast<int32_t>(RootOfUnity(p[0], n));
      std::vector<NormalHit> hits;
      gpu.Normal(p, cand, ln, hits);
      // The chains' check values agree with the host's.
      EXPECT_GT(gpu.LastChecks().checks, 0);
      EXPECT_TRUE(gpu.LastChecks().mismatches.empty()) << "N=2^" << ln;
      for (size_t i = 0; i < p.size(); ++i) {
        std::vector<uint32_t> want, got;
        for (size_t j = 0; j < cand.size(); ++j) {
          if (test::GmpIsRoot(static_cast<u128>(cand[j]), ln, p[i])) {
            want.push_back(static_cast<uint32_t>(j));
          }
        }
        for (const NormalHit& h : hits) {
          if (h.index == i) got.push_back(h.position);
        }
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "ln=" << ln << " p=" << test::Decimal(p[i]);
      }
      EXPECT_NE(std::find_if(hits.begin(), hits.end(),
                             [](const NormalHit& h) { return h.index == 0 && h.position == 150; }),
                hits.end());
    }
  });
}

// --- jobs -------------------------------------------------------------------------

using Files = test::JobFiles;

Files RunSieve(const test::ScratchDir& dir, const std::string& device, bool wide, int32_t n,
               int32_t bMin, int32_t bMax, UInt128 pMax, bool noSimd = false,
               const std::string& kernel = "", UInt128 pMin = 0) {
  SieveJob job = test::NewSieveJob(dir, device.substr(0, 3), n, bMin, bMax, pMax, pMin);
  job.m_bNoSSE2 = noSimd ? 1 : 0;
  job.m_device = *DeviceChoice::Parse(device);
  job.m_gpuKernel = kernel;
  job.m_devices = &SystemDevices();
  const Files f = test::RunJobFiles(job, wide);
  EXPECT_FALSE(f.failed) << device << " " << kernel << ": " << f.log.back();
  // The device's results all pass its own checks (a failure would only cost
  // time, the batch being computed again on the CPU).
  for (const std::string& line : f.log) {
    EXPECT_EQ(line.find("failed its check"), std::string::npos) << kernel << ": " << line;
  }
  return f;
}

UInt128 WindowAround(UInt128 center, int ln, int64_t k) {
  return center + static_cast<UInt128>(k) * (UInt128{2} << ln);
}

TEST(OpenClJobs, FilesAreByteIdenticalToTheCpusInBothModes) {
  REQUIRE_OPENCL();
  test::ScratchDir dir;
  struct Case {
    bool wide;
    int32_t n, bMin, bMax;
    UInt128 pMax;
    bool noSimd;
    std::string kernel;  // empty: the calibrated choice
    UInt128 pMin;
    size_t minFactorBytes;
  };
  const UInt128 f13 = ReadP("2663848877152141313", 0);     // divides F13, above 2^61
  const UInt128 f11 = ReadP("167988556341760475137", 0);   // divides F11, above 2^67
  std::vector<Case> cases = {
      // Wide: the stage order of each CPU kernel, and the walk below N = 32;
      // p below b Max strikes multiples too.
      {true, 1024, 2, 200000, 30000000, false, "", 0, 100},
      {true, 2048, 2, 100000, 20000000, true, "", 0, 100},
      {true, 16, 2, 20000, 2000000, false, "", 0, 100},
      {false, 1024, 2, 3000, 20000000, false, "", 0, 100},
      {false, 8192, 1000001, 1002001, 2000000000, false, "", 0, 100},
      // Windows around known factors above 2^61 and 2^64, with the
      // calibrated kernels.
      {true, 2048, 2, 5000, WindowAround(f13, 11, 3000), false, "", WindowAround(f13, 11, -3000), 10},
      {false, 2048, 2, 5000, WindowAround(f13, 11, 3000), false, "", WindowAround(f13, 11, -3000), 10},
      {true, 512, 2, 5000, WindowAround(f11, 9, 3000), false, "", WindowAround(f11, 9, -3000), 10},
      {false, 512, 2, 5000, WindowAround(f11, 9, 3000), false, "", WindowAround(f11, 9, -3000), 10},
  };
  // Each arithmetic forced, in both modes.
  for (const GpuArithmetic& a : GpuArithmetics()) {
    cases.push_back({true, 1024, 2, 200000, 30000000, false, a.name, 0, 100});
    cases.push_back({false, 1024, 2, 3000, 20000000, false, a.name, 0, 100});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE((c.wide ? "wide N=" : "normal N=") + std::to_string(c.n) + " from p = " +
                 PToString(c.pMin) + " kernel " + c.kernel);
    const Files cpu = RunSieve(dir, "cpu", c.wide, c.n, c.bMin, c.bMax, c.pMax, c.noSimd, "", c.pMin);
    const Files gpu =
        RunSieve(dir, "opencl:0", c.wide, c.n, c.bMin, c.bMax, c.pMax, c.noSimd, c.kernel, c.pMin);
    EXPECT_GT(cpu.factors.size(), c.minFactorBytes);
    EXPECT_EQ(gpu.factors, cpu.factors);
    EXPECT_EQ(gpu.candidates, cpu.candidates);
  }
}

// A forced GPU kernel, here fp64 (p below 2^50): a run that starts below
// its bound and goes past it is sieved by the CPU kernels from the bound on,
// with one line saying so, and gives the CPU's files; a new sieve from the
// bound, or a resume whose depth has passed it, is refused before anything
// is written.
TEST(OpenClJobs, AForcedKernelHandsThePAboveItsBoundToTheCpuAndRefusesARunThatStartsThere) {
  REQUIRE_OPENCL();
  const UInt128 bound = UInt128{1} << 50;
  for (const bool wide : {true, false}) {
    SCOPED_TRACE(wide ? "wide" : "normal");
    test::ScratchDir dir;
    const UInt128 pMin = WindowAround(bound, 10, -3000), pMax = WindowAround(bound, 10, 3000);
    const Files cpu = RunSieve(dir, "cpu", wide, 1024, 2, 5000, pMax, false, "", pMin);
    SieveJob job = test::NewSieveJob(dir, "fp64", 1024, 2, 5000, pMax, pMin);
    job.m_device = DeviceChoice::Numbered("opencl", 0);
    job.m_gpuKernel = "fp64";
    job.m_devices = &SystemDevices();
    job.m_strFactorOut = dir / "f.txt";
    job.m_strSieveOut = dir / "c.txt";
    const test::JobRun run = test::RunJob(job, [](CGfnThread&) {}, wide ? 1 : 0);
    if (run.failed && run.log.back().find("double precision") != std::string::npos) {
      GTEST_SKIP() << run.log.back();
    }
    ASSERT_FALSE(run.failed) << run.log.back();
    EXPECT_EQ(std::count(run.log.begin(), run.log.end(),
                         "The p from 2^50 on are above the device's kernels: the CPU kernels "
                         "sieve them."),
              1);
    EXPECT_EQ(test::WithoutTimeStamp(test::ReadFile(dir / "f.txt")), cpu.factors);
    EXPECT_EQ(test::ReadFile(dir / "c.txt"), cpu.candidates);

    // A resume from that depth, above the bound: refused, both files kept.
    const std::string before[2] = {test::ReadFile(dir / "f.txt"), test::ReadFile(dir / "c.txt")};
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(before[1], depth));
    SieveJob resume = job;
    resume.m_nCommand = kCmdResumeSieve;
    resume.m_pMin = 0;
    resume.m_pMax = pMax + 1000000;
    resume.m_strFactorIn = job.m_strFactorOut;
    resume.m_strSieveIn = job.m_strSieveOut;
    const test::JobRun refused = test::RunJob(resume, [](CGfnThread&) {}, wide ? 1 : 0);
    EXPECT_TRUE(refused.failed);
    EXPECT_TRUE(test::Contains(refused.log,
                               "The GPU kernel fp64 takes p below 2^50 only; this job starts at "
                               "p = " + PToString(depth + 1) + ".  Nothing was sieved."))
        << refused.log.back();
    EXPECT_EQ(test::ReadFile(dir / "f.txt"), before[0]);
    EXPECT_EQ(test::ReadFile(dir / "c.txt"), before[1]);

    // A new sieve from the bound: refused, no file made.
    SieveJob above = job;
    above.m_pMin = bound;
    above.m_strFactorOut = dir / "f2.txt";
    above.m_strSieveOut = dir / "c2.txt";
    const test::JobRun none = test::RunJob(above, [](CGfnThread&) {}, wide ? 1 : 0);
    EXPECT_TRUE(none.failed);
    EXPECT_TRUE(test::Contains(none.log,
                               "The GPU kernel fp64 takes p below 2^50 only; this job starts at "
                               "p = 1125899906842624.  Nothing was sieved."))
        << none.log.back();
    EXPECT_FALSE(std::filesystem::exists(dir / "f2.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "c2.txt"));
  }
}

// --- the known-answer test -------------------------------------------------------

// mont64 with a planted fault: its mod_mul flips the low bit of every
// product for p above 2^61, where the known-answer set holds a p just below
// 2^62 (and the windows around the factor of F13 lie).
std::string FaultyMont64() {
  return "#define mod_mul mod_mul_true\n" + GpuArithmeticSource("mont64") +
         "#undef mod_mul\n"
         "ZK_FN num mod_mul(num a, num b, modulus m) {\n"
         "  const num r = mod_mul_true(a, b, m);\n"
         "  return m.p > (1UL << 61) ? r ^ 1UL : r;\n"
         "}\n";
}

// The calibration cache in a folder of the test's own for as long as it lives.
class ScopedCacheHome {
 public:
  ScopedCacheHome() : m_old(std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "") {
    ::setenv("XDG_CACHE_HOME", m_dir.Path().c_str(), 1);
  }
  ~ScopedCacheHome() { ::setenv("XDG_CACHE_HOME", m_old.c_str(), 1); }
  std::string CacheFile() const { return GpuKernelCacheFile(); }

 private:
  test::ScratchDir m_dir;
  std::string m_old;
};

// The cache with the word of arithmetic `name` (its rate, or "failed")
// replaced by `word`.
void EditCache(const std::string& file, const std::string& name, const std::string& word) {
  const std::string text = test::ReadFile(file);
  const std::string edited =
      std::regex_replace(text, std::regex("\\b" + name + "=[^ \n]*"), name + "=" + word);
  ASSERT_NE(edited, text) << text;
  test::WriteFile(file, edited);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// An arithmetic that gets a known answer wrong is left out when the device
// opens: at a fresh calibration (and not timed), from a cache that
// remembers it (not checked again), from a cache that would pick it (checked
// at use, then remembered), and when forced (refused).
TEST(OpenClKnownAnswers, AnArithmeticWithAWrongAnswerIsNeverUsed) {
  REQUIRE_OPENCL();
  ScopedCacheHome home;
  ScopedExtraArithmetic bad({"mont64-bad", UInt128{1} << 62, "mont64 with a planted fault"},
                            FaultyMont64(), 64);
  const std::string device = ListOpenClDevices()[0].name;
  const std::string failedNow = "The GPU kernel mont64-bad failed its known-answer test on " +
                                device + ": p = 4611685984067649601, N = 2: expected a0 = ";
  const std::string failedBefore = "The GPU kernel mont64-bad failed its known-answer test on " +
                                   device + " with this driver before: it is not used.";
  struct Step {
    std::string what;
    std::function<void()> before;
    std::string kernel;
    std::string note;  // a line of the notes starts with it (forced: the refusal)
  } steps[] = {
      {"calibrated now", [] {}, "", failedNow},
      {"remembered", [] {}, "", failedBefore},
      {"a cache that would pick it",
       [&] { EditCache(home.CacheFile(), "mont64-bad", "1e+14"); }, "",
       failedNow},
      {"remembered again", [] {}, "", failedBefore},
      {"forced", [] {}, "mont64-bad", failedNow},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.before();
    std::vector<std::string> notes;
    try {
      OpenClBackend gpu(0, DeviceOptions{s.kernel, 0});
      notes = gpu.KernelNotes();
      EXPECT_TRUE(s.kernel.empty());
      // The plan leaves it out and still reaches 2^96.
      EXPECT_EQ(gpu.PLimit(), UInt128{1} << 96);
      EXPECT_EQ(Joined(notes).find("GPU kernels: mont64-bad"), std::string::npos);
      EXPECT_EQ(Joined(notes).find("; mont64-bad"), std::string::npos);
    } catch (const DeviceError& e) {
      EXPECT_FALSE(s.kernel.empty()) << e.what();
      notes = {e.what()};
      EXPECT_NE(notes[0].find("; it is not used."), std::string::npos) << notes[0];
    }
    EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                            [&](const std::string& l) { return l.starts_with(s.note); }),
              1)
        << Joined(notes);
    EXPECT_NE(test::ReadFile(home.CacheFile()).find("mont64-bad=failed"), std::string::npos);
  }
}

// A job on the device with the faulty arithmetic present, and a cache that
// would give it the p around the factor of F13, writes the CPU's files.
TEST(OpenClKnownAnswers, AJobWithAFaultyArithmeticPresentWritesTheCpusFiles) {
  REQUIRE_OPENCL();
  ScopedCacheHome home;
  ScopedExtraArithmetic bad({"mont64-bad", UInt128{1} << 62, "mont64 with a planted fault"},
                            FaultyMont64(), 64);
  const UInt128 f13 = ReadP("2663848877152141313", 0);
  { OpenClBackend calibrate(0, DeviceOptions{}); }
  for (const bool wide : {true, false}) {
    SCOPED_TRACE(wide ? "wide" : "normal");
    EditCache(home.CacheFile(), "mont64-bad", "1e+14");
    test::ScratchDir dir;
    const Files cpu = RunSieve(dir, "cpu", wide, 2048, 2, 5000, WindowAround(f13, 11, 3000),
                               false, "", WindowAround(f13, 11, -3000));
    const Files gpu = RunSieve(dir, "opencl:0", wide, 2048, 2, 5000, WindowAround(f13, 11, 3000),
                               false, "", WindowAround(f13, 11, -3000));
    EXPECT_GT(cpu.factors.size(), 10u);
    EXPECT_EQ(gpu.factors, cpu.factors);
    EXPECT_EQ(gpu.candidates, cpu.candidates);
    EXPECT_NE(test::ReadFile(home.CacheFile()).find("mont64-bad=failed"), std::string::npos);
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
