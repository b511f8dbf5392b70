// What the normal and the wide loop share: the choice of the candidate
// generator's Fermat test, the workers and the feed of a run, the batch
// skeleton of a run (SieveLoop), the status-and-save step between batches,
// the messages that end a loop, and the start of a new sieve.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/PackedKSequence.h"
#include "math/FactorCandidates.h"
#include "sieve/BatchCluster.h"
#include "sieve/BatchPipeline.h"
#include "sieve/CandidateFeed.h"
#include "sieve/CandidateSource.h"
#include "sieve/ClusterJob.h"
#include "sieve/Device.h"
#include "sieve/JobContext.h"
#include "sieve/PackedKSource.h"
#include "sieve/WorkerPool.h"
#include "sieve/kernels/Dispatch.h"

namespace zentrova {

struct FermatChoice {
  FermatBatchFn test;
  int width;                 // lanes per generator round
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

// What a run's device has proved of itself: the checks of its results, the
// p whose check failed, and whether it was dropped for them (set by the
// device's stage, read by the stage that makes the next batch).
struct DeviceTally {
  int64_t checks = 0;
  int64_t mismatches = 0;
  std::atomic<bool> dropped{false};
};

// A check the host made of a device's result for the call's p of this
// index, which failed: what failed, for the log.
struct HostCheckFailure {
  uint32_t index;
  const char* what;
};

// After a device call on the p of a batch (p[i] the call's i-th p): counts
// the device's checks of that call and the host's (hostChecks of them, the
// failures in `host`: the wide mode's checks of the a0 search). True when
// they hold;
// else, after a line for each p that failed, false: the caller computes the
// device's part of the batch on the CPU. After config::kDeviceMismatchLimit
// failures the device is dropped for the rest of the run, with a line
// saying so.
bool DeviceChecksHold(JobContext& ctx, const SieveDevice& device, const DeviceChecks& checks,
                      const std::vector<UInt128>& p, DeviceTally& tally, int64_t hostChecks = 0,
                      const std::vector<HostCheckFailure>& host = {});

// The run's count of the device's checks, where the run ends (a line and
// the outcome's figures).
void PostDeviceTally(JobContext& ctx, const SieveDevice& device, const DeviceTally& tally);

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

// What a run of a loop (or a process serving one) computes with: the job's
// Fermat test, the pool, a kernel scratch per pool thread, and the feed of
// candidates with k after kStart (from the reader when one is given).
template <typename Result>
struct LoopWorkers {
  LoopWorkers(JobContext& ctx, uint64_t twoN, CandidateSource* reader, int64_t kStart)
      : fermat(ChooseFermat(ctx.Job())),
        pool(ctx.Job().m_threads),
        scratch(static_cast<size_t>(pool.Size())),
        feed(ctx.Wheel(), fermat.test, fermat.width, fermat.test128, twoN, ctx.Job().m_pMax, reader,
             kStart, pool) {}

  FermatChoice fermat;
  WorkerPool pool;
  std::vector<KernelScratch> scratch;
  CandidateFeed<Result> feed;
};

// What a loop does once a batch is applied and counted (KeepBatch).
enum class BatchVerdict {
  kGo,       // on to the next batch, unless a stop was asked for or the feed ended
  kStop,     // the loop ends after this batch (a root failed its check)
  kEndTold,  // the loop ends, and why has been posted: no other end is told
  kLost,     // what the batch struck could not be kept: the loop ends at once
};

// The base of both loops: the job, the loop's state (a struct with m_kCur
// and m_pCur, the depth written to the files), the device, what a loop
// offers its job (Run, Serve) and the batch skeleton of a run. Derived
// (NormalSieveLoop, WideSieveLoop) has a type Result, its record of one p,
// and gives the base these hooks:
//
//   void RunBody(CandidateSource* reader)   Run once the device is open;
//   void ServeBody(BatchCluster& link)      Serve once the device is open;
//
// and, for the skeleton (RunBatches):
//
//   void GenerateBatch(LoopWorkers<Result>&, BatchCluster*, ProducedBatch<Result>&)
//       the next batch from the feed, the CPU's part computed;
//   void ComputeOnDevice(std::vector<Result>&)   the device's part of a batch;
//   size_t ApplyBatch(const std::vector<Result>&)
//       applies it in increasing p, m_state.m_pCur set to the last p
//       applied; returns how many p were applied;
//   int64_t BasesLeft() const   the bases still candidates;
//   BatchVerdict KeepBatch(int64_t struck)
//       after the progress is counted: keeps what the batch struck;
//   void SaveFiles()   a periodic save, and the last one.
template <typename Derived, typename StateT>
class SieveLoop {
 public:
  explicit SieveLoop(JobContext& ctx) : m_ctx(ctx) {}
  SieveLoop(const SieveLoop&) = delete;
  SieveLoop& operator=(const SieveLoop&) = delete;

  StateT& State() { return m_state; }

  // Runs from the state's k and depth until the feed ends, a stop is
  // requested or the loop's own end comes, with periodic saves and a last
  // one. k come from the reader when one is given, else from the generator
  // after m_kCur. The device is the one for the p from the first one this
  // run sieves (above the depth of a resume); nothing runs after the
  // message when it cannot be used.
  void Run(CandidateSource* reader) {
    if (!OpenJobDevice(m_ctx, m_gpu, std::max(m_ctx.Job().m_pMin, m_state.m_pCur + 1))) return;
    static_cast<Derived&>(*this).RunBody(reader);
  }
  // On a process other than 0 of a run spread over several: computes the
  // batches process 0 sends until the job ends. The p of the batches it
  // will be sent are process 0's to know; the CPU computes them when the
  // device cannot be used.
  void Serve(BatchCluster& link) {
    if (!OpenJobDevice(m_ctx, m_gpu, m_ctx.Job().m_pMin)) m_gpu.reset();
    static_cast<Derived&>(*this).ServeBody(link);
  }

 protected:
  ~SieveLoop() = default;

  // The batches of a run, from the feed of w, until the feed ends, a stop
  // is requested or a hook ends the loop; cluster (null: alone) shares each
  // batch with the other processes. The next batch is generated and
  // computed (on the pool, or the device) by a thread of its own while this
  // one applies the batch before it; on a device, generating is a stage of
  // its own, so that the device computes batch i while the pool makes batch
  // i + 1 and this thread applies batch i - 1. Batches are applied in order.
  // Between batches: the stop request, the status tick and the periodic
  // save; then the end messages and the last save.
  template <typename Result>
  void RunBatches(LoopWorkers<Result>& w, BatchCluster* cluster);

  // On a process other than 0 of a run spread over several: computes the
  // batches process 0 sends, with computeFor(DeviceLimit()) on the workers
  // (the device's p from its limit on; all of them once it was dropped)
  // and then finish over each whole batch, until the job ends. A list
  // message goes to onList (none: it is unexpected).
  template <typename Result>
  void ServeBatches(
      BatchCluster& link, CandidateFeed<Result>& feed,
      const std::function<typename CandidateFeed<Result>::Compute(UInt128)>& computeFor,
      const std::function<void(std::vector<Result>&)>& finish,
      const std::function<void(ByteReader&)>& onList = nullptr);

  // The p below this bound are the device's, for a batch made now: 0
  // without a device, or once it was dropped.
  UInt128 DeviceLimit() const {
    return m_gpu && !m_deviceTally.dropped.load() ? m_gpu->PLimit() : 0;
  }

  JobContext& m_ctx;
  StateT m_state;
  std::unique_ptr<SieveDevice> m_gpu;
  bool m_aboveDeviceTold = false;  // NoteAboveDevice
  DeviceTally m_deviceTally;
  // For the device's part of a batch computed on the CPU after all.
  std::vector<KernelScratch> m_deviceScratch = std::vector<KernelScratch>(1);
};

template <typename Derived, typename StateT>
template <typename Result>
void SieveLoop<Derived, StateT>::RunBatches(LoopWorkers<Result>& w, BatchCluster* cluster) {
  Derived& self = static_cast<Derived&>(*this);
  if (cluster != nullptr) w.feed.SetCluster(cluster, AnnounceJob(m_ctx, w.pool.Size()));
  FeedEnd end = FeedEnd::kNone;
  UInt128 beyond = 0;  // the first p not sieved, for the end messages

  using Clock = std::chrono::steady_clock;
  const auto loopStart = Clock::now();
  m_ctx.SetBasesLeft(self.BasesLeft());
  double applySeconds = 0;
  double deviceBusy = 0;
  {
    auto generate = [&](ProducedBatch<Result>& next) { self.GenerateBatch(w, cluster, next); };
    std::optional<BatchPipeline<Result>> generated;
    if (m_gpu) generated.emplace(generate);
    BatchPipeline<Result> pipeline([&](ProducedBatch<Result>& next) {
      if (!generated) {
        generate(next);
        return;
      }
      next = std::move(*generated->Take([] { return false; }));
      if (next.error.empty() && !next.onCpu) self.ComputeOnDevice(next.batch);
    });
    for (;;) {
      std::optional<ProducedBatch<Result>> current =
          TakeBatch(pipeline, m_ctx, cluster != nullptr, m_state.m_pCur);
      if (!current) break;
      end = current->end;
      beyond = current->beyond;
      const auto applyStart = Clock::now();
      const int64_t leftBefore = self.BasesLeft();
      const size_t applied = self.ApplyBatch(current->batch);
      const int64_t left = self.BasesLeft();
      m_ctx.CountP(static_cast<int64_t>(applied), m_state.m_pCur);
      m_ctx.CountStruck(leftBefore - left);
      m_ctx.SetBasesLeft(left);
      const BatchVerdict verdict = self.KeepBatch(leftBefore - left);
      if (verdict == BatchVerdict::kLost) break;
      applySeconds += std::chrono::duration<double>(Clock::now() - applyStart).count();
      if (verdict == BatchVerdict::kEndTold) {
        end = FeedEnd::kNone;
        break;
      }
      if (verdict == BatchVerdict::kStop || m_ctx.StopRequested()) break;
      if (StatusAndSaveDue(m_ctx, left, m_state.m_pCur)) self.SaveFiles();
      if (end != FeedEnd::kNone) break;
    }
    const double loopSeconds = std::chrono::duration<double>(Clock::now() - loopStart).count();
    // The device's time within the loop's (a launch still running is not
    // part of either).
    if (m_gpu) deviceBusy = m_gpu->BusySeconds();
    m_ctx.SetLoopTimes(loopSeconds, applySeconds,
                       loopSeconds > 0 ? w.pool.BusySeconds() / w.pool.Size() / loopSeconds : 0);
    if (m_gpu) PostDeviceTally(m_ctx, *m_gpu, m_deviceTally);
    // Saved before a batch still in the making is finished (and dropped).
    PostLoopEnd(m_ctx, end, beyond, m_state.m_pCur);
    self.SaveFiles();
  }
  if (cluster != nullptr) {
    w.feed.Drain();
    EndJobOnOthers(m_ctx);
  }
  if (m_gpu) m_ctx.SetDeviceBusy(deviceBusy);
}

template <typename Derived, typename StateT>
template <typename Result>
void SieveLoop<Derived, StateT>::ServeBatches(
    BatchCluster& link, CandidateFeed<Result>& feed,
    const std::function<typename CandidateFeed<Result>::Compute(UInt128)>& computeFor,
    const std::function<void(std::vector<Result>&)>& finish,
    const std::function<void(ByteReader&)>& onList) {
  for (;;) {
    const std::string bytes = link.Receive(0);
    ByteReader message(bytes);
    switch (message.Kind()) {
      case ClusterMessage::kBatch:
        link.Send(0, feed.Serve(message, computeFor(DeviceLimit()), finish));
        break;
      case ClusterMessage::kEndJob:
        return;
      case ClusterMessage::kList:
        if (onList) {
          onList(message);
          break;
        }
        [[fallthrough]];
      default:
        throw ClusterError("Process 0 sent an unexpected message.");
    }
  }
}

// Positions db at the first stored k >= kFrom of the packed K sequence of
// 2^ln in the job's folder (at its start for kFrom 0); false after the
// sequence's message.
bool OpenPackedK(JobContext& ctx, CPackedKDB& db, int ln, int64_t kFrom, uint64_t& first);

// The reader of the sequence that db is positioned in, for a loop of the
// kind given, after "Using packed k file <name>.".
std::unique_ptr<PackedKSource> PackedKReader(JobContext& ctx, CPackedKDB& db, int ln,
                                             PackedKLoop kind);

// Runs a new sieve, its range set up, from --p-min: k from the generator
// after the k before --p-min, or, when the job names a packed K folder, from
// the first stored k whose p is at least --p-min.
template <typename Loop>
void RunNewSieve(JobContext& ctx, Loop& loop, PackedKLoop kind) {
  const SieveJob& job = ctx.Job();
  const int64_t kBefore = KBeforePMin(job.m_pMin, 2 * static_cast<uint64_t>(job.m_nExponent));
  if (job.m_strPackedKDir.empty()) {
    loop.State().m_kCur = kBefore;
    // A run stopped before its first p says where it stood: at p of kBefore,
    // from which a resume goes on (not from the smallest p).
    if (kBefore > 0) loop.State().m_pCur = static_cast<UInt128>(kBefore) * 2 * job.m_nExponent + 1;
    loop.Run(nullptr);
    return;
  }
  CPackedKDB db;
  uint64_t first = 0;
  if (!OpenPackedK(ctx, db, job.m_nLn, kBefore > 0 ? kBefore + 1 : 0, first)) return;
  loop.State().m_kCur = static_cast<int64_t>(first);
  loop.Run(PackedKReader(ctx, db, job.m_nLn, kind).get());
}

}  // namespace zentrova
