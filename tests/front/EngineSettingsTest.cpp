// The engine settings of both front ends: what each setting puts into the job
// record (p limits checked against values written out by hand, 2^94 from its
// digits), which jobs take them, and the parameter file's section read back,
// damaged values keeping their defaults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/PNumber.h"
#include "front/EngineSettings.h"
#include "front/FormRules.h"
#include "sieve/WorkerPool.h"

namespace zentrova {
namespace {

// A device list that is only ever compared by address.
class NoDevices : public DeviceProvider {
 public:
  std::vector<DeviceInfo> List() override { return {}; }
  std::unique_ptr<SieveDevice> Open(const DeviceChoice&, const DeviceOptions&) override {
    throw DeviceError("no devices here");
  }
};

UInt128 Decimal(const char* digits) {
  UInt128 v = 0;
  for (const char* c = digits; *c != '\0'; ++c) v = v * 10 + static_cast<unsigned>(*c - '0');
  return v;
}

TEST(EngineSettings, EachSettingReachesTheJobOrIsNamedAsUnreadable) {
  // 2^94 = 19807040628566084398385987584, the first p beyond every sieve.
  struct Case {
    EngineSettings settings;
    EngineField bad;
    int32_t threads;  // 0: the hardware's
    const char* pMax;
    DeviceChoice device;
    double stopRate;
    const char* gpuKernel = "";
  };
  const Case cases[] = {
      {{1, "gpu", "", 0, "mont32x3"}, EngineField::kNone, 1, "0", DeviceChoice::Gpu(), 0,
       "mont32x3"},
      {{1, "gpu", "", 0, "Mont 64"}, EngineField::kGpuKernel, 1, "0", DeviceChoice::Gpu(), 0},
      {{}, EngineField::kNone, 0, "0", DeviceChoice::Cpu(), 0},
      {{3, "auto", "1e20", 600}, EngineField::kNone, 3, "100000000000000000000",
       DeviceChoice::Auto(), 600},
      {{1024, "opencl:2", "1000000007", 1e-6}, EngineField::kNone, 1024, "1000000007",
       DeviceChoice::Numbered("opencl", 2), 1e-6},
      {{1, "gpu", "6.04e23", 1e9}, EngineField::kNone, 1, "604000000000000000000000",
       DeviceChoice::Gpu(), 1e9},
      {{1, "cpu", "19807040628566084398385987583", 0}, EngineField::kNone, 1,
       "19807040628566084398385987583", DeviceChoice::Cpu(), 0},
      {{1, "cpu", "19807040628566084398385987584", 0}, EngineField::kPMax, 1, "0", {}, 0},
      {{1, "cpu", "1.5", 0}, EngineField::kPMax, 1, "0", {}, 0},
      {{1, "cpu", "0", 0}, EngineField::kPMax, 1, "0", {}, 0},
      {{1, "cpu", "1e", 0}, EngineField::kPMax, 1, "0", {}, 0},
      {{-1, "cpu", "", 0}, EngineField::kThreads, 1, "0", {}, 0},
      {{1025, "cpu", "", 0}, EngineField::kThreads, 1, "0", {}, 0},
      {{2, "cuda:0", "", 0}, EngineField::kDevice, 2, "0", {}, 0},
      {{2, "opencl", "", 0}, EngineField::kDevice, 2, "0", {}, 0},
      {{2, "GPU", "", 0}, EngineField::kDevice, 2, "0", {}, 0},
      {{2, "auto", "", 5e-7}, EngineField::kStopRate, 2, "0", DeviceChoice::Auto(), 0},
      {{2, "auto", "", 2e9}, EngineField::kStopRate, 2, "0", DeviceChoice::Auto(), 0},
      {{2, "auto", "", -1}, EngineField::kStopRate, 2, "0", DeviceChoice::Auto(), 0},
  };
  NoDevices devices;
  for (const Case& c : cases) {
    const std::string name = c.settings.device + " " + c.settings.pMax;
    SieveJob job;  // a fresh record: 1 thread, no limit, the CPU, no stop rate
    EXPECT_EQ(ApplyEngineSettings(c.settings, &devices, job), c.bad) << name;
    EXPECT_EQ(job.m_threads, c.threads == 0 ? HardwareThreads() : c.threads) << name;
    EXPECT_TRUE(job.m_pMax == Decimal(c.pMax)) << name << ": " << PToString(job.m_pMax);
    EXPECT_EQ(job.m_device, c.device) << name;
    EXPECT_EQ(job.m_stopRateSeconds, c.stopRate) << name;
    EXPECT_EQ(job.m_gpuKernel, c.gpuKernel) << name;
    if (c.bad == EngineField::kNone) {
      EXPECT_EQ(job.m_devices, &devices) << name;
    }
    EXPECT_EQ(EngineRefusal(c.bad).empty(), c.bad == EngineField::kNone) << name;
  }
}

// Start's jobs and the packed K creation take every setting; the benchmark
// and the to-be-factored list only the threads.
TEST(EngineSettings, JobsOfTheFormTakeThem) {
  NoDevices devices;
  FormRun form;
  form.params.jobChoice = kChoiceNewSieve;
  form.params.exponent = 1024;
  form.params.ln = 10;
  form.engine = {5, "auto", "2.5e6", 30};
  form.devices = &devices;
  struct Case {
    int32_t command;
    bool all;
  };
  for (const Case c : {Case{kCmdNewSieve, true}, Case{kCmdResumeSieve, true},
                       Case{kCmdBuildFromFactors, true}, Case{kCmdCreatePackedK, true},
                       Case{kCmdBench, false}, Case{kCmdToBeFactored, false}}) {
    SieveJob job;
    JobForCommand(form, c.command, job);
    EXPECT_EQ(job.m_threads, 5) << c.command;
    EXPECT_TRUE(job.m_pMax == (c.all ? 2500000u : 0u)) << c.command;
    EXPECT_EQ(job.m_stopRateSeconds, c.all ? 30 : 0) << c.command;
    if (c.command != kCmdToBeFactored) {
      EXPECT_EQ(job.m_device, c.all ? DeviceChoice::Auto() : DeviceChoice::Cpu()) << c.command;
    }
  }
}

TEST(EngineSettings, ParameterFileEntriesReadBackAndDamagedOnesAreRefused) {
  const EngineSettings settings{12, "opencl:1", "6.04e23", 0.1, "fp64"};
  const auto entries = EngineEntries(settings);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Threads", "12"}, {"Device", "opencl:1"}, {"PMax", "6.04e23"},
      {"StopRate", "0.10000000000000001"}, {"GpuKernel", "fp64"}};
  EXPECT_EQ(entries, expected);
  EngineSettings read;
  for (const auto& [key, text] : entries) EXPECT_TRUE(ApplyEngineEntry(read, key, text)) << key;
  EXPECT_EQ(read, settings);

  struct Case {
    const char* key;
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"Threads", "0", true},       {"Threads", "1024", true},     {"Threads", "1025", false},
      {"Threads", "-1", false},     {"Threads", "2x", false},      {"Threads", "", false},
      {"Device", "gpu", true},      {"Device", "opencl:0", true},  {"Device", "cuda:0", false},
      {"Device", "opencl:", false}, {"Device", "", false},         {"PMax", "", true},
      {"PMax", "1e15", true},       {"PMax", "1e30", false},       {"PMax", "-5", false},
      {"PMax", "12 ", false},       {"StopRate", "0", true},       {"StopRate", "1e9", true},
      {"StopRate", " 600 ", true},  {"StopRate", "1e-7", false},   {"StopRate", "nan", false},
      {"StopRate", "inf", false},   {"StopRate", "1e999", false},  {"StopRate", "60s", false},
      {"GpuKernel", "", true},      {"GpuKernel", "mont32x2", true}, {"GpuKernel", "x y", false},
      {"Unknown", "1", false},
  };
  for (const Case& c : cases) {
    EngineSettings s = settings;
    EXPECT_EQ(ApplyEngineEntry(s, c.key, c.text), c.ok) << c.key << "=" << c.text;
    if (!c.ok) {
      EXPECT_EQ(s, settings) << c.key << "=" << c.text;
    }
  }
}

}  // namespace
}  // namespace zentrova
