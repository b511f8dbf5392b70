// The jobs that CGfnThread dispatches to on the command code, each in its own
// file. Every job runs on the calling thread, posts its messages through the
// context and marks a failure there; none throws on bad input.
#pragma once

#include <cstdint>
#include <string>

#include "sieve/BatchCluster.h"
#include "sieve/JobContext.h"
#include "sieve/NormalSieve.h"

namespace zentrova {

// Normal mode (NormalJobs.cpp): a new sieve over the range, or a resume from
// the files of an earlier run; k from the packed K sequence when the job
// names a folder.
void RunNormalSieveJob(JobContext& ctx, bool resume);
// Reads the factor and candidate files of a resume into the loop's state and
// the job record; false (after its message) when they are unusable.
// (NormalResume.cpp)
bool LoadNormalResume(JobContext& ctx, bool packed, NormalSieveLoop& loop, UInt128& pReached);

// Wide mode (WideJobs.cpp), the same four ways in.
void RunWideSieveJob(JobContext& ctx, bool resume);
// Why a wide sieve of a range of odd bases is refused: the wide walk strikes
// even bases only, and b^N+1 is even for every odd b, so such a range holds
// no prime to sieve for. The front ends' start checks say the same.
std::string WideOddRangeText(int32_t bMin);

// The fixed benchmark workload, timed (BenchJob.cpp).
void RunBenchJob(JobContext& ctx);
// The packed K sequence of an exponent (PackedKJob.cpp).
void RunPackedKCreateJob(JobContext& ctx);
// A tester's log and a factor file merged into a report (ReportJob.cpp).
void RunReportJob(JobContext& ctx);
// The candidate file (and, in normal mode, a sorted factor file) rebuilt from
// a factor file of either format (RebuildJob.cpp).
void RunRebuildJob(JobContext& ctx);
// The bases of a range that an input file does not mention (ToBeFactoredJob.cpp).
void RunToBeFactoredJob(JobContext& ctx);

// On a process other than 0 of a run spread over several: computes the
// batches of every job process 0 announces, on this many threads, until
// process 0 ends the run; messages go to sink, kernels run on this process's
// devices (null: on its CPU) (ClusterPeer.cpp). Throws
// ClusterError when the exchange fails.
void ServeProcessZero(BatchCluster& link, int threads, JobSink& sink,
                      DeviceProvider* devices = nullptr);

}  // namespace zentrova
