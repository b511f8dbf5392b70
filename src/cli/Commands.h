// The subcommands of `zentrova`: each turns its options into a job record,
// applies the form's checks with their texts, runs the job on a CGfnThread and
// maps the outcome to the exit code (0 done, 1 the job failed, 2 bad usage).
#pragma once

#include <cstdint>
#include <string>

#include "cli/RunJob.h"
#include "cli/Subcommand.h"

namespace zentrova::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;
inline constexpr int kExitUsage = 2;

struct SieveOptions : FileOptions {
  int32_t saveMinutes = 60;
  bool noSimd = false;
  std::string pMin, pMax;  // as typed; parsed by ReadPLimit
  int32_t threads = 0;     // 0: all hardware threads
  std::string isa = "auto";
  std::string packedDir;       // read k from this packed K sequence
  bool compare = false;        // bench: every kernel and thread count
  std::string device = "cpu";  // cpu, auto, gpu, opencl:N (bench: list)
  bool deviceGiven = false;    // bench: the wide device benchmark
  bool scaling = false;        // bench: threads in one process against independent jobs
  int32_t seconds = 10;        // bench --device: length of the run
  int64_t deviceBatch = 0;     // most p per device launch (0: the default)
  std::string gpuKernel;       // a GPU arithmetic by name (empty: calibrated)
  bool allKernels = false;     // bench --device: every GPU arithmetic in turn
  double stopRate = 0;         // seconds per factor that end a sieve (0: none)
  bool missingStruck = false;  // resume: bases in neither file were struck elsewhere
  std::string fileBytes;       // pack: bytes per file as typed; empty for the usual size
};

// Declares new, resume, bench and pack on app, in that order, each with its
// runner.
void AddSieveCommands(CLI::App& app, Subcommands& commands);

// A --p-min as typed: a whole number from 1 to below 2^94; else a usage
// error.
UInt128 ReadPMinOption(const std::string& text);

// The default depth of `zentrova bench`: about ten seconds of the portable
// kernel on one core of a current machine.
inline constexpr const char* kBenchDefaultPMax = "6e12";

}  // namespace zentrova::cli
