// What the normal and the wide loop share: the choice of the candidate
// generator's Fermat test, the status-and-save step between batches and the
// messages that end a loop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sieve/BatchCluster.h"
#include "sieve/BatchPipeline.h"
#include "sieve/CandidateFeed.h"
#include "sieve/Device.h"
#include "sieve/JobContext.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

struct FermatChoice {
  FermatBatchFn test;
  int width;  // lanes per generator round
  FermatBatch128Fn test128;  // for p from 2^62 on
};
// The vector test of the job's instruction set, or the portable one when the
// job asks for portable kernels only.
FermatChoice ChooseFermat(const SieveJob& job);

// The job's device, for the p from firstP on (a new sieve's --p-min, the p
// after a resume's depth): device stays empty for the CPU kernels ("cpu", or
// "auto" without a graphics card, after a line saying so). False after the
// message when the device asked for cannot be used (a forced GPU kernel
// whose bound is not above firstP among them); nothing has been touched then.
bool OpenJobDevice(JobContext& ctx, std::unique_ptr<SieveDevice>& device, UInt128 firstP);

// The most p per device launch for the job.
int64_t DeviceBatchLimit(const SieveJob& job);

// Posts, once per run (told keeps track), that the p from the device's
// limit on are sieved by the CPU kernels.
void NoteAboveDevice(JobContext& ctx, const SieveDevice& device, bool& told);

// At a status tick: posts the statistics line and says whether the periodic
// save is due (the save clock is then reset).
bool StatusAndSaveDue(JobContext& ctx, int64_t left, UInt128 pCur);

// The line saying why the feed ended the loop (the k limit, or the p limit), then
// "Stop request received.", which every loop posts last.
void PostLoopEnd(JobContext& ctx, FeedEnd end, UInt128 beyond, UInt128 pCur);

// The failure that kept the batch from firstP (0: an empty one) from being
// computed; the run ends with its save at pCur.
void PostUnsieved(JobContext& ctx, const std::string& error, UInt128 firstP, UInt128 pCur);

// The next batch for a loop to apply; nothing, after its message, when the
// loop must end first: a batch that could not be computed, or a stop in a
// run shared with other processes. Alone, a stop takes effect after the
// batch in the making; shared, it does at once: mpirun ends every process a
// second after the signal, and one of them may be gone already.
template <typename Result>
std::optional<ProducedBatch<Result>> TakeBatch(BatchPipeline<Result>& pipeline, JobContext& ctx,
                                               bool shared, UInt128 pCur) {
  std::optional<ProducedBatch<Result>> current =
      pipeline.Take([&] { return shared && ctx.StopRequested(); });
  if (!current) {
    ctx.Post("The batch the processes were sieving is left; a resume sieves it again.");
  } else if (!current->error.empty()) {
    PostUnsieved(ctx, current->error, current->batch.empty() ? 0 : current->batch.front().c.p,
                 pCur);
    current.reset();
  }
  return current;
}

}  // namespace zentrova
