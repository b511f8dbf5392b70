// A build without MPI: it runs alone, and refuses to be one of several
// processes, each of which would run the whole job on the same files.
#include "mpi/Launcher.h"
#include "mpi/MpiCluster.h"

namespace zentrova {

std::unique_ptr<BatchCluster> JoinProcessRun(int&, char**&) {
  if (LaunchedProcesses() > 1) {
    throw ClusterError(
        "This zentrova was built without MPI, so it cannot share a run with other processes "
        "(each would sieve the whole range into the same files).  Build it with ZENTROVA_MPI=ON "
        "(scripts/install-deps.sh installs Open MPI), or start one process.");
  }
  return nullptr;
}

bool HaveMpi() { return false; }

}  // namespace zentrova
