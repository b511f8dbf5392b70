#include "sieve/SieveLoop.h"

#include <algorithm>
#include <cinttypes>
#include <string>
#include <utility>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "sieve/Config.h"
#include "sieve/JobMessage.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

FermatChoice ChooseFermat(const SieveJob& job) {
  const FermatBatchFn test = job.m_bNoSSE2 == 0 ? FermatBatchFor(job.m_isa) : &FermatBatchScalar;
  const FermatBatch128Fn test128 =
      job.m_bNoSSE2 == 0 ? FermatBatch128For(job.m_isa) : &FermatBatchScalar128;
  return FermatChoice{test, test == &FermatBatchScalar ? 4 : config::kVectorFermatBatch, test128};
}

namespace {

// "OpenCL device 0", as the log names a device.
std::string DeviceName(const DeviceInfo& info) {
  return StrFormat("%s device %d",
                   (info.backendTitle.empty() ? info.backend : info.backendTitle).c_str(),
                   info.index);
}

// "OpenCL device 0 (its name)".
std::string DeviceTitle(const SieveDevice& device) {
  return DeviceName(device.Info()) + " (" + device.Info().name + ")";
}

}  // namespace

bool OpenJobDevice(JobContext& ctx, std::unique_ptr<SieveDevice>& device, UInt128 firstP) {
  const DeviceChoice& choice = ctx.Job().m_device;
  if (choice.OnCpu()) return true;
  const bool orCpu = choice.kind == DeviceChoice::Kind::kAuto;
  try {
    DeviceProvider* devices = ctx.Job().m_devices;
    if (devices == nullptr) throw DeviceError("This program runs its kernels on the CPU only.");
    device = devices->Open(orCpu ? DeviceChoice::Gpu() : choice,
                           DeviceOptions{ctx.Job().m_gpuKernel, firstP});
  } catch (const DeviceError& e) {
    device.reset();
    if (orCpu) {
      ctx.Post(StrFormat("%s  Running on the CPU.", e.what()));
      return true;
    }
    ctx.Fail(StrFormat("%s  Nothing was sieved.", e.what()));
    return false;
  }
  const DeviceInfo& info = device->Info();
  ctx.Post(StrFormat("Running on %s: %s (%s).", DeviceName(info).c_str(), info.name.c_str(),
                     info.platform.c_str()));
  for (const std::string& note : device->KernelNotes()) ctx.Post(note);
  return true;
}

int64_t DeviceBatchLimit(const SieveJob& job) {
  return job.m_deviceBatch > 0 ? job.m_deviceBatch : config::kGpuMaxBatch;
}

void NoteAboveDevice(JobContext& ctx, const SieveDevice& device, bool& told) {
  if (told) return;
  told = true;
  ctx.Post(StrFormat("The p from %s on are above the device's kernels: the CPU kernels sieve them.",
                     PBoundText(device.PLimit()).c_str()));
}

bool DeviceChecksHold(JobContext& ctx, const SieveDevice& device, const DeviceChecks& checks,
                      const std::vector<UInt128>& p, DeviceTally& tally, int64_t hostChecks,
                      const std::vector<HostCheckFailure>& host) {
  tally.checks += checks.checks + hostChecks;
  std::vector<std::pair<uint32_t, std::string>> failed;  // index, what failed
  for (const DeviceChecks::Mismatch& m : checks.mismatches) {
    failed.emplace_back(m.index, "the GPU kernel " + m.arithmetic + " failed its check");
  }
  for (const HostCheckFailure& f : host) failed.emplace_back(f.index, f.what);
  if (failed.empty()) return true;
  // In increasing p, whatever order they were found in.
  std::stable_sort(failed.begin(), failed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [index, what] : failed) {
    if (tally.dropped.load()) break;
    ++tally.mismatches;
    ctx.Post(StrFormat("%s: %s at p = %s; the batch from p = %s is sieved again on the CPU.",
                       DeviceTitle(device).c_str(), what.c_str(), PToString(p[index]).c_str(),
                       PToString(p.front()).c_str()));
    if (tally.mismatches >= config::kDeviceMismatchLimit) {
      tally.dropped.store(true);
      ctx.Post(StrFormat("%s failed %d checks: the CPU kernels sieve the rest of the run.",
                         DeviceTitle(device).c_str(), static_cast<int>(tally.mismatches)));
    }
  }
  return false;
}

void PostDeviceTally(JobContext& ctx, const SieveDevice& device, const DeviceTally& tally) {
  ctx.Post(StrFormat("%s: %" PRId64 " checks of its results, %" PRId64 " failed.",
                     DeviceTitle(device).c_str(), tally.checks, tally.mismatches));
  ctx.SetDeviceChecks(tally.checks, tally.mismatches);
}

bool StatusAndSaveDue(JobContext& ctx, int64_t left, UInt128 pCur) {
  if (!ctx.TakeTick()) return false;
  ctx.Post(FormatStatusLine(static_cast<int32_t>(left), pCur));
  return ctx.TakeSaveTime();
}

void PostLoopEnd(JobContext& ctx, FeedEnd end, UInt128 beyond, UInt128 pCur) {
  if (end == FeedEnd::kLimit) {
    ctx.Post(StrFormat("Stopping before p = %s: k must stay below 2^63 - 256.",
                       PToString(beyond).c_str()));
  } else if (end == FeedEnd::kPMax && ctx.Job().m_nCommand == kCmdResumeSieve &&
             ctx.Progress().pCount == 0) {
    // A resume of files already sieved that far: nothing of this run.
    const UInt128 pMax = ctx.Job().m_pMax;
    ctx.Post(StrFormat(pCur >= pMax
                           ? "Nothing to sieve: the files are sieved to p = %s, at or past "
                             "the p limit %s."
                           : "Nothing to sieve: the files are sieved to p = %s, and no "
                             "candidate p is left up to the p limit %s.",
                       PToString(pCur).c_str(), PToString(pMax).c_str()));
  } else if (end == FeedEnd::kPMax) {
    ctx.Post(StrFormat("Reached the p limit %s.  The last p sieved is %s.",
                       PToString(ctx.Job().m_pMax).c_str(), PToString(pCur).c_str()));
  }
  ctx.Post("Stop request received.");
}

void PostUnsieved(JobContext& ctx, const std::string& error, UInt128 firstP, UInt128 pCur) {
  // Nothing of the batch is applied: the files stay at the last p applied.
  ctx.Fail(error);
  if (firstP != 0) {
    ctx.Post(
        StrFormat("The batch from p = %s was not sieved; the run ends with its "
                  "usual save at p = %s.",
                  PToString(firstP).c_str(), PToString(pCur).c_str()));
  }
}

bool OpenPackedK(JobContext& ctx, CPackedKDB& db, int ln, int64_t kFrom, uint64_t& first) {
  const std::string& dir = ctx.Job().m_strPackedKDir;
  if (kFrom > 0) return SeekPackedK(db, dir, ln, static_cast<uint64_t>(kFrom), first, ctx.FailFn());
  return StartPackedK(db, dir, ln, first, ctx.FailFn());
}

std::unique_ptr<PackedKSource> PackedKReader(JobContext& ctx, CPackedKDB& db, int ln,
                                             PackedKLoop kind) {
  ctx.Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  return std::make_unique<PackedKSource>(db, ctx.Job().m_strPackedKDir, ln, kind, ctx.PostFn(),
                                         ctx.FailFn(), ChooseFermat(ctx.Job()).test);
}

}  // namespace zentrova
