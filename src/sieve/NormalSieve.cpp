// Candidates p are taken in batches. Each p of a batch is run through the
// kernel against the bases as they stood when the batch began, on as many
// threads as the job has; the hits are then applied in increasing p, skipping
// bases that an earlier p struck since. The result is exactly that of
// a loop taking one p at a time, whatever the number of threads, and the stop
// request, status ticks and saves are looked at between batches.
#include "sieve/NormalSieve.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <mutex>
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
  // A batch made for the device after it was dropped, or one it failed.
  auto onCpu = [&] {
    const ListCompute compute = ComputeAgainst(cand, m_deviceScratch, 0);
    for (size_t i = 0; i < p.size(); ++i) compute(batch[i], 0);
  };
  if (m_deviceTally.dropped.load()) return onCpu();
  std::vector<NormalHit> hits;
  m_gpu->Normal(p, cand, m_ctx.Job().m_nLn, hits);
  if (!DeviceChecksHold(m_ctx, *m_gpu, m_gpu->LastChecks(), p, m_deviceTally)) return onCpu();
  std::sort(hits.begin(), hits.end(), [](const NormalHit& a, const NormalHit& b) {
    return a.index != b.index ? a.index < b.index : a.position < b.position;
  });
  for (const NormalHit& h : hits) {
    batch[h.index].hits.push_back(static_cast<uint32_t>(cand[h.position]));
  }
}

NormalSieveLoop::ListCompute NormalSieveLoop::ComputeAgainst(const std::vector<int32_t>& cand,
                                                              std::vector<KernelScratch>& scratch,
                                                              UInt128 deviceLimit) {
  const SieveJob& job = m_ctx.Job();
  const NormalKernelFn kernel =
      job.m_bNoSSE2 == 0 ? NormalSieveArray_SSE2(job.m_isa) : &NormalSieveArray;
  const NormalKernel128Fn kernel128 =
      job.m_bNoSSE2 == 0 ? NormalSieveArray128_SSE2(job.m_isa) : &NormalSieveArray128;
  const int ln = job.m_nLn;
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

void NormalSieveLoop::GenerateBatch(LoopWorkers<Result>& w, BatchCluster* cluster,
                                    ProducedBatch<Result>& next) {
  const SieveJob& job = m_ctx.Job();
  uint64_t listVersion = 0;
  const std::shared_ptr<const std::vector<int32_t>> list = m_list.Snapshot(listVersion);
  const std::vector<int32_t>& cand = *list;
  if (cluster != nullptr && m_listSent != listVersion) {
    ByteWriter message(ClusterMessage::kList);
    message.PutVector(cand);
    for (int r = 1; r < cluster->Size(); ++r) cluster->Send(r, message.Bytes());
    m_listSent = listVersion;
  }
  // p per worker that make about kNormalBatchWork squarings each.
  const int64_t workPerP =
      std::max<int64_t>(1, static_cast<int64_t>(cand.size()) * std::max(job.m_nLn, 1));
  const int workers = w.pool.Size();
  const int64_t perWorker =
      m_gpu ? std::clamp<int64_t>(config::kGpuBatchWork / workPerP / workers, 1,
                                  std::max<int64_t>(DeviceBatchLimit(job) / workers, 1))
            : std::clamp<int64_t>(config::kNormalBatchWork / workPerP, 1,
                                  config::kNormalMaxBatch / workers);
  const UInt128 deviceLimit = DeviceLimit();
  next.onCpu = deviceLimit == 0;
  // An empty list gets one round, with the first p.
  next.end = w.feed.Next(perWorker, cand.empty(), next.batch,
                         ComputeAgainst(cand, w.scratch, deviceLimit), next.beyond);
}

void NormalSieveLoop::ComputeOnDevice(std::vector<Result>& batch) {
  uint64_t listVersion = 0;
  const std::shared_ptr<const std::vector<int32_t>> list = m_list.Snapshot(listVersion);
  ComputeOnDevice(batch, *list);
}

BatchVerdict NormalSieveLoop::KeepBatch(int64_t struck) {
  if (struck > 0) m_list.Publish(m_state.m_cand);
  if (!m_state.m_cand.empty()) return BatchVerdict::kGo;
  m_ctx.Post("Stopping because less than 0 candidates are left in the list.");
  return BatchVerdict::kEndTold;
}

void NormalSieveLoop::RunBody(CandidateSource* reader) {
  LoopWorkers<Result> w(m_ctx, 2 * static_cast<uint64_t>(m_state.m_N), reader, m_state.m_kCur);
  m_list.Publish(m_state.m_cand);
  m_listSent = 0;
  RunBatches(w, Saves() ? m_ctx.Job().m_cluster : nullptr);
}

void NormalSieveLoop::ServeBody(BatchCluster& link) {
  LoopWorkers<Result> w(m_ctx, 2 * static_cast<uint64_t>(m_ctx.Job().m_nExponent), nullptr, 0);
  std::vector<int32_t> cand;
  ServeBatches<Result>(
      link, w.feed,
      [&](UInt128 deviceLimit) { return ComputeAgainst(cand, w.scratch, deviceLimit); },
      [&](std::vector<Result>& batch) {
        if (m_gpu) ComputeOnDevice(batch, cand);
      },
      [&](ByteReader& message) { message.GetVector(cand); });
}

}  // namespace zentrova
