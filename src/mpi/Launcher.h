// How many processes a launcher started, from its environment: mpirun of
// Open MPI, a PMI launcher (MPICH, Slurm) or PMIx. 1 when none did.
#pragma once

#include <cstdlib>
#include <string>

namespace zentrova {

inline int LaunchedProcesses() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_SIZE", "SLURM_NTASKS"}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
      const int count = std::atoi(value);
      if (count > 0) return count;
    }
  }
  return 1;
}

}  // namespace zentrova
