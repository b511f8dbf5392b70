// The processes of a run that mpirun started: process 0 runs the job and
// owns the files, the others compute batches for it (sieve/BatchCluster.h).
#pragma once

#include <memory>

#include "sieve/BatchCluster.h"

namespace zentrova {

// Joins the run's processes when mpirun (or another MPI launcher) started
// this program; null when it runs alone, or as the only process of a run.
// The cluster's destructor ends the run: process 0 tells the others that it
// is over, and every process leaves MPI. Throws ClusterError when a launcher
// started several processes but this build has no MPI, or MPI fails.
std::unique_ptr<BatchCluster> JoinProcessRun(int& argc, char**& argv);

// Whether this build can run over MPI.
bool HaveMpi();

}  // namespace zentrova
