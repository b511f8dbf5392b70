// Hands the sieve loops their factor candidates in batches, and runs the
// per-candidate work of a batch on the worker pool.
//
// Without a packed K reader the k of a batch are cut into consecutive spans,
// smaller towards the end, and each worker generates the candidates of the spans it
// draws (with its own generator) and works on them at once, so that
// generation runs in parallel too. With a reader the k are read in order and
// the work is spread over the pool. Either way the batch comes back in
// increasing p, cut before the first p that ends the loop (k at kKLimit, or
// p above the p limit), so the loops apply results exactly as a one-p-at-a-time
// loop would. In a run of several processes the batch is cut in parts, one
// per process, which the others compute and send back (BatchCluster.h).
//
// Result is the loop's record of one p: it has a member `FactorCandidate c`;
// compute(result, thread) fills the rest on pool thread number `thread`.
// Pack(ByteWriter&) and Unpack(ByteReader&) carry it between processes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "math/FactorCandidates.h"
#include "files/StrFormat.h"
#include "math/ModArith.h"
#include "sieve/BatchCluster.h"
#include "sieve/Config.h"
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
  CandidateFeed(const WheelTables& tables, FermatBatchFn fermat, int fermatWidth,
                FermatBatch128Fn fermat128, uint64_t twoN,
                UInt128 pMax, CandidateSource* reader, int64_t kStart, WorkerPool& pool)
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
            std::make_unique<FactorCandidateGenerator>(tables, fermat, fermatWidth, fermat128));
      }
    }
  }

  // With other processes (an MPI run, on process 0): every batch is shared
  // among them in proportion to their threads (threads[r] for rank r), this
  // process taking the first part. Their results are appended in order, so
  // the batch is the same as one process would make.
  void SetCluster(BatchCluster* cluster, std::vector<int> threads) {
    m_cluster = cluster;
    m_threads = std::move(threads);
    m_kPlanned = m_kExamined;
  }

  // The next batch: about perWorker candidates per worker (just the first
  // one when onlyOne), each with compute done, in increasing p. Returns why
  // the loop must end after this batch, if it must; beyond is then the p
  // that ended it.
  FeedEnd Next(int64_t perWorker, bool onlyOne, std::vector<Result>& out, const Compute& compute,
               UInt128& beyond) {
    out.clear();
    if (m_cluster != nullptr && m_cluster->Size() > 1 && !onlyOne) {
      return NextShared(perWorker * config::kClusterBatchScale, out, compute, beyond);
    }
    const int64_t workers = m_pool.Size();
    if (m_reader != nullptr) {
      std::vector<FactorCandidate> list;
      const FeedEnd end = Read(onlyOne ? 1 : perWorker * workers, list, beyond);
      ComputeList(list.begin(), list.end(), out, compute);
      return end;
    }
    // k per thread of this batch: a span of them per worker.
    const int64_t perThread = PerThread(perWorker);
    const int64_t lo = m_kExamined + 1;
    const int64_t hi = Last(lo, perThread * workers);
    const FeedEnd end = Range(lo, hi, onlyOne, out, compute, beyond);
    Examined(hi - lo + 1, out.size(), end);
    return end;
  }

  // In a run spread over processes: receives the results of the parts sent
  // ahead that the loop no longer wants, before the job's end is announced.
  void Drain() {
    if (!m_planned.valid) return;
    std::vector<Result> unused;
    UInt128 beyond = 0;
    Collect(FeedEnd::kLimit, unused, beyond);
    m_planned = Planned{};
  }

  // On a process other than 0: computes the batch of a batch message (with
  // compute, then finish over the whole batch) and returns the result
  // message.
  std::string Serve(ByteReader& message, const Compute& compute,
                    const std::function<void(std::vector<Result>&)>& finish) {
    std::vector<Result> out;
    UInt128 beyond = 0;
    FeedEnd end = FeedEnd::kNone;
    if (message.Get<uint8_t>() != 0) {
      std::vector<FactorCandidate> list;
      message.GetVector(list);
      ComputeList(list.begin(), list.end(), out, compute);
    } else {
      const int64_t lo = message.Get<int64_t>();
      const int64_t hi = message.Get<int64_t>();
      end = Range(lo, hi, false, out, compute, beyond);
    }
    finish(out);
    ByteWriter reply(ClusterMessage::kResult);
    reply.Put(static_cast<uint8_t>(end));
    reply.Put(beyond);
    reply.Put(static_cast<uint64_t>(out.size()));
    for (const Result& r : out) r.Pack(reply);
    return reply.Bytes();
  }

 private:
  // The smallest span is this part of a worker's share of a batch.
  static constexpr int64_t kSmallestSpanPart = 64;

  // A batch whose parts have been sent to the other processes.
  struct Planned {
    bool valid = false;
    int64_t lo = 0, ownHi = -1, hi = -1;  // its k; this process's part up to ownHi
    std::vector<FactorCandidate> own;     // with a reader: this process's part
    FeedEnd end = FeedEnd::kNone;         // with a reader: the end met reading it
    UInt128 beyond = 0;
  };

  // Up to wanted candidates from the reader, cut before the first p that
  // ends the loop.
  FeedEnd Read(int64_t wanted, std::vector<FactorCandidate>& list, UInt128& beyond) {
    while (static_cast<int64_t>(list.size()) < wanted) {
      FactorCandidate c;
      if (m_firstFromReader) {
        c.k = m_readerK;
        m_firstFromReader = false;
      } else if (!m_reader->Next(c.k)) {
        return FeedEnd::kReader;
      }
      if (c.k < 0 || c.k > kKLimit) c.k = kKLimit;  // the readers never give one
      c.p = static_cast<UInt128>(c.k) * m_twoN + 1;
      if (const FeedEnd end = Ending(c); end != FeedEnd::kNone) {
        beyond = c.p;
        return end;
      }
      list.push_back(c);
    }
    return FeedEnd::kNone;
  }

  // The candidates of [first, last) computed on the pool, into out.
  void ComputeList(typename std::vector<FactorCandidate>::const_iterator first,
                   typename std::vector<FactorCandidate>::const_iterator last,
                   std::vector<Result>& out, const Compute& compute) {
    out.resize(static_cast<size_t>(last - first));
    for (size_t i = 0; i < out.size(); ++i) out[i].c = first[static_cast<ptrdiff_t>(i)];
    m_pool.ParallelFor(out.size(), [&](size_t i, int thread) { compute(out[i], thread); });
  }

  // The last k of a span of count k from first, at most kKLimit: the k
  // there ends the loop, and nothing beyond it may overflow.
  static int64_t Last(int64_t first, int64_t count) {
    return first > kKLimit - count ? std::max(first, kKLimit) : first + count - 1;
  }

  int64_t PerThread(int64_t perWorker) const {
    return std::max<int64_t>(1,
                             static_cast<int64_t>(static_cast<double>(perWorker) * m_kPerCandidate));
  }

  // Moves past the k of a batch and learns from it how many k make a
  // candidate.
  void Examined(int64_t ks, size_t candidates, FeedEnd end) {
    m_kExamined += ks;
    if (candidates > 8 && end == FeedEnd::kNone) {
      m_kPerCandidate = static_cast<double>(ks) / static_cast<double>(candidates);
    }
  }

  // A batch of a run spread over processes, planned one ahead: the other
  // processes' parts are sent when the batch before it has been computed
  // here, so that they compute while this process hands that batch over and
  // collects their results.
  FeedEnd NextShared(int64_t perWorker, std::vector<Result>& out, const Compute& compute,
                     UInt128& beyond) {
    if (!m_planned.valid) Plan(perWorker);
    Planned batch = std::move(m_planned);
    m_planned = Planned{};
    FeedEnd end = FeedEnd::kNone;
    if (m_reader != nullptr) {
      ComputeList(batch.own.begin(), batch.own.end(), out, compute);
    } else {
      end = Range(batch.lo, batch.ownHi, false, out, compute, beyond);
    }
    // The next batch's parts go out now, unless this one ends the feed
    // (as far as this process can tell: a part may end it too, and Drain
    // then takes the next batch's results back). Messages from a process
    // come in the order they were sent, so the results read next are this
    // batch's.
    if (end == FeedEnd::kNone && batch.end == FeedEnd::kNone) Plan(perWorker);
    end = Collect(end, out, beyond);
    if (end == FeedEnd::kNone && batch.end != FeedEnd::kNone) {
      end = batch.end;  // the reader's end, after every part
      beyond = batch.beyond;
    }
    if (m_reader == nullptr) Examined(batch.hi - batch.lo + 1, out.size(), end);
    return end;
  }

  // Cuts the next batch into parts, one per process in proportion to its
  // threads, this process's first, and sends the others theirs.
  void Plan(int64_t perWorker) {
    Planned& plan = m_planned;
    plan = Planned{};
    plan.valid = true;
    const size_t size = static_cast<size_t>(m_cluster->Size());
    const int64_t workers = m_pool.Size();
    int64_t threads = workers;
    for (size_t r = 1; r < size; ++r) threads += m_threads.at(r);
    std::vector<ByteWriter> messages(size, ByteWriter(ClusterMessage::kBatch));
    if (m_reader != nullptr) {
      std::vector<FactorCandidate> list;
      plan.end = Read(perWorker * threads, list, plan.beyond);
      size_t at = std::min(list.size(), static_cast<size_t>(perWorker * workers));
      plan.own.assign(list.begin(), list.begin() + static_cast<ptrdiff_t>(at));
      for (size_t r = 1; r < size; ++r) {
        const size_t next =
            std::min(list.size(), at + static_cast<size_t>(perWorker * m_threads[r]));
        messages[r].Put(uint8_t{1});
        messages[r].PutVector(std::vector<FactorCandidate>(
            list.begin() + static_cast<ptrdiff_t>(at), list.begin() + static_cast<ptrdiff_t>(next)));
        at = next;
      }
    } else {
      const int64_t perThread = PerThread(perWorker);
      plan.lo = m_kPlanned + 1;
      plan.ownHi = Last(plan.lo, perThread * workers);
      int64_t at = plan.ownHi + 1;
      for (size_t r = 1; r < size; ++r) {
        const int64_t hi = Last(at, perThread * m_threads[r]);
        messages[r].Put(uint8_t{0});
        messages[r].Put(at);
        messages[r].Put(hi);
        at = hi + 1;
      }
      plan.hi = at - 1;
      m_kPlanned = plan.hi;
    }
    for (size_t r = 1; r < size; ++r) m_cluster->Send(static_cast<int>(r), messages[r].Bytes());
  }

  // Appends the other processes' results of the batch whose parts were sent
  // last, in order, up to the first part that ended the feed (none after an
  // end that came before them). Every answer is read, to keep the exchange
  // in step.
  FeedEnd Collect(FeedEnd end, std::vector<Result>& out, UInt128& beyond) {
    for (int r = 1; r < m_cluster->Size(); ++r) {
      const std::string bytes = m_cluster->Receive(r);
      ByteReader reply(bytes);
      if (reply.Kind() != ClusterMessage::kResult) {
        throw ClusterError(StrFormat("Process %d sent an unexpected message.", r));
      }
      const auto partEnd = static_cast<FeedEnd>(reply.Get<uint8_t>());
      const auto partBeyond = reply.Get<UInt128>();
      const uint64_t count = reply.Get<uint64_t>();
      for (uint64_t i = 0; i < count; ++i) {
        Result result;
        result.Unpack(reply);
        if (end == FeedEnd::kNone) out.push_back(std::move(result));
      }
      if (end == FeedEnd::kNone && partEnd != FeedEnd::kNone) {
        end = partEnd;
        beyond = partBeyond;
      }
    }
    return end;
  }

  // The candidates with k in [lo, hi], in spans handed out in turn: a worker
  // that drew a span of little work takes the next one instead of waiting
  // for the others. The spans shrink towards the end of the range (each
  // about the rest over twice the workers, down to a 64th of a worker's
  // share), so that the workers finish together. Each worker generates its
  // spans' k with its own generator and works on them at once.
  FeedEnd Range(int64_t lo, int64_t hi, bool onlyOne, std::vector<Result>& out,
                const Compute& compute, UInt128& beyond) {
    const int64_t workers = m_pool.Size();
    const int64_t smallest = std::max<int64_t>(1, (hi - lo + 1) / (workers * kSmallestSpanPart));
    std::vector<int64_t>& starts = m_starts;
    starts.clear();
    for (int64_t at = lo; at <= hi;) {
      starts.push_back(at);
      // Never past hi + 1: at the end of the k range hi is 2^63 - 256, and
      // a step beyond it would wrap around.
      const int64_t rest = hi - at + 1;
      at += std::min(rest, std::max(smallest, rest / (2 * workers)));
    }
    starts.push_back(hi + 1);
    const size_t count = starts.size() - 1;
    std::vector<Span>& spans = m_spans;
    if (spans.size() < count) spans.resize(count);
    m_pool.ParallelFor(count, [&](size_t t, int thread) {
      Span& sp = spans[t];
      sp.used = 0;
      sp.end = FeedEnd::kNone;
      const int64_t first = starts[t];
      const int64_t last = std::min(hi, starts[t + 1] - 1);
      FactorCandidateGenerator& gen = *m_generators[static_cast<size_t>(thread)];
      gen.Reset(static_cast<int64_t>(m_twoN), first - 1);
      for (;;) {
        const FactorCandidate c = gen.NextFactorCandidate();
        if (c.k > last) break;
        if ((sp.end = Ending(c)) != FeedEnd::kNone) {
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
    FeedEnd end = FeedEnd::kNone;
    for (size_t t = 0; t < count; ++t) {
      Span& sp = spans[t];
      for (size_t i = 0; i < sp.used; ++i) out.push_back(std::move(sp.results[i]));
      if (sp.end != FeedEnd::kNone) {
        end = sp.end;
        beyond = sp.beyond;
        break;
      }
      if (onlyOne && !out.empty()) break;
    }
    return end;
  }

  // One cache line each at least: the workers update their own span's
  // counters for every candidate.
  struct alignas(128) Span {
    std::vector<Result> results;  // kept from batch to batch, buffers and all
    size_t used = 0;
    FeedEnd end = FeedEnd::kNone;
    UInt128 beyond = 0;
  };

  FeedEnd Ending(const FactorCandidate& c) const {
    if (c.k >= kKLimit) return FeedEnd::kLimit;
    if (m_pMax != 0 && c.p > m_pMax) return FeedEnd::kPMax;
    return FeedEnd::kNone;
  }

  uint64_t m_twoN;
  UInt128 m_pMax;
  CandidateSource* m_reader;
  WorkerPool& m_pool;
  std::vector<std::unique_ptr<FactorCandidateGenerator>> m_generators;
  int64_t m_kExamined;            // every k up to here has been looked at
  double m_kPerCandidate = 12.0;  // k per candidate, measured as we go
  int64_t m_readerK;
  bool m_firstFromReader;
  std::vector<Span> m_spans;
  std::vector<int64_t> m_starts;  // the first k of each span, then hi + 1
  BatchCluster* m_cluster = nullptr;
  std::vector<int> m_threads;  // of each process, by rank
  Planned m_planned;           // the next batch, its parts sent ahead
  int64_t m_kPlanned = 0;      // the last k of the batches planned
};

}  // namespace zentrova
