#include "cli/Commands.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "front/StartChecks.h"
#include "cli/RunJob.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/NumberParse.h"
#include "files/PackedKSequence.h"
#include "files/TextFile.h"
#include "gpu/Devices.h"
#include "gpu/OpenClBackend.h"
#include "math/CpuFeatures.h"
#include "math/ModArith.h"
#include "platform/Files.h"
#include "front/EngineSettings.h"
#include "front/JobRunner.h"
#include "sieve/WorkerPool.h"

namespace zentrova::cli {

namespace {

bool CommonOptions(const SieveOptions& o, SieveJob& job) {
  job.m_nSaveSeconds = o.saveMinutes * 60;
  job.m_bNoSSE2 = o.noSimd ? 1 : 0;
  if (!ParseIsa(o.isa, job.m_isa) || o.isa == "list") {
    Usage(StrFormat("--isa: unknown instruction set '%s' (%s).", o.isa.c_str(),
                    IsaChoices().c_str()));
    return false;
  }
  if (job.m_isa != Isa::kAuto && !IsaAvailable(job.m_isa)) {
    Usage(StrFormat("--isa %s: this processor or build has no %s kernel.", o.isa.c_str(),
                    o.isa.c_str()));
    return false;
  }
  if (job.m_isa == Isa::kScalar) job.m_bNoSSE2 = 1;
  job.m_strPackedKDir = o.packedDir;
  if (!o.packedDir.empty() && !CTextFile::FileExists(o.packedDir)) {
    Usage(StrFormat("--packed-dir: folder %s does not exist.", o.packedDir.c_str()));
    return false;
  }
  // Threads, p limit, device and stop rate as the desktop program's Engine
  // settings reach the job (front/EngineSettings.h).
  const EngineSettings engine{o.threads, o.device, o.pMax, o.stopRate, o.gpuKernel};
  const EngineField bad = ApplyEngineSettings(engine, &SystemDevices(), job);
  switch (bad) {
    case EngineField::kNone:
      break;
    case EngineField::kPMax:
      Usage(StrFormat("--p-max: '%s' is not a whole number from 1 to 2^94.", o.pMax.c_str()));
      return false;
    case EngineField::kDevice:
      Usage(StrFormat("--device: '%s' is not cpu, auto, gpu or opencl:N.", o.device.c_str()));
      return false;
    case EngineField::kThreads:
      // (The option parser has checked its range already.)
      Usage("--threads: " + EngineRefusal(bad));
      return false;
    case EngineField::kStopRate:
      Usage("--stop-rate: " + EngineRefusal(bad));
      return false;
    case EngineField::kGpuKernel:
      Usage("--gpu-kernel: " + EngineRefusal(bad));
      return false;
  }
  job.m_deviceBatch = o.deviceBatch;
  if (!o.pMin.empty() && !ParsePValue(o.pMin, job.m_pMin)) {
    Usage(StrFormat("--p-min: '%s' is not a whole number from 1 to 2^94.", o.pMin.c_str()));
    return false;
  }
  return true;
}

// The benchmark job once per available kernel and for 1 .. all threads, with
// p per second and the ratio to the portable kernel on one thread.
int RunBenchComparison(const SieveJob& base) {
  // No job here answers a stop request: Ctrl-C ends the comparison at once.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  const CpuFeatures& cpu = GetCpuFeatures();
  std::printf("zentrova bench: N = 65536, 500 bases, p up to %s; %s\n",
              PToString(base.m_pMax).c_str(),
              cpu.brand.empty() ? "unknown processor" : cpu.brand.c_str());
  std::printf("%-8s %7s %12s %10s %12s %10s\n", "kernel", "threads", "p sieved", "seconds", "p/s",
              "vs scalar");
  double reference = 0;
  for (const Isa isa : KernelIsas()) {
    if (!IsaAvailable(isa)) continue;
    for (int threads = 1; threads <= HardwareThreads(); threads *= 2) {
      SieveJob job = base;
      job.m_isa = isa;
      job.m_bNoSSE2 = isa == Isa::kScalar ? 1 : 0;
      job.m_threads = threads;
      RecordingSink sink;
      const JobOutcome outcome = JobRunner(job, sink).RunHere();
      if (outcome.end == JobEnd::kFailed || outcome.benchTicks <= 0) {
        std::fprintf(stderr, "zentrova: the %s run failed\n", IsaName(isa));
        return kExitJobFailed;
      }
      const double seconds = static_cast<double>(outcome.benchTicks) /
                             static_cast<double>(outcome.benchTicksPerSecond);
      const double rate = static_cast<double>(outcome.benchPSieved) / seconds;
      if (reference == 0) reference = rate;
      std::printf("%-8s %7d %12" PRId64 " %10.3f %12.0f %9.2fx\n", IsaName(isa), threads,
                  outcome.benchPSieved, seconds, rate, rate / reference);
      std::fflush(stdout);
    }
  }
  return kExitOk;
}

}  // namespace

bool ParsePValue(const std::string& text, UInt128& value) {
  UInt128 v = 0;
  if (!ParsePArgument(text, v) || v >= kMaxModulus128) return false;
  value = v;
  return true;
}

int RunNew(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceNewSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;  // the sequence of this exponent is used
  SieveJob job;
  if (!CommonOptions(o, job)) return kExitUsage;
  if (job.m_pMax != 0 && job.m_pMin > job.m_pMax) {
    Usage("--p-min must not be above --p-max.");
    return kExitUsage;
  }
  CliHost host(o.force);
  if (!RunStartChecks(form, host)) return kExitUsage;
  HandOver(form, job);
  return RunJob(job, form.wideMath);
}

int RunResume(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceResumeSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;
  if (!o.pMin.empty()) {
    Usage("--p-min applies to a new sieve only; a resumed sieve continues from its files.");
    return kExitUsage;
  }
  SieveJob job;
  if (!CommonOptions(o, job)) return kExitUsage;
  job.m_missingStruck = o.missingStruck;
  CliHost host(o.force);
  host.SetInputs({o.factorsIn, o.sieveIn});
  if (!RunStartChecks(form, host)) return kExitUsage;
  HandOver(form, job);
  return RunJob(job, form.wideMath);
}

int RunPack(const SieveOptions& o) {
  SieveJob job;
  job.m_nCommand = kCmdCreatePackedK;
  job.m_nExponent = o.exponent;
  job.m_nLn = ExponentLog2(o.exponent);
  if (job.m_nLn == 0) {
    Usage(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", o.exponent));
    return kExitUsage;
  }
  if (o.packedDir.empty()) {
    Usage("--dir: a folder for the packed K files is required.");
    return kExitUsage;
  }
  if (!CommonOptions(o, job)) return kExitUsage;
  if (!o.fileBytes.empty()) {
    // A header and one data word are the least a file can be.
    constexpr uint64_t kLeast = CPackedKDB::kHeaderBytes + 4;
    if (!ParseWholeUInt64(o.fileBytes, job.m_packedKFileBytes) || job.m_packedKFileBytes < kLeast) {
      Usage(StrFormat("--file-bytes: '%s' is not a whole number of at least %" PRIu64 " bytes.",
                      o.fileBytes.c_str(), kLeast));
      return kExitUsage;
    }
  }
  return RunJob(job);
}

namespace {

// The log lines of a benchmark run.
class LogSink : public JobSink {
 public:
  void Post(std::string message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (IsLogLine(message)) m_log.push_back(std::move(message));
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_log;
};

int ListDevices() {
  const std::vector<DeviceInfo> devices = SystemDevices().List();
  if (devices.empty()) {
    std::printf("No OpenCL device found (no driver, or a build without OpenCL).\n");
    return kExitOk;
  }
  for (const DeviceInfo& d : devices) {
    std::printf("%s  %s  %s  (%s)\n", d.Id().c_str(), d.gpu ? "GPU" : "   ", d.name.c_str(),
                d.platform.c_str());
  }
  return kExitOk;
}

struct DeviceBenchResult {
  double pPerSecond = 0, pPerDay = 0, busy = 0;
};

// The wide sieve of b^N+1 for the even b up to 2*10^6 from p = 10^15 on the
// device, for a fixed time, with the GPU arithmetic `kernel` (empty: the
// calibrated choice): p per second, P per day (10^15 of p range per day)
// and the device's busy fraction, printed and returned. Nothing on failure.
std::optional<DeviceBenchResult> TimeDevice(const SieveOptions& o, const std::string& kernel) {
  SieveOptions options = o;
  SieveJob job;
  if (!CommonOptions(options, job)) return std::nullopt;
  job.m_gpuKernel = kernel;
  const int32_t n = o.exponent != 0 ? o.exponent : 1048576;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = n;
  job.m_nLn = ExponentLog2(n);
  if (job.m_nLn == 0) {
    Usage(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", n));
    return std::nullopt;
  }
  job.m_nBMin = 2;
  job.m_nBMax = 2000000;
  const UInt128 pStart = job.m_pMin != 0 ? job.m_pMin : 1000000000000000ULL;
  job.m_pMin = pStart;
  job.m_pMax = 0;
  job.m_nSaveSeconds = 1 << 30;
  const std::string folder = platform::MakeTemporaryFolder("zentrova-bench-");
  if (folder.empty()) {
    std::fprintf(stderr, "zentrova: no temporary folder: %s\n", std::strerror(errno));
    return std::nullopt;
  }
  job.m_strFactorOut = folder + "/factors.txt";
  job.m_strSieveOut = folder + "/candidates.txt";
  LogSink sink;
  JobRunner runner(job, sink, 1);
  runner.Start();
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  while (runner.Running() && Clock::now() - begin < std::chrono::seconds(o.seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  runner.RequestStop();
  const JobOutcome outcome = runner.Wait();
  std::filesystem::remove_all(platform::FsPath(folder));
  for (const std::string& line : sink.Log()) std::printf("%s\n", line.c_str());
  if (outcome.end == JobEnd::kFailed) return std::nullopt;
  const RunProgress progress = runner.Sample();
  // The loop's own time: the device's start-up and the kernels' build are
  // not part of the rate.
  const double seconds = outcome.loopSeconds;
  DeviceBenchResult r;
  r.pPerSecond = seconds > 0 ? static_cast<double>(progress.pCount) / seconds : 0;
  const double range = progress.pReached > pStart ? static_cast<double>(progress.pReached - pStart) : 0;
  r.pPerDay = seconds > 0 ? range / seconds * 86400.0 / 1e15 : 0;
  r.busy = seconds > 0 ? outcome.deviceBusySeconds / seconds : 0;
  std::printf("device %s%s%s, N = %d, wide mode, p from %s: %" PRId64 " p in %.2f s\n",
              o.device.c_str(), kernel.empty() ? "" : ", GPU kernel ", kernel.c_str(), n,
              PToString(pStart).c_str(), progress.pCount, seconds);
  std::printf("%.0f p per second, %.2f P/day", r.pPerSecond, r.pPerDay);
  if (!job.m_device.OnCpu()) std::printf(", device busy %.0f%% of the loop's time", 100.0 * r.busy);
  std::printf("\n");
  return r;
}

int RunDeviceBench(const SieveOptions& o) {
  if (o.device == "list") return ListDevices();
  if (!o.allKernels) return TimeDevice(o, o.gpuKernel) ? kExitOk : kExitJobFailed;
  // Every arithmetic that reaches past the first p, one after the other,
  // then side by side.
  UInt128 pStart = 1000000000000000ULL;
  if (!o.pMin.empty() && !ParsePValue(o.pMin, pStart)) {
    Usage(StrFormat("--p-min: '%s' is not a whole number from 1 to 2^94.", o.pMin.c_str()));
    return kExitUsage;
  }
  std::vector<std::pair<std::string, DeviceBenchResult>> rows;
  for (const GpuArithmetic& a : GpuArithmetics()) {
    if (a.bound <= pStart) continue;
    std::printf("--- GPU kernel %s: %s\n", a.name.c_str(), a.what.c_str());
    std::fflush(stdout);
    if (const std::optional<DeviceBenchResult> r = TimeDevice(o, a.name)) {
      rows.emplace_back(a.name, *r);
    }
  }
  if (rows.empty()) {
    std::printf("No GPU kernel ran (no OpenCL device, or none that reaches p = %s).\n",
                PToString(pStart).c_str());
    return kExitJobFailed;
  }
  std::printf("\n%-10s %14s %10s %6s\n", "kernel", "p/s", "P/day", "busy");
  for (const auto& [name, r] : rows) {
    std::printf("%-10s %14.0f %10.2f %5.0f%%\n", name.c_str(), r.pPerSecond, r.pPerDay,
                100.0 * r.busy);
  }
  return kExitOk;
}

// p per second of `jobs` jobs run side by side for `seconds`, each with
// `threads` threads, each over its own p from pStart + i * 10^13 on; serial
// and busy get the first job's share of loop time that its loop thread spent
// applying batches and that its workers spent working.
double SideBySideRate(const SieveJob& base, bool wide, int jobs, int threads, int seconds,
                      double& serial, double& busy) {
  std::vector<std::unique_ptr<RecordingSink>> sinks;
  std::vector<std::unique_ptr<JobRunner>> runs;
  std::vector<std::string> folders;
  for (int i = 0; i < jobs; ++i) {
    const std::string folder = platform::MakeTemporaryFolder("zentrova-scaling-");
    if (folder.empty()) return 0;
    folders.push_back(folder);
    SieveJob job = base;
    job.m_threads = threads;
    job.m_pMin = base.m_pMin + static_cast<uint64_t>(i) * 10000000000000ULL;
    job.m_strFactorOut = folders.back() + "/factors.txt";
    job.m_strSieveOut = folders.back() + "/candidates.txt";
    sinks.push_back(std::make_unique<RecordingSink>());
    runs.push_back(std::make_unique<JobRunner>(job, *sinks.back(), wide ? 1 : 0));
  }
  const auto begin = std::chrono::steady_clock::now();
  for (auto& r : runs) r->Start();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  int64_t sieved = 0;
  for (auto& r : runs) sieved += r->Sample().pCount;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  for (auto& r : runs) r->RequestStop();
  std::vector<JobOutcome> outcomes;
  for (auto& r : runs) outcomes.push_back(r->Wait());
  const JobOutcome& first = outcomes.front();
  serial = first.loopSeconds > 0 ? first.applySeconds / first.loopSeconds : 0;
  busy = first.workersBusy;
  for (const std::string& f : folders) std::filesystem::remove_all(platform::FsPath(f));
  return static_cast<double>(sieved) / elapsed;
}

// One process with T threads against T independent one-thread jobs side by
// side, for T = 1, 2, 4, ... up to the hardware threads, in both modes.
int RunScalingBench(const SieveOptions& o) {
  SieveOptions options = o;
  SieveJob base;
  if (!CommonOptions(options, base)) return kExitUsage;
  base.m_nCommand = kCmdNewSieve;
  base.m_nExponent = 65536;
  base.m_nLn = 16;
  base.m_pMin = 1000000000000000ULL;
  base.m_pMax = 0;
  base.m_nSaveSeconds = 1 << 30;
  std::printf("zentrova bench --scaling: N = 65536, p from 1e15, %d s per run\n", o.seconds);
  std::printf("%-7s %7s %14s %14s %11s %8s %8s\n", "mode", "threads", "one process",
              "independent", "efficiency", "serial", "busy");
  std::vector<double> serialAlones;
  for (const bool wide : {true, false}) {
    SieveJob job = base;
    job.m_nBMin = wide ? 2 : 1200000;
    job.m_nBMax = wide ? 2000000 : 1200998;
    double serialAlone = 0;
    for (int t = 1; t <= HardwareThreads(); t *= 2) {
      double serial = 0;
      double busy = 0;
      double unused = 0;
      const double one = SideBySideRate(job, wide, 1, t, o.seconds, serial, busy);
      const double apart = SideBySideRate(job, wide, t, 1, o.seconds, unused, unused);
      if (t == 1) serialAlone = serial;
      std::printf("%-7s %7d %12.0f/s %12.0f/s %10.2f %7.2f%% %7.1f%%\n", wide ? "wide" : "normal",
                  t, one, apart, apart > 0 ? one / apart : 0.0, 100.0 * serial, 100.0 * busy);
      std::fflush(stdout);
    }
    serialAlones.push_back(serialAlone);
  }
  // The loop thread applies one batch while the others compute the next, so
  // it holds a process back only once the workers are faster than it.
  std::printf("serial: the share of the loop's time its own thread spent applying batches, which\n"
              "overlaps the workers; one process is bound at 1/serial (on 1 thread) times one\n"
              "thread's rate: wide %.0fx, normal %.0fx here. busy: the workers' share of the loop's\n"
              "time spent working; the rest is waiting at the end of a batch (whose spans shrink\n"
              "to a 64th of a worker's share), about the same share at any thread count.\n",
              serialAlones[0] > 0 ? 1.0 / serialAlones[0] : 0.0,
              serialAlones[1] > 0 ? 1.0 / serialAlones[1] : 0.0);
  return kExitOk;
}

}  // namespace

int RunBench(const SieveOptions& o) {
  if (o.scaling) return RunScalingBench(o);
  if (o.deviceGiven) return RunDeviceBench(o);
  if (o.isa == "list") {
    const CpuFeatures& cpu = GetCpuFeatures();
    std::printf("processor: %s (%s)\n", cpu.brand.empty() ? "unknown" : cpu.brand.c_str(),
                cpu.vendor.c_str());
#if defined(__x86_64__) || defined(__i386__)
    // The x86 features the vector kernels need; elsewhere only the portable
    // kernels are built.
    std::printf("features:  sse2 %s, avx2 %s, avx512f %s, avx512ifma %s\n", cpu.sse2 ? "yes" : "no",
                cpu.avx2 ? "yes" : "no", cpu.avx512f ? "yes" : "no", cpu.avx512ifma ? "yes" : "no");
#endif
    for (const Isa isa : KernelIsas()) {
      std::printf("kernel %-7s %s\n", IsaName(isa),
                  IsaAvailable(isa) ? "available" : "not available");
    }
    std::printf("auto selects: %s\n", IsaName(BestIsa()));
    return kExitOk;
  }
  SieveJob job;
  job.m_nCommand = kCmdBench;
  SieveOptions options = o;
  if (options.pMax.empty()) options.pMax = kBenchDefaultPMax;
  if (!CommonOptions(options, job)) return kExitUsage;
  if (o.compare) return RunBenchComparison(job);
  return RunJob(job);
}

}  // namespace zentrova::cli
