// Candidates p are taken in batches. Each p of a batch is run through the
// kernel against the bases as they stood when the batch began, on as many
// threads as the job has; the hits are then applied in increasing p, skipping
// bases that an earlier p struck since. The result is exactly that of
// a loop taking one p at a time, whatever the number of threads, and the stop
// request, status ticks and saves are looked at between batches.
#include "sieve/NormalSieve.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "math/ModArith.h"
#include "sieve/BatchPipeline.h"
#include "sieve/CandidateFeed.h"
#include "sieve/ClusterJob.h"
#include "sieve/Config.h"
#include "sieve/SieveLoop.h"
#include "sieve/WorkerPool.h"
#include "sieve/kernels/Kernels128.h"

namespace zentrova {

void NormalSieveLoop::Allocate() {
  const SieveJob& job = m_ctx.Job();
  m_state = NormalSieveState{};
  const int64_t n = (static_cast<int64_t>(job.m_nBMax) - static_cast<int64_t>(job.m_nBMin)) / 2 + 4;
  if (n > 0) m_state.m_cand.reserve(static_cast<size_t>(n));
}

void NormalSieveLoop::Save() {
  const SieveJob& job = m_ctx.Job();
  const SieveRange range{job.m_nBMin, job.m_nBMax, job.m_nExponent, job.m_nLn, m_state.m_pCur};
  // Every line goes to the front end; a factor that does not verify, a failed
  // write or an inconsistency also marks the job as failed.
  const LogFn log = m_ctx.PostFn();
  bool verified = true;
  const bool written =
      WriteFactorAndCandidateFiles(m_state.m_factors, m_state.m_cand, range, job.m_strFactorOut,
                                   job.m_strSieveOut, log, &verified);
  if (!verified) m_ctx.MarkFailed("A factor of the list failed to verify.");
  if (!written) {
    m_ctx.MarkFailed("The output files could not be saved.");  // tried again at the next save
    return;
  }
  m_ctx.NoteSaved(m_state.m_pCur);
  // A resume without its factor file, or one whose files lack the bases that
  // another sieve struck (--missing-as-struck), has no whole record to check.
  const bool wholeRecord = !(job.m_nCommand == kCmdResumeSieve &&
                             (job.m_strFactorIn.empty() || job.m_missingStruck));
  if (wholeRecord && !CheckFactorsAndCandidates(m_state.m_cand, m_state.m_factors, range, log)) {
    m_ctx.MarkFailed("The factor and candidate lists are not consistent.");
  }
}

size_t NormalSieveLoop::ApplyBatch(const std::vector<Result>& batch) {
  const int ln = m_ctx.Job().m_nLn;
  std::vector<int32_t>& cand = m_state.m_cand;
  m_struck.assign(cand.size(), 0);
  size_t left = cand.size();
  size_t applied = 0;
  for (const Result& result : batch) {
    const FactorCandidate& c = result.c;
    m_state.m_kCur = c.k;
    m_state.m_pCur = c.p;
    ++applied;
    const std::vector<uint32_t>& h = result.hits;
    for (size_t r = h.size(); r-- > 0;) {
      // The hits name bases of the list the batch was computed against,
      // which holds every base still in the list (and perhaps a few struck
      // since).
      const auto at = std::lower_bound(cand.begin(), cand.end(), static_cast<int32_t>(h[r]));
      if (at == cand.end() || *at != static_cast<int32_t>(h[r])) continue;
      const size_t j = static_cast<size_t>(at - cand.begin());
      if (m_struck[j]) continue;
      const int32_t b = cand[j];
      if (!VerifyFactor(ln, static_cast<uint32_t>(b), c.p)) {
        m_ctx.Fail(StrFormat("Candidate %d, ln=%d, Mod=%s, failed to verify.", b, ln,
                             PToString(c.p).c_str()));
        break;
      }
      if (!IsProperFactor(ln, static_cast<uint32_t>(b), c.p)) continue;  // p = b^N+1
      m_state.m_factors.push_back(FactorRecord{b, c.p});
      m_struck[j] = 1;
      --left;
    }
    if (left == 0) break;
  }
  if (left != cand.size()) {
    size_t w = 0;
    for (size_t j = 0; j < cand.size(); ++j) {
      if (!m_struck[j]) cand[w++] = cand[j];
    }
    cand.resize(w);
  }
  return applied;
}

void NormalSieveLoop::ComputeOnDevice(std::vector<Result>& batch,
                                      const std::vector<int32_t>& cand) {
  // The device's kernels take p below its limit; the CPU kernels did
  // the p above it as the batch was made.
  std::vector<UInt128> p;
  const UInt128 limit = m_gpu->PLimit();
  for (size_t i = 0; i < batch.size() && batch[i].c.p < limit; ++i) {
    p.push_back(batch[i].c.p);
    batch[i].hits.clear();
  }
  if (p.size() < batch.size()) NoteAboveDevice(m_ctx, *m_gpu, m_aboveDeviceTold);
  if (p.empty()) return;
  std::vector<NormalHit> hits;
  m_gpu->Normal(p, cand, m_ctx.Job().m_nLn, hits);
  std::sort(hits.begin(), hits.end(), [](const NormalHit& a, const NormalHit& b) {
    return a.index != b.index ? a.index < b.index : a.position < b.position;
  });
  for (const NormalHit& h : hits) {
    batch[h.index].hits.push_back(static_cast<uint32_t>(cand[h.position]));
  }
}

NormalSieveLoop::ListCompute NormalSieveLoop::ComputeAgainst(const std::vector<int32_t>& cand,
                                                              std::vector<KernelScratch>& scratch) {
  const SieveJob& job = m_ctx.Job();
  const NormalKernelFn kernel =
      job.m_bNoSSE2 == 0 ? NormalSieveArray_SSE2(job.m_isa) : &NormalSieveArray;
  const NormalKernel128Fn kernel128 =
      job.m_bNoSSE2 == 0 ? NormalSieveArray128_SSE2(job.m_isa) : &NormalSieveArray128;
  const int ln = job.m_nLn;
  const UInt128 deviceLimit = m_gpu != nullptr ? m_gpu->PLimit() : 0;
  return [&cand, &scratch, kernel, kernel128, ln, deviceLimit](Result& r, int thread) {
    r.hits.clear();
    if (r.c.p < deviceLimit) return;
    KernelScratch& s = scratch[static_cast<size_t>(thread)];
    if (r.c.p < kNormalOneWordLimit) {
      kernel(cand.data(), cand.size(), ln, static_cast<uint64_t>(r.c.p), r.hits, s);
    } else {
      kernel128(cand.data(), cand.size(), ln, r.c.p, r.hits, s);
    }
    for (uint32_t& h : r.hits) h = static_cast<uint32_t>(cand[h]);  // positions to bases
  };
}

void NormalSieveLoop::Run(CandidateSource* reader) {
  const SieveJob& job = m_ctx.Job();
  // From the first p this run sieves: above the depth of a resume.
  if (!OpenJobDevice(m_ctx, m_gpu, std::max(job.m_pMin, m_state.m_pCur + 1))) return;
  const int ln = job.m_nLn;
  const uint64_t twoN = 2 * static_cast<uint64_t>(m_state.m_N);
  const FermatChoice fermat = ChooseFermat(job);
  WorkerPool pool(job.m_threads);
  std::vector<KernelScratch> scratch(static_cast<size_t>(pool.Size()));
  CandidateFeed<Result> feed(m_ctx.Wheel(), fermat.test, fermat.width, fermat.test128, twoN, job.m_pMax, reader,
                             m_state.m_kCur, pool);
  const bool saves = job.m_nCommand < kCmdBench;
  BatchCluster* const cluster = saves ? job.m_cluster : nullptr;
  if (cluster != nullptr) feed.SetCluster(cluster, AnnounceJob(m_ctx, pool.Size()));
  FeedEnd end = FeedEnd::kNone;
  UInt128 beyond = 0;  // the first p not sieved, for the end messages

  // The list as it stood after the last batch applied: the next batch is
  // computed against it on a thread of its own while this one applies the
  // batch before. A base struck meanwhile is skipped when hits are applied,
  // as the list only shrinks; so the result is that of one p at a time.
  std::mutex listMutex;
  auto published = std::make_shared<const std::vector<int32_t>>(m_state.m_cand);
  uint64_t version = 1;  // of the list published
  uint64_t sent = 0;     // the version the other processes have
  auto snapshot = [&](uint64_t& listVersion) {
    std::lock_guard<std::mutex> lock(listMutex);
    listVersion = version;
    return published;
  };
  auto generate = [&](ProducedBatch<Result>& next) {
    uint64_t listVersion = 0;
    const std::shared_ptr<const std::vector<int32_t>> list = snapshot(listVersion);
    const std::vector<int32_t>& cand = *list;
    if (cluster != nullptr && sent != listVersion) {
      ByteWriter message(ClusterMessage::kList);
      message.PutVector(cand);
      for (int r = 1; r < cluster->Size(); ++r) cluster->Send(r, message.Bytes());
      sent = listVersion;
    }
    // p per worker that make about kNormalBatchWork squarings each.
    const int64_t workPerP =
        std::max<int64_t>(1, static_cast<int64_t>(cand.size()) * std::max(ln, 1));
    const int64_t perWorker =
        m_gpu ? std::clamp<int64_t>(config::kGpuBatchWork / workPerP / pool.Size(), 1,
                                    std::max<int64_t>(DeviceBatchLimit(job) / pool.Size(), 1))
              : std::clamp<int64_t>(config::kNormalBatchWork / workPerP, 1,
                                    config::kNormalMaxBatch / pool.Size());
    // An empty list gets one round, with the first p.
    next.end =
        feed.Next(perWorker, cand.empty(), next.batch, ComputeAgainst(cand, scratch), next.beyond);
  };
  // On a device, generating is a stage of its own (as in the wide loop): the
  // device computes batch i, against the list as it stands then, while the
  // pool makes batch i + 1 and this thread applies batch i - 1.
  std::optional<BatchPipeline<Result>> generated;
  if (m_gpu) generated.emplace(generate);
  auto produce = [&](ProducedBatch<Result>& next) {
    if (!generated) {
      generate(next);
      return;
    }
    next = std::move(*generated->Take([] { return false; }));
    if (!next.error.empty()) return;
    uint64_t listVersion = 0;
    const std::shared_ptr<const std::vector<int32_t>> list = snapshot(listVersion);
    ComputeOnDevice(next.batch, *list);
  };

  using Clock = std::chrono::steady_clock;
  const auto loopStart = Clock::now();
  m_ctx.SetBasesLeft(static_cast<int64_t>(m_state.m_cand.size()));
  double applySeconds = 0;
  double deviceBusy = 0;
  {
    BatchPipeline<Result> pipeline(produce);
    for (;;) {
      std::optional<ProducedBatch<Result>> current =
          TakeBatch(pipeline, m_ctx, cluster != nullptr, m_state.m_pCur);
      if (!current) break;
      end = current->end;
      beyond = current->beyond;
      const auto applyStart = Clock::now();
      const size_t before = m_state.m_cand.size();
      const size_t applied = ApplyBatch(current->batch);
      m_ctx.CountP(static_cast<int64_t>(applied), m_state.m_pCur);
      m_ctx.CountStruck(static_cast<int64_t>(before - m_state.m_cand.size()));
      m_ctx.SetBasesLeft(static_cast<int64_t>(m_state.m_cand.size()));
      if (m_state.m_cand.size() != before) {
        auto list = std::make_shared<const std::vector<int32_t>>(m_state.m_cand);
        std::lock_guard<std::mutex> lock(listMutex);
        published = std::move(list);
        ++version;
      }
      applySeconds += std::chrono::duration<double>(Clock::now() - applyStart).count();

      if (m_state.m_cand.empty()) {
        m_ctx.Post("Stopping because less than 0 candidates are left in the list.");
        end = FeedEnd::kNone;  // this end has been told; no other
        break;
      }
      if (m_ctx.StopRequested()) break;
      if (StatusAndSaveDue(m_ctx, static_cast<int64_t>(m_state.m_cand.size()), m_state.m_pCur) &&
          saves) {
        Save();
      }
      if (end != FeedEnd::kNone) break;
    }
    const double loopSeconds = std::chrono::duration<double>(Clock::now() - loopStart).count();
    // The device's time within the loop's (a launch still running is not
    // part of either).
    if (m_gpu) deviceBusy = m_gpu->BusySeconds();
    m_ctx.SetLoopTimes(loopSeconds, applySeconds,
                       loopSeconds > 0 ? pool.BusySeconds() / pool.Size() / loopSeconds : 0);
    // Saved before a batch still in the making is finished (and dropped).
    PostLoopEnd(m_ctx, end, beyond, m_state.m_pCur);
    if (saves) Save();
  }
  if (cluster != nullptr) {
    feed.Drain();
    EndJobOnOthers(m_ctx);
  }
  if (m_gpu) m_ctx.SetDeviceBusy(deviceBusy);
}

void NormalSieveLoop::Serve(BatchCluster& link) {
  const SieveJob& job = m_ctx.Job();
  // The p of the batches it will be sent are process 0's to know.
  if (!OpenJobDevice(m_ctx, m_gpu, job.m_pMin)) m_gpu.reset();  // the CPU then
  const FermatChoice fermat = ChooseFermat(job);
  WorkerPool pool(job.m_threads);
  std::vector<KernelScratch> scratch(static_cast<size_t>(pool.Size()));
  CandidateFeed<Result> feed(m_ctx.Wheel(), fermat.test, fermat.width, fermat.test128,
                             2 * static_cast<uint64_t>(job.m_nExponent), job.m_pMax, nullptr, 0,
                             pool);
  std::vector<int32_t> cand;
  const ListCompute compute = ComputeAgainst(cand, scratch);
  for (;;) {
    const std::string bytes = link.Receive(0);
    ByteReader message(bytes);
    switch (message.Kind()) {
      case ClusterMessage::kList:
        message.GetVector(cand);
        break;
      case ClusterMessage::kBatch:
        link.Send(0, feed.Serve(message, compute, [&](std::vector<Result>& batch) {
          if (m_gpu) ComputeOnDevice(batch, cand);
        }));
        break;
      case ClusterMessage::kEndJob:
        return;
      default:
        throw ClusterError("Process 0 sent an unexpected message.");
    }
  }
}

}  // namespace zentrova
