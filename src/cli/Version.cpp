// ZENTROVA_VERSION, ZENTROVA_COMMIT and ZENTROVA_BUILD_TYPE come from CMake
// (src/CMakeLists.txt), for this file only, so that a new commit rebuilds
// nothing else.
#include "cli/Version.h"

#include "gpu/OpenClBackend.h"
#include "mpi/MpiCluster.h"
#include "sieve/kernels/KernelIsa.h"

#ifndef ZENTROVA_VERSION
#define ZENTROVA_VERSION "unknown"
#endif
#ifndef ZENTROVA_COMMIT
#define ZENTROVA_COMMIT "unknown"
#endif
#ifndef ZENTROVA_BUILD_TYPE
#define ZENTROVA_BUILD_TYPE "unknown"
#endif

namespace zentrova::cli {

std::string VersionText() {
  std::string compiled, runs;
  for (const IsaLevel& level : IsaLevels()) {
    if (!level.CompiledIn()) continue;
    compiled += std::string(compiled.empty() ? "" : " ") + level.name;
    if (level.Available()) runs += std::string(runs.empty() ? "" : " ") + level.name;
  }
#ifdef ZENTROVA_HAVE_OPENCL
  std::string openCl = "yes (GPU kernels";
  for (const GpuArithmetic& a : GpuArithmetics()) openCl += " " + a.name;
  openCl += ")";
#else
  const std::string openCl = "no";
#endif
  const std::string build = ZENTROVA_BUILD_TYPE;
  return std::string("zentrova ") + ZENTROVA_VERSION + "\ncommit " + ZENTROVA_COMMIT +
         "\nbuild type " + (build.empty() ? "unknown" : build) + "\nkernels " + compiled +
         " (this processor runs " + runs + ")\nOpenCL " + openCl + "\nMPI " +
         (HaveMpi() ? "yes" : "no");
}

std::string VersionNumber() { return ZENTROVA_VERSION; }

}  // namespace zentrova::cli
