#include "cli/Commands.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "cli/RunJob.h"
#include "files/CandidateFiles.h"
#include "files/NumberParse.h"
#include "files/PNumber.h"
#include "files/PackedKSequence.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "front/EngineSettings.h"
#include "front/JobRunner.h"
#include "front/StartChecks.h"
#include "gpu/Devices.h"
#include "gpu/OpenClBackend.h"
#include "math/CpuFeatures.h"
#include "math/ModArith.h"
#include "platform/Files.h"
#include "sieve/WorkerPool.h"

namespace zentrova::cli {

namespace {

// The GPU arithmetics by name, for the help texts.
std::string GpuKernelNames() {
  std::string names;
  for (const GpuArithmetic& a : GpuArithmetics()) {
    names += (names.empty() ? "" : ", ") + a.name;
  }
  return names.empty() ? "none in this build" : names;
}

// A p given as an empty text ("--p-max ''", an unset variable in a script)
// is a usage error: taken as no limit, it would start a run that never ends.
const CLI::Validator kPGiven(
    [](const std::string& value) {
      return value.empty() ? std::string(
                                 "an empty value is no p; give one such as 1e12, or "
                                 "leave the option out")
                           : std::string();
    },
    "P", "PGiven");

void AddRunOptions(CLI::App* cmd, SieveOptions& o) {
  cmd->add_option("--save-minutes", o.saveMinutes,
                  "Minutes between periodic saves of both output files (default 60; they are also "
                  "saved when the run ends or is stopped)")
      ->check(CLI::Range(0, 1000000));
  cmd->add_flag("--no-simd", o.noSimd, "Use only the portable scalar kernel");
  cmd->add_option("--p-max", o.pMax,
                  "Sieve every candidate p up to P, stop before the first p above it and record "
                  "the last p sieved as the depth (e.g. 1e12)")
      ->check(kPGiven);
  cmd->add_option("--threads", o.threads, "Worker threads (default: all hardware threads)")
      ->check(CLI::Range(1, 1024));
  cmd->add_option("--isa", o.isa,
                  "Instruction set of the vector kernel: " + IsaChoices() + " (default auto)")
      ->type_name("ISA");
  cmd->add_flag("--force", o.force,
                "Replace existing output files (only once the new ones are complete)");
  cmd->add_flag(
      "--wide", o.wide,
      "Wide-range math: construct the N roots of x^N = -1 for each p instead of testing "
      "every base (the mode for ranges far wider than N; it sieves even bases only, so an odd "
      "--bmin is refused). The "
      "factor file is appended to; the candidate file has one line per surviving base, "
      "about 16 bytes each, so a range to 2e9 can give a file of several GB");
  cmd->add_option("--packed-dir", o.packedDir,
                  "Read the k values from the packed K file sequence in this folder (made by "
                  "'zentrova pack') instead of generating them")
      ->type_name("DIR");
  cmd->add_option("--device", o.device,
                  "Where the sieve kernels run: cpu (default), auto (the first OpenCL GPU, else "
                  "the CPU), gpu (the first OpenCL GPU), opencl:N (OpenCL device N; see "
                  "'zentrova bench --device list')")
      ->type_name("DEVICE");
  cmd->add_option("--gpu-kernel", o.gpuKernel,
                  "On a GPU: the arithmetic of its kernels, " + GpuKernelNames() +
                      " (default: the fastest for each p range, calibrated on the device and "
                      "kept in ~/.cache/zentrova). A forced one is refused for a run that starts "
                      "at or above its bound; past its bound the CPU kernels sieve the rest")
      ->option_text("KERNEL");
  cmd->add_option("--device-batch", o.deviceBatch,
                  "Most p per device launch (default 65536); smaller launches answer a stop "
                  "sooner on a slow device")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 20));
  const std::string factors = std::to_string(config::kRateFactors);
  cmd->add_option("--stop-rate", o.stopRate,
                  "Stop (with the usual final save) once finding a factor takes longer than "
                  "SECONDS, as the time the last " +
                      factors +
                      " factors took (the whole run "
                      "while fewer were found), and never before the run has sieved for " +
                      std::to_string(static_cast<int>(config::kStopRateEvidence)) +
                      " x SECONDS and found " + factors + " factors or sieved " + factors +
                      " x SECONDS: set it to the time your primality tester takes per candidate "
                      "at this N and b (e.g. 600); 0 for none (the default)")
      ->option_text("SECONDS");
}

void CommonOptions(const SieveOptions& o, SieveJob& job) {
  job.m_nSaveSeconds = o.saveMinutes * 60;
  job.m_bNoSSE2 = o.noSimd ? 1 : 0;
  if (!ParseIsa(o.isa, job.m_isa) || o.isa == "list") {
    throw UsageError(StrFormat("--isa: unknown instruction set '%s' (%s).", o.isa.c_str(),
                               IsaChoices().c_str()));
  }
  if (job.m_isa != Isa::kAuto && !IsaAvailable(job.m_isa)) {
    throw UsageError(StrFormat("--isa %s: this processor or build has no %s kernel.", o.isa.c_str(),
                               o.isa.c_str()));
  }
  if (job.m_isa == Isa::kScalar) job.m_bNoSSE2 = 1;
  job.m_strPackedKDir = o.packedDir;
  if (!o.packedDir.empty() && !CTextFile::FileExists(o.packedDir)) {
    throw UsageError(StrFormat("--packed-dir: folder %s does not exist.", o.packedDir.c_str()));
  }
  // Threads, p limit, device and stop rate as the desktop program's Engine
  // settings reach the job (front/EngineSettings.h).
  const EngineSettings engine{o.threads, o.device, o.pMax, o.stopRate, o.gpuKernel};
  const EngineField bad = ApplyEngineSettings(engine, &SystemDevices(), job);
  switch (bad) {
    case EngineField::kNone:
      break;
    case EngineField::kPMax:
      throw UsageError(
          StrFormat("--p-max: '%s' is not a whole number from 1 to 2^94.", o.pMax.c_str()));
    case EngineField::kDevice:
      throw UsageError(
          StrFormat("--device: '%s' is not cpu, auto, gpu or opencl:N.", o.device.c_str()));
    case EngineField::kThreads:
      // (The option parser has checked its range already.)
      throw UsageError("--threads: " + EngineRefusal(bad));
    case EngineField::kStopRate:
      throw UsageError("--stop-rate: " + EngineRefusal(bad));
    case EngineField::kGpuKernel:
      throw UsageError("--gpu-kernel: " + EngineRefusal(bad));
  }
  job.m_deviceBatch = o.deviceBatch;
  if (!o.pMin.empty()) job.m_pMin = ReadPMinOption(o.pMin);
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

int RunNew(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceNewSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;  // the sequence of this exponent is used
  SieveJob job;
  CommonOptions(o, job);
  if (job.m_pMax != 0 && job.m_pMin > job.m_pMax) {
    throw UsageError("--p-min must not be above --p-max.");
  }
  return RunFormJob(form, job, o.force);
}

void AddNew(CLI::App& app, Subcommands& commands) {
  auto [cmd, o] = AddSubcommand<SieveOptions>(
      app, commands, "new",
      "Start a new sieve over the bases bmin, bmin+2, ... <= bmax (one parity).\n"
      "Example: zentrova new --exponent 65536 --bmin 1200000 --bmax 1201998 --factors-out f.txt "
      "--sieve-out c.txt --p-max 1e10",
      RunNew);
  cmd->add_option("--exponent", o.exponent, "The exponent N of b^N+1, a power of two")->required();
  cmd->add_option("--bmin", o.bMin, "Smallest base b")->required();
  cmd->add_option("--bmax", o.bMax, "Largest base b")->required();
  AddFileOption(cmd, "--factors-out", o.factorsOut,
                "Factor output file: the header, then \"b^N+1 has factor p\" per struck base")
      ->required();
  AddFileOption(cmd, "--sieve-out", o.sieveOut,
                "Sieve output file: the candidates in ABC format, with the depth reached")
      ->required();
  cmd->add_option("--p-min", o.pMin,
                  "Start with the first candidate p at or above P (to split a range of p "
                  "between runs or machines)")
      ->check(kPGiven);
  AddRunOptions(cmd, o);
  commands.back().threads = &o.threads;
}

int RunResume(const SieveOptions& o) {
  FormParams form = FormFor(kChoiceResumeSieve, o);
  form.saveMinutes = o.saveMinutes;
  form.packedKDir = o.packedDir;
  form.packedKExponent = o.exponent;
  if (!o.pMin.empty()) {
    throw UsageError(
        "--p-min applies to a new sieve only; a resumed sieve continues from its files.");
  }
  SieveJob job;
  CommonOptions(o, job);
  job.m_missingStruck = o.missingStruck;
  return RunFormJob(form, job, o.force, {o.factorsIn, o.sieveIn});
}

void AddResume(CLI::App& app, Subcommands& commands) {
  auto [cmd, o] = AddSubcommand<SieveOptions>(
      app, commands, "resume",
      "Resume a sieve from the files an earlier run saved; the range, exponent and depth come "
      "from them.\n"
      "Example: zentrova resume --factors-in f.txt --sieve-in c.txt --factors-out f2.txt "
      "--sieve-out c2.txt --p-max 1e11",
      RunResume);
  AddFileOption(cmd, "--factors-in", o.factorsIn,
                "Factor file of the earlier run, which must exist when named. Normal "
                "mode: read and written anew as --factors-out (without it the new factor "
                "file holds only the factors found from now on). With --wide: the file "
                "the run checks and appends to, so name it as --factors-out too (or a "
                "--factors-out that does not exist yet, to which it is copied first); "
                "without it, an existing --factors-out is that file");
  AddFileOption(cmd, "--sieve-in", o.sieveIn, "Candidate file of the earlier run")->required();
  cmd->add_option("--exponent", o.exponent,
                  "With --packed-dir: the exponent of the packed K sequence (default: the "
                  "files' exponent; a different one is refused)");
  AddFileOption(cmd, "--factors-out", o.factorsOut, "Factor output file")->required();
  cmd->add_flag("--missing-as-struck", o.missingStruck,
                "Take the bases of the range that neither input file holds as struck "
                "elsewhere, saying how many, instead of refusing the files: for a candidate "
                "file sieved by another program, which left no factor file here (the files "
                "written keep no record of those bases, so give it at every resume of such "
                "a sieve)");
  AddFileOption(cmd, "--sieve-out", o.sieveOut, "Sieve output file")->required();
  AddRunOptions(cmd, o);
  commands.back().threads = &o.threads;
}

int RunPack(const SieveOptions& o) {
  SieveJob job;
  job.m_nCommand = kCmdCreatePackedK;
  job.m_nExponent = o.exponent;
  job.m_nLn = ExponentLog2(o.exponent);
  if (job.m_nLn == 0) {
    throw UsageError(
        StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", o.exponent));
  }
  if (o.packedDir.empty()) {
    throw UsageError("--dir: a folder for the packed K files is required.");
  }
  CommonOptions(o, job);
  if (!o.fileBytes.empty()) {
    // A header and one data word are the least a file can be.
    constexpr uint64_t kLeast = CPackedKDB::kHeaderBytes + 4;
    if (!ParseWholeUInt64(o.fileBytes, job.m_packedKFileBytes) || job.m_packedKFileBytes < kLeast) {
      throw UsageError(StrFormat("--file-bytes: '%s' is not a whole number of at least %" PRIu64
                                 " bytes.",
                                 o.fileBytes.c_str(), kLeast));
    }
  }
  return RunJob(job);
}

void AddPack(CLI::App& app, Subcommands& commands) {
  auto [cmd, o] = AddSubcommand<SieveOptions>(
      app, commands, "pack",
      "Create or extend the packed K file sequence of an exponent: every k whose p = k*2N+1 "
      "passes the candidate test, stored as 10-bit differences in files of 100000000 bytes "
      "(about 75 million k each) named <dir>/ln<log2 N>pi<nnnnn>.pkk. Runs until Ctrl-C, "
      "--p-max, or k reaching 2^63 - 256; run it again to extend the sequence. Later sieves read "
      "the "
      "files with --packed-dir.\n"
      "Example: zentrova pack --dir pk --exponent 65536 --p-max 1e13",
      RunPack);
  cmd->add_option("--dir", o.packedDir, "Folder of the sequence (must exist)")
      ->required()
      ->type_name("DIR");
  cmd->add_option("--exponent", o.exponent, "The exponent N, a power of two")->required();
  cmd->add_option("--p-max", o.pMax, "Stop before the first p above this")->check(kPGiven);
  cmd->add_option("--isa", o.isa, IsaChoices() + " (the Fermat test)")->type_name("ISA");
  // Small files let a test cross many rollovers in a moment; no one else
  // needs another size, so the option stays out of --help.
  cmd->add_option("--file-bytes", o.fileBytes, "Bytes per packed K file")->group("");
}

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
  CommonOptions(options, job);
  job.m_gpuKernel = kernel;
  const int32_t n = o.exponent != 0 ? o.exponent : 1048576;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = n;
  job.m_nLn = ExponentLog2(n);
  if (job.m_nLn == 0) {
    throw UsageError(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", n));
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
  RecordingSink sink;
  JobRunner runner(job, sink, 1);
  const JobOutcome outcome = runner.RunFor(std::chrono::seconds(o.seconds)).outcome;
  std::filesystem::remove_all(platform::FsPath(folder));
  for (const std::string& line : sink.LogLines()) std::printf("%s\n", line.c_str());
  if (outcome.end == JobEnd::kFailed) return std::nullopt;
  // Sampled after the end, so that the count covers the loop's whole time.
  const RunProgress progress = runner.Sample();
  // The loop's own time: the device's start-up and the kernels' build are
  // not part of the rate.
  const double seconds = outcome.loopSeconds;
  DeviceBenchResult r;
  r.pPerSecond = seconds > 0 ? static_cast<double>(progress.pCount) / seconds : 0;
  const double range =
      progress.pReached > pStart ? static_cast<double>(progress.pReached - pStart) : 0;
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

// The known-answer test of arithmetic `name` on the options' device, as
// the device opens with it forced: "right"; "wrong" (its first wrong answer
// printed); "-" where it was not asked (the CPU, no device, or it cannot
// run there).
std::string KnownAnswers(const SieveOptions& o, const std::string& name, UInt128 pStart) {
  const std::optional<DeviceChoice> choice = DeviceChoice::Parse(o.device);
  if (!choice || choice->OnCpu()) return "-";
  try {
    SystemDevices().Open(choice->kind == DeviceChoice::Kind::kAuto ? DeviceChoice::Gpu() : *choice,
                         DeviceOptions{name, pStart});
    return "right";
  } catch (const KnownAnswerError& e) {
    std::printf("%s\n", e.what());
    return "wrong";
  } catch (const DeviceError&) {
    return "-";
  }
}

int RunDeviceBench(const SieveOptions& o) {
  if (o.device == "list") return ListDevices();
  if (!o.allKernels) return TimeDevice(o, o.gpuKernel) ? kExitOk : kExitJobFailed;
  // Every arithmetic that reaches past the first p, one after the other,
  // then side by side with its known-answer test; one that fails it is
  // not timed.
  UInt128 pStart = 1000000000000000ULL;
  if (!o.pMin.empty()) pStart = ReadPMinOption(o.pMin);
  std::vector<std::tuple<std::string, std::string, std::optional<DeviceBenchResult>>> rows;
  bool timed = false;
  for (const GpuArithmetic& a : GpuArithmetics()) {
    if (a.bound <= pStart) continue;
    std::printf("--- GPU kernel %s: %s\n", a.name.c_str(), a.what.c_str());
    std::fflush(stdout);
    const std::string known = KnownAnswers(o, a.name, pStart);
    const std::optional<DeviceBenchResult> r =
        known == "wrong" ? std::nullopt : TimeDevice(o, a.name);
    if (r || known == "wrong") rows.emplace_back(a.name, known, r);
    timed = timed || r.has_value();
  }
  if (!timed) {
    std::printf("No GPU kernel ran (no OpenCL device, or none that reaches p = %s).\n",
                PToString(pStart).c_str());
    return kExitJobFailed;
  }
  std::printf("\n%-10s %14s %10s %6s  %s\n", "kernel", "p/s", "P/day", "busy", "known-answers");
  for (const auto& [name, known, r] : rows) {
    if (r) {
      std::printf("%-10s %14.0f %10.2f %5.0f%%  %s\n", name.c_str(), r->pPerSecond, r->pPerDay,
                  100.0 * r->busy, known.c_str());
    } else {
      std::printf("%-10s %14s %10s %6s  %s\n", name.c_str(), "-", "-", "-", known.c_str());
    }
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
  std::vector<JobRunner*> runners;
  for (auto& r : runs) runners.push_back(r.get());
  const std::vector<JobRunner::TimedRun> timed =
      JobRunner::RunFor(runners, std::chrono::seconds(seconds));
  int64_t sieved = 0;
  for (const JobRunner::TimedRun& t : timed) sieved += t.atTime.pCount;
  const double elapsed = timed.front().seconds;
  const JobOutcome& first = timed.front().outcome;
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
  CommonOptions(options, base);
  base.m_nCommand = kCmdNewSieve;
  base.m_nExponent = 65536;
  base.m_nLn = 16;
  base.m_pMin = 1000000000000000ULL;
  base.m_pMax = 0;
  base.m_nSaveSeconds = 1 << 30;
  std::printf("zentrova bench --scaling: N = 65536, p from 1e15, %d s per run\n", o.seconds);
  std::printf("%-7s %7s %14s %14s %11s %8s %8s\n", "mode", "threads", "one process", "independent",
              "efficiency", "serial", "busy");
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
  std::printf(
      "serial: the share of the loop's time its own thread spent applying batches, which\n"
      "overlaps the workers; one process is bound at 1/serial (on 1 thread) times one\n"
      "thread's rate: wide %.0fx, normal %.0fx here. busy: the workers' share of the loop's\n"
      "time spent working; the rest is waiting at the end of a batch (whose spans shrink\n"
      "to a 64th of a worker's share), about the same share at any thread count.\n",
      serialAlones[0] > 0 ? 1.0 / serialAlones[0] : 0.0,
      serialAlones[1] > 0 ? 1.0 / serialAlones[1] : 0.0);
  return kExitOk;
}

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
  CommonOptions(options, job);
  if (o.compare) return RunBenchComparison(job);
  return RunJob(job);
}

void AddBench(CLI::App& app, Subcommands& commands) {
  auto [cmd, o] = AddSubcommand<SieveOptions>(
      app, commands, "bench",
      "Time the normal sieve on a fixed workload (N = 65536, the 500 even bases from 1200000 to "
      "1200998) up to --p-max (default 6e12), then verify every factor found.\n"
      "Example: zentrova bench --no-simd --threads 1; zentrova bench --isa list",
      RunBench);
  cmd->add_option("--p-max", o.pMax, "Sieve up to this p (default 6e12)")->check(kPGiven);
  cmd->add_flag("--no-simd", o.noSimd, "Use only the portable scalar kernel");
  cmd->add_option("--threads", o.threads, "Worker threads (default: all hardware threads)")
      ->check(CLI::Range(1, 1024));
  cmd->add_option("--isa", o.isa, IsaChoices() + "; 'list' prints what this processor has")
      ->type_name("ISA");
  cmd->add_flag("--compare", o.compare,
                "Run the benchmark for every available kernel with 1, 2, 4, ... threads up to "
                "all, and print p per second with the ratio to the portable kernel");
  cmd->add_option("--packed-dir", o.packedDir,
                  "Read k from the packed K sequence for N = 65536 in this folder")
      ->type_name("DIR");
  cmd->add_option("--device", o.device,
                  "Time the wide sieve of b^N+1 (even b up to 2e6, p from 1e15) on this device "
                  "instead: cpu, auto, gpu, opencl:N; 'list' prints the OpenCL devices")
      ->each([&o](const std::string&) { o.deviceGiven = true; })
      ->type_name("DEVICE");
  cmd->add_option("--gpu-kernel", o.gpuKernel,
                  "With --device: the GPU arithmetic, " + GpuKernelNames())
      ->option_text("KERNEL");
  cmd->add_option("--device-batch", o.deviceBatch,
                  "With --device: most p per device launch (default 65536; a slow device "
                  "answers the end of each run sooner with fewer)")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 20));
  cmd->add_flag("--all-kernels", o.allKernels,
                "With --device: time every GPU arithmetic that reaches the first p in turn "
                "and print their p/s and P/day side by side");
  cmd->add_option("--exponent", o.exponent, "With --device: the exponent N (default 1048576)");
  cmd->add_flag("--scaling", o.scaling,
                "One process with 1, 2, 4, ... threads against as many independent "
                "one-thread jobs side by side, in both modes, with the efficiency");
  cmd->add_option("--p-min", o.pMin,
                  "Start at this p (default: the first; with --device 1e15), to time the "
                  "arithmetic of larger p (two words from 2^62 on)")
      ->check(kPGiven);
  cmd->add_option("--seconds", o.seconds,
                  "With --device or --scaling: seconds per run (default 10)")
      ->check(CLI::Range(1, 86400));
}

}  // namespace

UInt128 ReadPMinOption(const std::string& text) {
  UInt128 p = 0;
  if (text.empty() || !ReadPLimit(text, p)) {
    throw UsageError(
        StrFormat("--p-min: '%s' is not a whole number from 1 to 2^94.", text.c_str()));
  }
  return p;
}

void AddSieveCommands(CLI::App& app, Subcommands& commands) {
  AddNew(app, commands);
  AddResume(app, commands);
  AddBench(app, commands);
  AddPack(app, commands);
}

}  // namespace zentrova::cli
