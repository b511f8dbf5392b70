// zentrova: the command-line front end for long headless sieve runs.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Describe.h"
#include "cli/RunJob.h"
#include "cli/SideCommands.h"
#include "cli/Version.h"
#include "front/JobRunner.h"
#include "gpu/OpenClBackend.h"
#include "mpi/MpiCluster.h"
#include "platform/Console.h"
#include "sieve/kernels/Dispatch.h"

using zentrova::cli::SieveOptions;

namespace {

// The GPU arithmetics by name, for the help texts.
std::string GpuKernelNames() {
  std::string names;
  for (const zentrova::GpuArithmetic& a : zentrova::GpuArithmetics()) {
    names += (names.empty() ? "" : ", ") + a.name;
  }
  return names.empty() ? "none in this build" : names;
}

// A p given as an empty text ("--p-max ''", an unset variable in a script)
// is a usage error: taken as no limit, it would start a run that never ends.
const CLI::Validator kPGiven(
    [](const std::string& value) {
      return value.empty() ? std::string("an empty value is no p; give one such as 1e12, or "
                                         "leave the option out")
                           : std::string();
    },
    "P", "PGiven");

// The manual page's date: SOURCE_DATE_EPOCH's (for a reproducible
// package), else today's, in UTC.
std::string ManPageDate() {
  std::time_t at = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const long long value = std::strtoll(epoch, &end, 10);
    if (end != epoch && *end == '\0' && value >= 0) at = static_cast<std::time_t>(value);
  }
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &at);
#else
  gmtime_r(&at, &utc);
#endif
  char date[16];
  return std::string(date, std::strftime(date, sizeof date, "%Y-%m-%d", &utc));
}

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
                  "Instruction set of the vector kernel: " + zentrova::IsaChoices() +
                      " (default auto)")
      ->type_name("ISA");
  cmd->add_flag("--force", o.force, "Replace existing output files (only once the new ones are complete)");
  cmd->add_flag("--wide", o.wide,
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
  const std::string factors = std::to_string(zentrova::config::kRateFactors);
  cmd->add_option("--stop-rate", o.stopRate,
                  "Stop (with the usual final save) once finding a factor takes longer than "
                  "SECONDS, as the time the last " + factors + " factors took (the whole run "
                  "while fewer were found), and never before the run has sieved for " +
                      std::to_string(static_cast<int>(zentrova::config::kStopRateEvidence)) +
                      " x SECONDS and found " + factors + " factors or sieved " + factors +
                      " x SECONDS: set it to the time your primality tester takes per candidate "
                      "at this N and b (e.g. 600); 0 for none (the default)")
      ->option_text("SECONDS");
}

}  // namespace

int main(int argc, char** argvIn) {
  // Every name in UTF-8, whatever the system hands main().
  std::vector<std::string> arguments = zentrova::platform::Utf8Arguments(argc, argvIn);
  std::vector<char*> argvUtf8;
  for (std::string& a : arguments) argvUtf8.push_back(a.data());
  argvUtf8.push_back(nullptr);
  argc = static_cast<int>(arguments.size());
  char** argv = argvUtf8.data();
  // Past a file size limit a write fails with EFBIG, which the job reports
  // and survives, instead of the signal ending the process mid-save.
  zentrova::platform::IgnoreFileSizeSignal();
  zentrova::cli::InstallStopSignals();
  // Under mpirun: process 0 runs the job, the others compute its batches.
  std::unique_ptr<zentrova::BatchCluster> cluster;
  try {
    cluster = zentrova::JoinProcessRun(argc, argv);
  } catch (const zentrova::ClusterError& e) {
    std::fprintf(stderr, "zentrova: %s\n", e.what());
    return zentrova::cli::kExitJobFailed;
  }
  // The other processes write nothing on stdout (help included): the run's
  // output is process 0's; their messages go to stderr.
  if (cluster && cluster->Rank() > 0 && std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::fprintf(stderr, "zentrova: /dev/null cannot be opened.\n");
  }
  CLI::App app{
      "zentrova - a sieve for generalized Fermat numbers b^N+1.\n"
      "Every prime factor of b^N+1 (N a power of two) has the form p = k*2N+1. The sieve takes\n"
      "such p in increasing order and strikes every base b of a range with b^N == -1 (mod p),\n"
      "recording b with its factor; the survivors form a candidate file (ABC format) for a\n"
      "primality tester.\n\n"
      "Examples:\n"
      "  zentrova new --exponent 65536 --bmin 1200000 --bmax 1201998 \\\n"
      "      --factors-out factors.txt --sieve-out candidates.txt --p-max 1e10\n"
      "  zentrova resume --factors-in factors.txt --sieve-in candidates.txt \\\n"
      "      --factors-out factors.txt --sieve-out candidates.txt --p-max 1e11\n"
      "  zentrova bench\n"
      "  zentrova pack --dir pk --exponent 65536 --p-max 1e13\n"
      "  zentrova report --factors-in factors.txt --proth-log Proth.Log --report report.txt\n"
      "  zentrova rebuild --factors-in factors.txt --factors-out sorted.txt \\\n"
      "      --sieve-out candidates.txt --exponent 65536 --bmin 1200000 --bmax 1201998\n"
      "  zentrova tbf --sieve-in candidates.txt --sieve-out tbf.txt --exponent 65536 \\\n"
      "      --bmin 1200000 --bmax 1201998\n"
      "Ctrl-C (or SIGTERM) stops a run after the current batch of p and saves both files.\n"
      "Under mpirun, new and resume spread each batch of p over the processes (each with its\n"
      "--threads); process 0 owns the files, which are the same as one process would write:\n"
      "  mpirun -n 4 zentrova new --wide --exponent 1048576 --bmin 2 --bmax 2000000000 ...\n"
      "Exit codes: 0 done, 1 the job reported a failure, 2 bad usage."};
  app.require_subcommand(1);
  app.set_version_flag("--version", [] { return zentrova::cli::VersionText(); },
                       "Show the version, the commit and what this build includes, then exit");
  app.set_help_all_flag("--help-all", "Show the help of every subcommand");

  SieveOptions newOpts;
  CLI::App* cmdNew = app.add_subcommand(
      "new",
      "Start a new sieve over the bases bmin, bmin+2, ... <= bmax (one parity).\n"
      "Example: zentrova new --exponent 65536 --bmin 1200000 --bmax 1201998 --factors-out f.txt "
      "--sieve-out c.txt --p-max 1e10");
  cmdNew->add_option("--exponent", newOpts.exponent, "The exponent N of b^N+1, a power of two")
      ->required();
  cmdNew->add_option("--bmin", newOpts.bMin, "Smallest base b")->required();
  cmdNew->add_option("--bmax", newOpts.bMax, "Largest base b")->required();
  cmdNew
      ->add_option("--factors-out", newOpts.factorsOut,
                   "Factor output file: the header, then \"b^N+1 has factor p\" per struck base")
      ->required()
      ->type_name("FILE");
  cmdNew
      ->add_option("--sieve-out", newOpts.sieveOut,
                   "Sieve output file: the candidates in ABC format, with the depth reached")
      ->required()
      ->type_name("FILE");
  cmdNew->add_option("--p-min", newOpts.pMin,
                     "Start with the first candidate p at or above P (to split a range of p "
                     "between runs or machines)")
      ->check(kPGiven);
  AddRunOptions(cmdNew, newOpts);

  SieveOptions resumeOpts;
  CLI::App* cmdResume = app.add_subcommand(
      "resume",
      "Resume a sieve from the files an earlier run saved; the range, exponent and depth come "
      "from them.\n"
      "Example: zentrova resume --factors-in f.txt --sieve-in c.txt --factors-out f2.txt "
      "--sieve-out c2.txt --p-max 1e11");
  cmdResume
      ->add_option("--factors-in", resumeOpts.factorsIn,
                   "Factor file of the earlier run, which must exist when named. Normal "
                   "mode: read and written anew as --factors-out (without it the new factor "
                   "file holds only the factors found from now on). With --wide: the file "
                   "the run checks and appends to, so name it as --factors-out too (or a "
                   "--factors-out that does not exist yet, to which it is copied first); "
                   "without it, an existing --factors-out is that file")
      ->type_name("FILE");
  cmdResume->add_option("--sieve-in", resumeOpts.sieveIn, "Candidate file of the earlier run")
      ->required()
      ->type_name("FILE");
  cmdResume->add_option("--exponent", resumeOpts.exponent,
                        "With --packed-dir: the exponent of the packed K sequence (default: the "
                        "files' exponent; a different one is refused)");
  cmdResume->add_option("--factors-out", resumeOpts.factorsOut, "Factor output file")
      ->required()
      ->type_name("FILE");
  cmdResume->add_flag("--missing-as-struck", resumeOpts.missingStruck,
                      "Take the bases of the range that neither input file holds as struck "
                      "elsewhere, saying how many, instead of refusing the files: for a candidate "
                      "file sieved by another program, which left no factor file here (the files "
                      "written keep no record of those bases, so give it at every resume of such "
                      "a sieve)");
  cmdResume->add_option("--sieve-out", resumeOpts.sieveOut, "Sieve output file")
      ->required()
      ->type_name("FILE");
  AddRunOptions(cmdResume, resumeOpts);

  SieveOptions benchOpts;
  CLI::App* cmdBench = app.add_subcommand(
      "bench",
      "Time the normal sieve on a fixed workload (N = 65536, the 500 even bases from 1200000 to "
      "1200998) up to --p-max (default 6e12), then verify every factor found.\n"
      "Example: zentrova bench --no-simd --threads 1; zentrova bench --isa list");
  cmdBench->add_option("--p-max", benchOpts.pMax, "Sieve up to this p (default 6e12)")
      ->check(kPGiven);
  cmdBench->add_flag("--no-simd", benchOpts.noSimd, "Use only the portable scalar kernel");
  cmdBench->add_option("--threads", benchOpts.threads,
                       "Worker threads (default: all hardware threads)")
      ->check(CLI::Range(1, 1024));
  cmdBench
      ->add_option("--isa", benchOpts.isa,
                   zentrova::IsaChoices() + "; 'list' prints what this processor has")
      ->type_name("ISA");
  cmdBench->add_flag("--compare", benchOpts.compare,
                     "Run the benchmark for every available kernel with 1, 2, 4, ... threads up to "
                     "all, and print p per second with the ratio to the portable kernel");
  cmdBench
      ->add_option("--packed-dir", benchOpts.packedDir,
                   "Read k from the packed K sequence for N = 65536 in this folder")
      ->type_name("DIR");
  cmdBench
      ->add_option("--device", benchOpts.device,
                   "Time the wide sieve of b^N+1 (even b up to 2e6, p from 1e15) on this device "
                   "instead: cpu, auto, gpu, opencl:N; 'list' prints the OpenCL devices")
      ->each([&benchOpts](const std::string&) { benchOpts.deviceGiven = true; })
      ->type_name("DEVICE");
  cmdBench
      ->add_option("--gpu-kernel", benchOpts.gpuKernel,
                   "With --device: the GPU arithmetic, " + GpuKernelNames())
      ->option_text("KERNEL");
  cmdBench->add_option("--device-batch", benchOpts.deviceBatch,
                       "With --device: most p per device launch (default 65536; a slow device "
                       "answers the end of each run sooner with fewer)")
      ->check(CLI::Range(int64_t{1}, int64_t{1} << 20));
  cmdBench->add_flag("--all-kernels", benchOpts.allKernels,
                     "With --device: time every GPU arithmetic that reaches the first p in turn "
                     "and print their p/s and P/day side by side");
  cmdBench->add_option("--exponent", benchOpts.exponent,
                       "With --device: the exponent N (default 1048576)");
  cmdBench->add_flag("--scaling", benchOpts.scaling,
                     "One process with 1, 2, 4, ... threads against as many independent "
                     "one-thread jobs side by side, in both modes, with the efficiency");
  cmdBench->add_option("--p-min", benchOpts.pMin,
                       "Start at this p (default: the first; with --device 1e15), to time the "
                       "arithmetic of larger p (two words from 2^62 on)")
      ->check(kPGiven);
  cmdBench->add_option("--seconds", benchOpts.seconds,
                       "With --device or --scaling: seconds per run (default 10)")
      ->check(CLI::Range(1, 86400));

  SieveOptions packOpts;
  CLI::App* cmdPack = app.add_subcommand(
      "pack",
      "Create or extend the packed K file sequence of an exponent: every k whose p = k*2N+1 "
      "passes the candidate test, stored as 10-bit differences in files of 100000000 bytes "
      "(about 75 million k each) named <dir>/ln<log2 N>pi<nnnnn>.pkk. Runs until Ctrl-C, "
      "--p-max, or k reaching 2^63 - 256; run it again to extend the sequence. Later sieves read the "
      "files with --packed-dir.\n"
      "Example: zentrova pack --dir pk --exponent 65536 --p-max 1e13");
  cmdPack->add_option("--dir", packOpts.packedDir, "Folder of the sequence (must exist)")
      ->required()
      ->type_name("DIR");
  cmdPack->add_option("--exponent", packOpts.exponent, "The exponent N, a power of two")
      ->required();
  cmdPack->add_option("--p-max", packOpts.pMax, "Stop before the first p above this")
      ->check(kPGiven);
  cmdPack->add_option("--isa", packOpts.isa, zentrova::IsaChoices() + " (the Fermat test)")
      ->type_name("ISA");
  // Small files let a test cross many rollovers in a moment; no one else
  // needs another size, so the option stays out of --help.
  cmdPack->add_option("--file-bytes", packOpts.fileBytes, "Bytes per packed K file")->group("");

  zentrova::cli::SideCommands side;
  zentrova::cli::AddSideCommands(app, side);

  // The manual page and the shell completion, made from the options above
  // (cli/Describe.h); hidden, as tools of the build and the installer.
  CLI::App* cmdManPage =
      app.add_subcommand("manpage", "Print the manual page zentrova(1) in roff")->group("");
  CLI::App* cmdCompletion =
      app.add_subcommand("completion", "Print the shell completion script (bash)")->group("");
  std::string shell;
  cmdCompletion->add_option("shell", shell, "The shell: bash")
      ->required()
      ->check(CLI::IsMember({"bash"}));

  // The program's name in every usage line, not the path it was started by.
  app.name("zentrova");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "zentrova: %s\nRun 'zentrova --help' for more information.\n", e.what());
    return zentrova::cli::kExitUsage;
  }

  try {
    if (cluster && cluster->Rank() > 0) {
      const int threads = *cmdNew ? newOpts.threads : *cmdResume ? resumeOpts.threads : 0;
      return zentrova::cli::ServeOtherProcess(*cluster, threads);
    }
    zentrova::cli::UseCluster(cluster.get());
    if (*cmdManPage) {
      std::fputs(zentrova::cli::ManPage(app, zentrova::cli::VersionNumber(), ManPageDate()).c_str(),
                 stdout);
      return zentrova::cli::kExitOk;
    }
    if (*cmdCompletion) {
      std::vector<std::string> isas, kernels;
      for (const zentrova::Isa isa : zentrova::KernelIsas()) {
        if (isa != zentrova::Isa::kAuto) isas.emplace_back(zentrova::IsaName(isa));
      }
      for (const zentrova::GpuArithmetic& a : zentrova::GpuArithmetics()) kernels.push_back(a.name);
      std::fputs(zentrova::cli::BashCompletion(app, isas, kernels).c_str(), stdout);
      return zentrova::cli::kExitOk;
    }
    if (*cmdNew) return zentrova::cli::RunNew(newOpts);
    if (*cmdResume) return zentrova::cli::RunResume(resumeOpts);
    if (*cmdBench) return zentrova::cli::RunBench(benchOpts);
    if (*cmdPack) return zentrova::cli::RunPack(packOpts);
    if (*side.report) return zentrova::cli::RunReport(side.reportOptions);
    if (*side.rebuild) return zentrova::cli::RunRebuild(side.rebuildOptions);
    if (*side.tbf) return zentrova::cli::RunToBeFactored(side.tbfOptions);
    if (*side.merge) return zentrova::cli::RunMerge(side.mergeOptions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zentrova: %s\n", e.what());
    return zentrova::cli::kExitJobFailed;
  }
  return zentrova::cli::kExitUsage;
}
