#include "sieve/SieveLoop.h"

#include <cinttypes>

#include "files/Format.h"
#include "sieve/Config.h"
#include "sieve/StatusLine.h"

namespace zentrova {

FermatChoice ChooseFermat(const SieveJob& job) {
  const FermatBatchFn test = job.m_bNoSSE2 == 0 ? FermatBatchFor(job.m_isa) : &FermatBatchScalar;
  return FermatChoice{test, test == &FermatBatchScalar ? 4 : config::kVectorFermatBatch};
}

bool OpenJobDevice(JobContext& ctx, std::unique_ptr<OpenClBackend>& gpu) {
  const std::string& device = ctx.Job().m_device;
  if (device.empty() || device == "cpu") return true;
  try {
    gpu = std::make_unique<OpenClBackend>(device == "auto" ? "gpu" : device);
  } catch (const GpuError& e) {
    if (device == "auto") {
      ctx.Post(StrFormat("%s  Running on the CPU.", e.what()));
      return true;
    }
    ctx.Fail(StrFormat("%s  Nothing was sieved.", e.what()));
    return false;
  }
  const GpuDeviceInfo& info = gpu->Device();
  ctx.Post(StrFormat("Running on OpenCL device %d: %s (%s).", info.index, info.name.c_str(),
                     info.platform.c_str()));
  return true;
}

int64_t DeviceBatchLimit(const SieveJob& job) {
  return job.m_deviceBatch > 0 ? job.m_deviceBatch : config::kGpuMaxBatch;
}

bool StatusAndSaveDue(JobContext& ctx, int64_t left, uint64_t pCur) {
  if (!ctx.TakeTick()) return false;
  ctx.Post(FormatStatusLine(static_cast<int32_t>(left), pCur));
  return ctx.TakeSaveTime();
}

void PostLoopEnd(JobContext& ctx, FeedEnd end, uint64_t beyond, uint64_t pCur) {
  if (end == FeedEnd::kLimit) {
    ctx.Post(StrFormat("Stopping before p = %" PRIu64 ": p must stay below 2^61 (62 bits) for "
                       "exact arithmetic.",
                       beyond));
  } else if (end == FeedEnd::kPMax) {
    ctx.Post(StrFormat("Reached the p limit %" PRIu64 ".  The last p sieved is %" PRIu64 ".",
                       ctx.Job().m_pMax, pCur));
  }
  ctx.Post("Stop request received.");
}

}  // namespace zentrova
