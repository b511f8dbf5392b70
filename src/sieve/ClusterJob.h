// The job protocol of a run spread over processes: process 0 announces the
// job (range, exponent, kernels, device, p limit) and gathers every process's
// thread count; the others read the announcement and wait for the end.
#pragma once

#include <vector>

#include "sieve/BatchCluster.h"
#include "sieve/JobContext.h"
#include "sieve/SieveJob.h"

namespace zentrova {

// In a run of several processes, on process 0: tells the others which job
// runs and returns each process's thread count by rank (this one's first).
// Empty when the job runs alone.
std::vector<int> AnnounceJob(JobContext& ctx, int threads);
// Tells the others that the job ended (after AnnounceJob).
void EndJobOnOthers(JobContext& ctx);
// On another process: the job that process 0 announced.
SieveJob ReadAnnouncedJob(ByteReader& message, bool& wide);

}  // namespace zentrova
