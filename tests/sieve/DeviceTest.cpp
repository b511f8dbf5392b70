// Both loops on a device, through the device interface only: a fake device
// whose normal hits come from brute force gives the CPU's files; a lost
// device ends the run with a pair that resumes to the same end; planted
// hits are applied when true and refused when false; the device choice
// reads back what it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "sieve/FakeDevice.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

SieveJob SieveOn(const test::ScratchDir& dir, const std::string& tag, test::FakeDevices* devices,
                 int32_t n, int32_t bMax, uint64_t pMax) {
  SieveJob job = test::NewSieveJob(dir, tag, n, 2, bMax, pMax);
  job.m_deviceBatch = 500;
  if (devices != nullptr) {
    job.m_device = DeviceChoice::Gpu();
    job.m_devices = devices;
  }
  return job;
}

// A factor file without the time of writing.
std::string Body(const std::string& path) {
  return test::WithoutTimeStamp(test::ReadFile(path));
}

bool Logged(const test::JobRun& run, const std::string& part) {
  return std::any_of(run.log.begin(), run.log.end(),
                     [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

TEST(Device, NormalLoopOnADeviceGivesTheCpusFilesAndResumesAfterALoss) {
  test::ScratchDir dir;
  const SieveJob cpu = SieveOn(dir, "cpu", nullptr, 1024, 3000, 100000000);
  ASSERT_FALSE(test::RunJob(cpu).failed);
  // Brute force on the device: the same files.
  test::FakeDevices devices;
  const SieveJob all = SieveOn(dir, "dev", &devices, 1024, 3000, 100000000);
  const test::JobRun run = test::RunJob(all);
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Logged(run, "Running on fake device 0: fake device (test)."));
  EXPECT_EQ(Body(all.m_strFactorOut), Body(cpu.m_strFactorOut));
  EXPECT_EQ(test::ReadFile(all.m_strSieveOut), test::ReadFile(cpu.m_strSieveOut));
  // Lost after three launches: the batch in the making is not applied, the
  // pair is saved where the run stood and resumes on the CPU to the same end.
  devices.setup.failAfter = 3;
  const SieveJob lost = SieveOn(dir, "lost", &devices, 1024, 3000, 100000000);
  const test::JobRun cut = test::RunJob(lost);
  EXPECT_TRUE(cut.failed);
  EXPECT_TRUE(Logged(cut, "Fake device: lost."));
  EXPECT_TRUE(Logged(cut, "was not sieved; the run ends with its usual save"));
  SieveJob resume = lost;
  resume.m_nCommand = kCmdResumeSieve;
  resume.m_device = DeviceChoice::Cpu();
  resume.m_strFactorIn = lost.m_strFactorOut;
  resume.m_strSieveIn = lost.m_strSieveOut;
  ASSERT_FALSE(test::RunJob(resume).failed);
  EXPECT_EQ(Body(lost.m_strFactorOut), Body(cpu.m_strFactorOut));
  EXPECT_EQ(test::ReadFile(lost.m_strSieveOut), test::ReadFile(cpu.m_strSieveOut));
}

// A device whose kernels end below the run's last p (a forced GPU kernel
// that a run goes past): the p from its limit on go to the CPU kernels, with
// one line saying so, and the files are the CPU run's. The device is asked
// for the p from the first one the run sieves: a new sieve's --p-min, or the
// p after a resume's depth (where a forced kernel that ends below it is
// refused).
TEST(Device, PastTheDevicesLimitTheCpuSievesTheRestWithOneLine) {
  test::ScratchDir dir;
  const SieveJob cpu = SieveOn(dir, "cpu", nullptr, 1024, 3000, 100000000);
  ASSERT_FALSE(test::RunJob(cpu).failed);
  test::FakeDevices devices;
  devices.setup.limit = 30000001;
  const SieveJob past = SieveOn(dir, "past", &devices, 1024, 3000, 100000000);
  const test::JobRun run = test::RunJob(past);
  ASSERT_FALSE(run.failed) << run.log.back();
  EXPECT_EQ(std::count(run.log.begin(), run.log.end(),
                       "The p from 30000001 on are above the device's kernels: the CPU kernels "
                       "sieve them."),
            1);
  EXPECT_EQ(Body(past.m_strFactorOut), Body(cpu.m_strFactorOut));
  EXPECT_EQ(test::ReadFile(past.m_strSieveOut), test::ReadFile(cpu.m_strSieveOut));
  EXPECT_EQ(devices.lastOptions.pMin, 1);

  SieveJob fromP = SieveOn(dir, "pmin", &devices, 1024, 3000, 50000000);
  fromP.m_pMin = 20000000;
  ASSERT_FALSE(test::RunJob(fromP).failed);
  EXPECT_EQ(devices.lastOptions.pMin, 20000000);

  SieveJob resume = past;
  resume.m_nCommand = kCmdResumeSieve;
  resume.m_strFactorIn = past.m_strFactorOut;
  resume.m_strSieveIn = past.m_strSieveOut;
  resume.m_pMax = 120000000;
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(test::ReadFile(past.m_strSieveOut), depth));
  ASSERT_FALSE(test::RunJob(resume).failed);
  EXPECT_EQ(devices.lastOptions.pMin, depth + 1);
}

// An even root of x^1024 == -1 modulo the prime p, and a0 = that root (a
// primitive 2048th root of unity).
uint64_t EvenRoot(uint64_t p) {
  for (uint64_t g = 2;; ++g) {
    if (test::PowMod128(g, (p - 1) / 2, p) != p - 1) continue;
    const uint64_t r = test::PowMod128(g, (p - 1) / 2048, p);
    return (r & 1) == 0 ? r : p - r;
  }
}

TEST(Device, PlantedHitsAreAppliedWhenTrueAndRefusedWhenFalse) {
  test::ScratchDir dir;
  // 12289 = 6 * 2048 + 1 and 40961 = 20 * 2048 + 1 are primes, and the first
  // candidates of N = 1024.
  const uint64_t p1 = 12289, p2 = 40961;
  const uint64_t r1 = EvenRoot(p1), r2 = EvenRoot(p2);
  ASSERT_EQ(test::PowMod128(r1, 1024, p1), p1 - 1);
  struct Case {
    const char* what;
    bool wide;
    test::FakeDeviceSetup setup;
    const char* refusal;  // nullptr: the run succeeds
  };
  const Case cases[] = {
      {"wide, true roots",
       true,
       {-1, {}, {{p1, {r1, uint32_t(r1)}}, {p2, {r2, uint32_t(r2)}}}},
       nullptr},
      {"wide, a false root", true, {-1, {}, {{p1, {r1, uint32_t(r1 + 2)}}}}, "does not divide"},
      {"normal, a false hit", false, {-1, {{p1, 4}}, {}}, "failed to verify"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeDevices devices;
    devices.setup = c.setup;
    SieveJob job = SieveOn(dir, c.what, &devices, 1024, 50000, 50000);
    const test::JobRun run = test::RunJob(
        job, [](CGfnThread&) {}, c.wide ? 1 : 0);
    EXPECT_EQ(run.failed, c.refusal != nullptr);
    if (c.refusal != nullptr) {
      EXPECT_TRUE(Logged(run, c.refusal));
      continue;
    }
    // Exactly the planted roots and their even multiples up to b Max struck,
    // each base once, with the first p that struck it.
    std::string want = "Zentrova for k^1024+1 [k == 2 to 50000]\n\n";
    std::set<uint64_t> struck;
    for (const auto& [p, root] : {std::pair{p1, r1}, std::pair{p2, r2}}) {
      for (uint64_t b = root; b <= 50000; b += p) {
        if ((b & 1) == 0 && struck.insert(b).second) {
          want += "1*" + std::to_string(b) + "^1024 + 1 factor : " + std::to_string(p) + "\n";
        }
      }
    }
    EXPECT_EQ(test::ReadFile(job.m_strFactorOut), want);
  }
}

// The p of a normal factor file's lines ("<b>^<N>+1 has factor <p>"), each
// once, in increasing order.
std::vector<uint64_t> FactorPs(const std::string& path) {
  std::set<uint64_t> ps;
  const std::string text = test::ReadFile(path);
  const std::string mark = " has factor ";
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
    ps.insert(std::stoull(text.substr(at + mark.size())));
  }
  return {ps.begin(), ps.end()};
}

// A device whose own check fails on a p (its results of that p lost), whose
// a0 fails the host's guard, or which passes over as composite a p whose a0
// the host's search finds (in a small launch it searches every p passed
// over again): the batch is computed again on the CPU with a line naming the
// device, what failed and the p, and the files are the CPU run's; after three failures
// the device is dropped for the rest of the run with a line, and later
// failures are not even seen. The run's count of checks ends it.
TEST(Device, AFailedCheckSendsTheBatchToTheCpuAndThreeDropTheDevice) {
  test::ScratchDir dir;
  const SieveJob normalCpu = SieveOn(dir, "ncpu", nullptr, 1024, 3000, 100000000);
  ASSERT_FALSE(test::RunJob(normalCpu).failed);
  const std::vector<uint64_t> struck = FactorPs(normalCpu.m_strFactorOut);
  ASSERT_GT(struck.size(), 40u);
  const SieveJob wideCpu = SieveOn(dir, "wcpu", nullptr, 1024, 50000, 50000);
  ASSERT_FALSE(test::RunJob(
                   wideCpu, [](CGfnThread&) {}, 1)
                   .failed);
  const size_t q = struck.size() / 4;
  // 12289 = 6 * 2048 + 1 is a prime, and r1^2 for an a0 r1 a 1024th root
  // of unity, not of -1: an a0 the device got wrong.
  const uint64_t p1 = 12289, r1 = EvenRoot(p1);
  const std::string kernelFailed = "the GPU kernel fake64 failed its check";
  const std::string passedOver = "its verdict of composite fails its check";
  // The primes among the wide run's p.
  std::set<uint64_t> primes;
  for (uint64_t p = 2049; p <= 50000; p += 2048) {
    if (test::IsPrime(p)) primes.insert(p);
  }
  ASSERT_GE(primes.size(), 3u);
  struct Case {
    std::string what;
    bool wide;
    std::set<uint64_t> failedChecks;
    int lines;  // lines of a failed check
    bool dropped;
    std::map<uint64_t, std::pair<uint64_t, uint32_t>> wideRoots{};
    std::string failure{};  // what the lines say failed
  };
  const std::vector<Case> cases = {
      {"normal, one p", false, {struck[q]}, 1, false},
      {"normal, two p of one batch", false, {struck[q], struck[q + 1]}, 2, false},
      {"normal, four p", false, {struck[1], struck[q], struck[2 * q], struck[3 * q]}, 3, true},
      // One batch of every p: all roots come from the CPU.
      {"wide, one p", true, {12289}, 1, false},
      {"wide, a false a0",
       true,
       {p1},
       1,
       false,
       {{p1, {r1 * r1 % p1, uint32_t(r1)}}},
       "the a0 it found fails its check"},
      {"wide, a prime passed over", true, {p1}, 1, false, {}, passedOver},
      {"wide, every prime passed over", true, primes, 3, true, {}, passedOver},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SieveJob& cpu = c.wide ? wideCpu : normalCpu;
    test::FakeDevices devices;
    if (!c.wideRoots.empty()) {
      devices.setup.wideRoots = c.wideRoots;
    } else if (c.failure == passedOver) {
      devices.setup.passedOver = c.failedChecks;
    } else {
      devices.setup.failedChecks = c.failedChecks;
    }
    SieveJob job =
        SieveOn(dir, c.what, &devices, 1024, cpu.m_nBMax, static_cast<uint64_t>(cpu.m_pMax));
    // Launches small enough for the host to search every p passed over.
    if (c.failure == passedOver) job.m_deviceBatch = 8;
    const test::JobRun run = test::RunJob(
        job, [](CGfnThread&) {}, c.wide ? 1 : 0);
    ASSERT_FALSE(run.failed) << run.log.back();
    EXPECT_EQ(Body(job.m_strFactorOut), Body(cpu.m_strFactorOut));
    EXPECT_EQ(test::ReadFile(job.m_strSieveOut), test::ReadFile(cpu.m_strSieveOut));
    int lines = 0;
    for (const std::string& l : run.log) {
      if (l.find(" its check at p = ") == std::string::npos) continue;
      // The failed p in the order of the run.
      const uint64_t p = *std::next(c.failedChecks.begin(), lines++);
      EXPECT_EQ(l.substr(0, l.find(" from p = ")),
                "fake device 0 (fake device): " + (c.failure.empty() ? kernelFailed : c.failure) +
                    " at p = " + std::to_string(p) + "; the batch");
      EXPECT_NE(l.find("is sieved again on the CPU."), std::string::npos) << l;
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(Logged(run,
                     "fake device 0 (fake device) failed 3 checks: the CPU kernels sieve the "
                     "rest of the run."),
              c.dropped);
    EXPECT_TRUE(Logged(run, " checks of its results, " + std::to_string(c.lines) + " failed."));
  }
}

TEST(Device, ChoiceReadsBackWhatItWrites) {
  for (const char* text : {"cpu", "auto", "gpu", "opencl:0", "opencl:12", "cuda:3"}) {
    const std::optional<DeviceChoice> choice = DeviceChoice::Parse(text);
    ASSERT_TRUE(choice) << text;
    EXPECT_EQ(choice->ToString(), text);
  }
  for (const char* text : {"", "GPU", "opencl", "opencl:", ":1", "opencl:-1", "opencl:1x",
                           "open cl:1", "opencl:99999999"}) {
    EXPECT_FALSE(DeviceChoice::Parse(text)) << text;
  }
}

}  // namespace
}  // namespace zentrova
