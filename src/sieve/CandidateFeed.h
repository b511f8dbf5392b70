// Hands the sieve loops their factor candidates in batches, and runs the
// per-candidate work of a batch on the worker pool.
//
// Without a packed K reader the k of a batch are cut into consecutive spans,
// a few per worker, and each worker generates the candidates of the spans it
// draws (with its own generator) and works on them at once, so that
// generation runs in parallel too. With a reader the k are read in order and
// the work is spread over the pool. Either way the batch comes back in
// increasing p, cut before the first p that ends the loop (p >= 2^61, or
// above the p limit), so the loops apply results exactly as a one-p-at-a-time
// loop would.
//
// Result is the loop's record of one p: it has a member `FactorCandidate c`;
// compute(result, thread) fills the rest on pool thread number `thread`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "math/FactorCandidates.h"
#include "math/ModArith.h"
#include "sieve/CandidateSource.h"
#include "sieve/WorkerPool.h"

namespace zentrova {

enum class FeedEnd { kNone, kReader, kLimit, kPMax };

template <typename Result>
class CandidateFeed {
 public:
  using Compute = std::function<void(Result&, int thread)>;

  // kStart: the k already done (the next candidate is above it); for a
  // reader, its first k has been read already and comes first.
  CandidateFeed(const WheelTables& tables, FermatBatchFn fermat, int fermatWidth, uint64_t twoN,
                uint64_t pMax, CandidateSource* reader, int64_t kStart, WorkerPool& pool)
      : m_twoN(twoN),
        m_pMax(pMax),
        m_reader(reader),
        m_pool(pool),
        m_kExamined(kStart),
        m_readerK(kStart),
        m_firstFromReader(reader != nullptr) {
    if (reader == nullptr) {
      for (int t = 0; t < pool.Size(); ++t) {
        m_generators.push_back(
            std::make_unique<FactorCandidateGenerator>(tables, fermat, fermatWidth));
      }
    }
  }

  // The next batch: about perWorker candidates per worker (just the first
  // one when onlyOne), each with compute done, in increasing p. Returns why
  // the loop must end after this batch, if it must; beyond is then the p
  // that ended it.
  FeedEnd Next(int64_t perWorker, bool onlyOne, std::vector<Result>& out, const Compute& compute,
               uint64_t& beyond) {
    out.clear();
    const size_t workers = static_cast<size_t>(m_pool.Size());
    FeedEnd end = FeedEnd::kNone;
    if (m_reader != nullptr) {
      const int64_t wanted = onlyOne ? 1 : perWorker * static_cast<int64_t>(workers);
      while (static_cast<int64_t>(out.size()) < wanted) {
        FactorCandidate c;
        if (m_firstFromReader) {
          c.k = m_readerK;
          m_firstFromReader = false;
        } else if (!m_reader->Next(c.k)) {
          end = FeedEnd::kReader;
          break;
        }
        // k beyond this bound would give p >= 2^61 (or overflow 64 bits).
        const uint64_t kBound = (kMaxModulus - 2) / m_twoN;
        c.p = c.k < 0 || static_cast<uint64_t>(c.k) > kBound
                  ? kMaxModulus
                  : static_cast<uint64_t>(c.k) * m_twoN + 1;
        if ((end = Ending(c.p)) != FeedEnd::kNone) {
          beyond = c.p;
          break;
        }
        out.emplace_back();
        out.back().c = c;
      }
      m_pool.ParallelFor(out.size(), [&](size_t i, int thread) { compute(out[i], thread); });
      return end;
    }

    // Several spans per worker, handed out in turn: a worker that drew a span
    // of little work takes the next one instead of waiting for the others.
    const size_t count = workers * kSpansPerWorker;
    std::vector<Span>& spans = m_spans;
    spans.resize(count);
    const int64_t span = std::max<int64_t>(
        1, static_cast<int64_t>(static_cast<double>(perWorker) * m_kPerCandidate /
                                static_cast<double>(kSpansPerWorker)));
    m_pool.ParallelFor(count, [&](size_t t, int thread) {
      Span& sp = spans[t];
      sp.used = 0;
      sp.end = FeedEnd::kNone;
      const int64_t lo = m_kExamined + 1 + static_cast<int64_t>(t) * span;
      const int64_t hi = lo + span - 1;
      FactorCandidateGenerator& gen = *m_generators[static_cast<size_t>(thread)];
      gen.Reset(static_cast<int64_t>(m_twoN), lo - 1);
      for (;;) {
        const FactorCandidate c = gen.NextFactorCandidate();
        if (c.k > hi) break;
        if ((sp.end = Ending(c.p)) != FeedEnd::kNone) {
          sp.beyond = c.p;
          break;
        }
        if (sp.used == sp.results.size()) sp.results.emplace_back();
        Result& r = sp.results[sp.used++];
        r.c = c;
        compute(r, thread);
        if (onlyOne) break;
      }
    });
    for (Span& sp : spans) {
      for (size_t i = 0; i < sp.used; ++i) out.push_back(std::move(sp.results[i]));
      if (sp.end != FeedEnd::kNone) {
        end = sp.end;
        beyond = sp.beyond;
        break;
      }
      if (onlyOne && !out.empty()) break;
    }
    m_kExamined += span * static_cast<int64_t>(count);
    if (out.size() > 8) {
      m_kPerCandidate = static_cast<double>(span * static_cast<int64_t>(count)) /
                        static_cast<double>(out.size());
    }
    return end;
  }

 private:
  static constexpr size_t kSpansPerWorker = 16;

  // One cache line each at least: the workers update their own span's
  // counters for every candidate.
  struct alignas(128) Span {
    std::vector<Result> results;  // kept from batch to batch, buffers and all
    size_t used = 0;
    FeedEnd end = FeedEnd::kNone;
    uint64_t beyond = 0;
  };

  FeedEnd Ending(uint64_t p) const {
    if (p >= kMaxModulus) return FeedEnd::kLimit;
    if (m_pMax != 0 && p > m_pMax) return FeedEnd::kPMax;
    return FeedEnd::kNone;
  }

  uint64_t m_twoN;
  uint64_t m_pMax;
  CandidateSource* m_reader;
  WorkerPool& m_pool;
  std::vector<std::unique_ptr<FactorCandidateGenerator>> m_generators;
  int64_t m_kExamined;            // every k up to here has been looked at
  double m_kPerCandidate = 12.0;  // k per candidate, measured as we go
  int64_t m_readerK;
  bool m_firstFromReader;
  std::vector<Span> m_spans;
};

}  // namespace zentrova
