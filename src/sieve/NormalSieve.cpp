// The normal sieve loop: for each factor candidate p in increasing order,
// square every remaining base ln times modulo p and strike those that reach -1.
//
// Candidates p are taken in batches. Each p of a batch is run through the
// kernel against the bases as they stood when the batch began, on as many
// threads as the job has; the hits are then applied in increasing p, skipping
// bases that an earlier p of the batch struck. The result is exactly that of
// a loop taking one p at a time, whatever the number of threads, and the stop
// request, status ticks and saves are looked at between batches.
#include <cinttypes>

#include <algorithm>
#include <ctime>
#include <memory>

#include "files/Format.h"
#include "math/ModArith.h"
#include "sieve/CandidateFeed.h"
#include "sieve/Config.h"
#include "sieve/GfnThread.h"
#include "sieve/StatusLine.h"
#include "sieve/WorkerPool.h"

namespace zentrova {

SieveRange CGfnThread::CurrentRange() const {
  return SieveRange{m_job.m_nBMin, m_job.m_nBMax, m_job.m_nExponent, m_job.m_nLn,
                    m_normal.m_pCur};
}

void CGfnThread::SaveNormalOutputs() {
  const SieveRange range = CurrentRange();
  // Every line goes to the front end; a factor that does not verify, a failed
  // write or an inconsistency also marks the job as failed.
  auto log = [this](const std::string& line) { Post(line); };
  bool verified = true;
  const bool written =
      WriteFactorAndCandidateFiles(m_normal.m_factors, m_normal.m_cand, range,
                                   m_job.m_strFactorOut, m_job.m_strSieveOut, log, &verified);
  if (!verified) MarkFailed("A factor of the list failed to verify.");
  if (!written) {
    MarkFailed("The output files could not be saved.");  // tried again at the next save
    return;
  }
  if (!(m_job.m_nCommand == kCmdResumeSieve && m_job.m_strFactorIn.empty()) &&
      !CheckFactorsAndCandidates(m_normal.m_cand, m_normal.m_factors, range, log)) {
    MarkFailed("The factor and candidate lists are not consistent.");
  }
}

void CGfnThread::RunNormalSieve(CandidateSource* reader) {
  const int ln = m_job.m_nLn;
  const uint64_t twoN = 2 * static_cast<uint64_t>(m_normal.m_N);
  const bool vector = m_job.m_bNoSSE2 == 0;
  const NormalKernelFn kernel =
      vector ? NormalSieveArray_SSE2(m_job.m_isa) : &NormalSieveArray;
  const FermatBatchFn fermat = vector ? FermatBatchFor(m_job.m_isa) : &FermatBatchScalar;
  const int fermatWidth = fermat == &FermatBatchScalar ? 4 : config::kVectorFermatBatch;
  WorkerPool pool(m_job.m_nThreads);
  const int64_t workers = pool.Size();
  CandidateFeed feed(*m_wheel, fermat, fermatWidth, twoN, m_job.m_pMax, reader, m_normal.m_kCur,
                     pool);
  const bool saves = m_job.m_nCommand < 30;

  struct Result {
    FactorCandidate c;
    std::vector<uint32_t> hits;
  };
  std::vector<Result> batch;
  std::vector<uint8_t> struck;
  FeedEnd end = FeedEnd::kNone;
  uint64_t beyond = 0;  // the first p not sieved, for the end messages

  while (end == FeedEnd::kNone) {
    // 1. and 2. The next batch of p, each run through the kernel against the
    // bases as they stand.
    const std::vector<int32_t>& cand = m_normal.m_cand;
    const int64_t workPerP =
        std::max<int64_t>(1, static_cast<int64_t>(cand.size()) * std::max(ln, 1));
    // p per worker that make a batch of about kNormalBatchWork squarings each.
    const int64_t perWorker = std::clamp<int64_t>(config::kNormalBatchWork / workPerP, 1,
                                                  config::kNormalMaxBatch / workers);
    // An empty list gets one round, with the first p.
    end = feed.Next<Result>(
        perWorker, cand.empty(), batch,
        [&](Result& r) {
          r.hits.clear();
          kernel(cand.data(), cand.size(), ln, r.c.p, r.hits);
        },
        beyond);

    // 3. Hits, in increasing p; within one p from the highest position down.
    struck.assign(cand.size(), 0);
    size_t left = cand.size();
    size_t applied = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
      const FactorCandidate& c = batch[i].c;
      m_normal.m_kCur = c.k;
      m_normal.m_pCur = c.p;
      ++applied;
      const std::vector<uint32_t>& h = batch[i].hits;
      for (size_t r = h.size(); r-- > 0;) {
        const uint32_t j = h[r];
        if (j >= cand.size() || struck[j]) continue;
        const int32_t b = cand[j];
        if (!VerifyFactor(ln, static_cast<uint32_t>(b), c.p)) {
          Fail(StrFormat("Candidate %d, ln=%d, Mod=%" PRId64 ", failed to verify.", b, ln,
                         static_cast<int64_t>(c.p)));
          break;
        }
        if (!IsProperFactor(ln, static_cast<uint32_t>(b), c.p)) continue;  // p = b^N+1
        m_normal.m_factors.push_back(FactorRecord{b, c.p});
        struck[j] = 1;
        --left;
      }
      if (left == 0) break;
    }
    if (left != cand.size()) {
      size_t w = 0;
      for (size_t j = 0; j < m_normal.m_cand.size(); ++j) {
        if (!struck[j]) m_normal.m_cand[w++] = m_normal.m_cand[j];
      }
      m_normal.m_cand.resize(w);
    }
    m_pCount.fetch_add(static_cast<int64_t>(applied), std::memory_order_relaxed);
    m_pLast.store(m_normal.m_pCur, std::memory_order_relaxed);

    // 4. Empty list.
    if (m_normal.m_cand.empty()) {
      Post("Stopping because less than 0 candidates are left in the list.");
      end = FeedEnd::kNone;  // this end has been told; no other
      break;
    }
    // 5. Stop request.
    if (m_bStopRequest.load(std::memory_order_relaxed) != 0) break;
    // 6. Status tick, and the periodic save.
    const int32_t tick = m_nStatusTick.load(std::memory_order_relaxed);
    if (tick != m_job.m_nTickSeen) {
      Post(FormatStatusLine(static_cast<int32_t>(m_normal.m_cand.size()), m_normal.m_pCur));
      m_job.m_nTickSeen = tick;
      if (saves) {
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        if (now - m_job.m_tLastSave >= m_job.m_nSaveSeconds) {
          SaveNormalOutputs();
          m_job.m_tLastSave = now;
        }
      }
    }
  }

  switch (end) {
    case FeedEnd::kLimit:
      Post(StrFormat("Stopping before p = %" PRIu64 ": p must stay below 2^61 (62 bits) for "
                     "exact arithmetic.",
                     beyond));
      break;
    case FeedEnd::kPMax:
      Post(StrFormat("Reached the p limit %" PRIu64 ".  The last p sieved is %" PRIu64 ".",
                     m_job.m_pMax, m_normal.m_pCur));
      break;
    default:
      break;
  }
  Post("Stop request received.");
  if (saves) SaveNormalOutputs();
}

}  // namespace zentrova
