// As in the normal loop, p are taken in batches: every worker finds a0 and
// the roots of its p on its own; the roots are then applied in increasing p
// and, within a p, in the kernel's storing order, so the factor file and the
// candidate file are the same for any number of threads.
#include "sieve/WideSieve.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <optional>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/WideFactorFile.h"
#include "math/ModArith.h"
#include "math/Montgomery64.h"
#include "sieve/BatchPipeline.h"
#include "sieve/BitOps.h"
#include "sieve/CandidateFeed.h"
#include "sieve/ClusterJob.h"
#include "sieve/Config.h"
#include "sieve/SieveLoop.h"
#include "sieve/WorkerPool.h"
#include "sieve/kernels/WideKernel.h"

namespace zentrova {

namespace {

// Writes text at the end of the stream's file with write(2) directly, after
// what the stream holds: one call for the whole text, repeated only for the
// rest of a short write (a full disk, which then fails).
bool WriteWhole(std::FILE* stream, const std::string& text) {
  if (std::fflush(stream) != 0 || std::ferror(stream) != 0) return false;
  const int fd = ::fileno(stream);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void WideSieveLoop::SetUpNew() {
  const SieveJob& job = m_ctx.Job();
  m_state = WideSieveState{};
  m_state.m_bitmap.assign(BitmapWords(job.m_nBMax), 0);
  for (int64_t b = job.m_nBMin; b <= job.m_nBMax; b += 2) {
    SetBitTest(static_cast<int32_t>(b), m_state.m_bitmap.data());
    ++m_state.m_left;
  }
}

bool WideSieveLoop::SaveCandidates() {
  const SieveJob& job = m_ctx.Job();
  const SieveRange range{job.m_nBMin, job.m_nBMax, job.m_nExponent, job.m_nLn, m_state.m_pCur};
  int64_t written = 0;
  if (!WriteCandidateBitmap(m_state.m_bitmap, m_state.m_left, range, job.m_strSieveOut,
                            m_ctx.PostFn(), &written)) {
    m_ctx.MarkFailed("The candidate file could not be saved.");
    return false;
  }
  if (written != m_state.m_left) {
    m_ctx.MarkFailed("The candidate bitmap is not consistent with its count.");
  }
  m_ctx.NoteSaved(m_state.m_pCur);
  return true;
}

bool WideSieveLoop::OpenFactorFile(CTextFile& file) {
  const SieveJob& job = m_ctx.Job();
  const std::string& name = job.m_strFactorOut;
  // The factor file is only ever appended to. A line that a crash or a full
  // disk cut short is removed first: its p lies beyond the candidate file's
  // depth, so the factor is found again. A new sieve starts its own file:
  // the start checks have had the user agree to replacing an existing one.
  const bool exists = job.m_nCommand == kCmdResumeSieve && CTextFile::FileExists(name);
  if (exists) {
    std::string torn;
    if (!CTextFile::TrimTornLastLine(name, torn)) {
      m_ctx.Fail(StrFormat("Unable to open output factor file %s.", name.c_str()));
      m_ctx.Fail(StrFormat("%s: %s.", name.c_str(), std::strerror(errno)));
      return false;
    }
    if (!torn.empty()) {
      m_ctx.Post(StrFormat("Factor file %s ended in a line cut short, which was removed: %s",
                           name.c_str(), torn.substr(0, 80).c_str()));
    }
  }
  if (!(exists ? file.OpenAppend() : file.OpenWrite())) {
    const int error = errno;
    m_ctx.Fail(StrFormat("Unable to open output factor file %s.", name.c_str()));
    m_ctx.Fail(StrFormat("%s: %s.", name.c_str(), std::strerror(error)));
    return false;
  }
  std::FILE* stream = file.GetStream();
  if (exists) {
    std::fwrite(kWideFactorContinuing.data(), 1, kWideFactorContinuing.size(), stream);
  } else {
    std::fputs(WideFactorHeaderLines({job.m_nBMin, job.m_nBMax, job.m_nExponent}).c_str(), stream);
  }
  std::fflush(stream);
  return true;
}

void WideSieveLoop::Compute(Result& r, KernelScratch& scratch) const {
  const SieveJob& job = m_ctx.Job();
  r.roots.clear();
  r.overflow = false;
  if (r.c.p >= kA0OneWordLimit) {
    // Two words: the a0 search and the walk of the two-word kernels.
    UInt128 a0 = 0;
    switch (FindA0_128(r.c.p, static_cast<uint64_t>(r.c.k), job.m_nLn, a0)) {
      case A0Search::kComposite:
        r.kind = RootKind::kComposite;
        return;
      case A0Search::kInvalid:
        r.kind = RootKind::kInvalid;
        return;
      case A0Search::kFound:
        r.kind = RootKind::kRoots;
        r.overflow = !m_kernel128(r.c.p, a0, job.m_nExponent, job.m_nBMax, r.roots, m_capacity,
                                  scratch);
        return;
    }
  }
  const auto p = static_cast<uint64_t>(r.c.p);
  uint64_t a0 = 0;
  switch (FindA0(p, static_cast<uint64_t>(r.c.k), job.m_nLn, a0)) {
    case A0Search::kComposite:
      r.kind = RootKind::kComposite;
      return;
    case A0Search::kInvalid:
      r.kind = RootKind::kInvalid;
      return;
    case A0Search::kFound:
      r.kind = RootKind::kRoots;
      r.overflow = !m_kernel(p, a0, job.m_nExponent, job.m_nBMax, r.roots, m_capacity, scratch);
      return;
  }
}

void WideSieveLoop::Strike(int64_t b, UInt128 p) {
  if (!ClearBitTest(static_cast<int32_t>(b), m_state.m_bitmap.data())) return;
  --m_state.m_left;
  AppendWideFactorLine(m_lines, static_cast<int32_t>(b), m_ctx.Job().m_nExponent, p);
}

bool WideSieveLoop::ApplyRoots(const Result& r) {
  const SieveJob& job = m_ctx.Job();
  const int ln = job.m_nLn;
  const uint64_t bMin = static_cast<uint64_t>(std::max(job.m_nBMin, 0));
  const uint64_t bMax = static_cast<uint64_t>(std::max(job.m_nBMax, 0));
  const UInt128 p = r.c.p;
  // root^N == -1 (mod p), in arithmetic independent of the kernels': lazy
  // Montgomery in one word (below 2^62), else the exact two-word reference.
  const bool oneWord = p < kA0OneWordLimit;
  const Montgomery64 mont(oneWord ? static_cast<uint64_t>(p) : 3);
  const uint64_t r2 =
      oneWord ? static_cast<uint64_t>((static_cast<UInt128>(mont.One()) << 64) % mont.p) : 0;
  const uint64_t minusOne = mont.p - mont.One();
  auto verify = [&](uint64_t root) {
    if (!oneWord) return VerifyFactor(ln, root, p);
    uint64_t x = mont.Mul(root % mont.p, r2);
    for (int i = 0; i < ln; ++i) x = mont.Square(x);
    return mont.Normalize(x) == minusOne;
  };
  if (r.overflow) {
    m_ctx.Post(StrFormat("Array overflow in %s.  Some candidates not processed.", m_kernelName));
  }
  for (const uint32_t root : r.roots) {
    // Every root is confirmed once with exact arithmetic; its multiples
    // r + jp are congruent to it and need no further check.
    if (!verify(root)) {
      m_ctx.Fail(StrFormat("Factor file %s does not divide %d*2^%d+1.", PToString(p).c_str(),
                           static_cast<int>(root), ln));
      return false;
    }
    // A root can be b^N + 1 itself only for small N; its multiples r + jp
    // exceed p and are proper factors.
    if ((root & 1) == 0 && root >= bMin && IsProperFactor(ln, root, p)) Strike(root, p);
    if (p < bMax) {
      const auto step = static_cast<uint64_t>(p);
      for (uint64_t u = static_cast<uint64_t>(root) + step; u <= bMax; u += step) {
        if ((u & 1) == 0 && u >= bMin) Strike(static_cast<int64_t>(u), p);
      }
    }
  }
  return true;
}

void WideSieveLoop::ComputeOnDevice(std::vector<Result>& batch) {
  const SieveJob& job = m_ctx.Job();
  const int ln = job.m_nLn;
  const int64_t n = job.m_nExponent;
  // The device's kernels take p below its limit; the CPU kernels did
  // the p above it as the batch was made.
  std::vector<UInt128> p, a0;
  std::vector<uint64_t> k;
  const UInt128 limit = m_gpu->PLimit();
  for (size_t i = 0; i < batch.size() && batch[i].c.p < limit; ++i) {
    p.push_back(batch[i].c.p);
    k.push_back(static_cast<uint64_t>(batch[i].c.k));
  }
  if (p.size() < batch.size()) NoteAboveDevice(m_ctx, *m_gpu, m_aboveDeviceTold);
  if (p.empty()) return;
  std::vector<uint8_t> kind;
  std::vector<WideHit> hits;
  m_gpu->Wide(p, k, ln, n, job.m_nBMax, config::kWideMaxGTries, kind, a0, hits);
  for (size_t i = 0; i < p.size(); ++i) {
    Result& r = batch[i];
    r.roots.clear();
    r.overflow = false;
    // The device's a0 passes the same exact guard as the CPU's.
    const bool minusOne = p[i] < kMaxModulus
                              ? SquareChainIsMinusOne(static_cast<int64_t>(a0[i]), ln,
                                                      static_cast<uint64_t>(p[i]))
                              : a0[i] < p[i] && VerifyFactor128(ln, a0[i], p[i]);
    r.kind = kind[i] != 2 ? RootKind::kComposite
             : minusOne   ? RootKind::kRoots
                          : RootKind::kInvalid;
  }
  // The CPU kernel's storing order: stage by stage, each in its slot order;
  // below N = 32 the exponents in turn.
  auto key = [&](const WideHit& h) -> uint64_t {
    if (n < 32) return h.j;
    const uint64_t stage = (h.j - 1) / 32;
    const unsigned slot = ((h.j - 1) % 32) / 2 | (h.negated ? 0x80u : 0u);
    return stage * 32 + (stage == 0 ? m_firstPos : m_laterPos)[slot];
  };
  std::sort(hits.begin(), hits.end(), [&](const WideHit& a, const WideHit& b) {
    return a.index != b.index ? a.index < b.index : key(a) < key(b);
  });
  for (const WideHit& h : hits) {
    if (batch[h.index].kind == RootKind::kRoots) batch[h.index].roots.push_back(h.root);
  }
}

bool WideSieveLoop::ApplyBatch(const std::vector<Result>& batch) {
  for (const Result& r : batch) {
    m_state.m_kCur = r.c.k;
    m_state.m_pCur = r.c.p;
    if (r.kind == RootKind::kComposite) continue;
    if (r.kind == RootKind::kInvalid) {
      m_ctx.Fail("Invalid m_a0 found");
      return false;
    }
    if (!ApplyRoots(r)) return false;
  }
  return true;
}

void WideSieveLoop::PrepareKernel() {
  const SieveJob& job = m_ctx.Job();
  m_kernel = WideKernelFor(job.m_isa, job.m_bNoSSE2 == 0, job.m_nExponent, &m_kernelName);
  // The two-word walk in the same storing order as the one-word kernel.
  m_kernel128 = job.m_nExponent < 32     ? &WideSmallN128
                : job.m_bNoSSE2 == 0     ? WideSieveArray128_SSE(job.m_isa)
                                         : &Athlon8xCondLoopArray128;
  m_capacity = static_cast<size_t>(job.m_nExponent) + 4;
  uint8_t slots[32];
  const WideOrder order = job.m_bNoSSE2 == 0 ? WideOrder::kSse : WideOrder::kAthlon;
  for (const bool first : {true, false}) {
    WideStageOrder(order, first, slots);
    for (uint8_t t = 0; t < 32; ++t) (first ? m_firstPos : m_laterPos)[slots[t]] = t;
  }
}

void WideSieveLoop::Serve(BatchCluster& link) {
  const SieveJob& job = m_ctx.Job();
  // The p of the batches it will be sent are process 0's to know.
  if (!OpenJobDevice(m_ctx, m_gpu, job.m_pMin)) m_gpu.reset();  // the CPU then
  PrepareKernel();
  const FermatChoice fermat = ChooseFermat(job);
  WorkerPool pool(job.m_threads);
  std::vector<KernelScratch> scratch(static_cast<size_t>(pool.Size()));
  CandidateFeed<Result> feed(m_ctx.Wheel(), fermat.test, fermat.width, fermat.test128,
                             2 * static_cast<uint64_t>(job.m_nExponent), job.m_pMax, nullptr, 0,
                             pool);
  const typename CandidateFeed<Result>::Compute compute = [&](Result& r, int thread) {
    if (!m_gpu || r.c.p >= m_gpu->PLimit()) Compute(r, scratch[static_cast<size_t>(thread)]);
  };
  for (;;) {
    const std::string bytes = link.Receive(0);
    ByteReader message(bytes);
    switch (message.Kind()) {
      case ClusterMessage::kBatch:
        link.Send(0, feed.Serve(message, compute, [&](std::vector<Result>& batch) {
          if (m_gpu) ComputeOnDevice(batch);
        }));
        break;
      case ClusterMessage::kEndJob:
        return;
      default:
        throw ClusterError("Process 0 sent an unexpected message.");
    }
  }
}

void WideSieveLoop::Run(CandidateSource* reader) {
  const SieveJob& job = m_ctx.Job();
  const int64_t n = job.m_nExponent;
  // From the first p this run sieves: above the depth of a resume.
  if (!OpenJobDevice(m_ctx, m_gpu, std::max(job.m_pMin, m_state.m_pCur + 1))) return;
  CTextFile factorFile(job.m_strFactorOut);
  if (!OpenFactorFile(factorFile)) return;
  m_ctx.Post("Quenbry wide math algorithm selected.");

  PrepareKernel();
  const FermatChoice fermat = ChooseFermat(job);
  WorkerPool pool(job.m_threads);
  std::vector<KernelScratch> scratch(static_cast<size_t>(pool.Size()));
  CandidateFeed<Result> feed(m_ctx.Wheel(), fermat.test, fermat.width, fermat.test128, 2 * static_cast<uint64_t>(n),
                             job.m_pMax, reader, m_state.m_kCur, pool);
  // With a device the workers only generate the candidates.
  const typename CandidateFeed<Result>::Compute compute = [&](Result& r, int thread) {
    if (!m_gpu || r.c.p >= m_gpu->PLimit()) Compute(r, scratch[static_cast<size_t>(thread)]);
  };
  // p per worker per batch: about kWideBatchWork multiplications each, or
  // kGpuBatchWork per launch.
  const int64_t perP = std::max<int64_t>(n / 2, 1);
  const int64_t perWorker =
      m_gpu ? std::clamp<int64_t>(config::kGpuBatchWork / perP / pool.Size(), 1,
                                  std::max<int64_t>(DeviceBatchLimit(job) / pool.Size(), 1))
            : std::clamp<int64_t>(config::kWideBatchWork / perP, 1, 4096);
  FeedEnd end = FeedEnd::kNone;
  UInt128 beyond = 0;
  bool factorsLost = false;  // struck bases whose factor lines did not reach the disk

  BatchCluster* const cluster = job.m_cluster;
  if (cluster != nullptr) feed.SetCluster(cluster, AnnounceJob(m_ctx, pool.Size()));

  // The next batch is generated and computed (on the pool, or the device) by
  // a thread of its own while this one applies the batch before it: the
  // roots of a p do not depend on the bitmap. On a device, generating is a
  // stage of its own, so that the device walks batch i while the pool makes
  // batch i + 1 and this thread applies batch i - 1. Batches are applied in
  // order.
  using Clock = std::chrono::steady_clock;
  const auto loopStart = Clock::now();
  m_ctx.SetBasesLeft(m_state.m_left);
  double applySeconds = 0;
  double deviceBusy = 0;
  {
    auto generate = [&](ProducedBatch<Result>& next) {
      next.end = feed.Next(perWorker, false, next.batch, compute, next.beyond);
    };
    std::optional<BatchPipeline<Result>> generated;
    if (m_gpu) generated.emplace(generate);
    BatchPipeline<Result> pipeline([&](ProducedBatch<Result>& next) {
      if (!generated) {
        generate(next);
        return;
      }
      next = std::move(*generated->Take([] { return false; }));
      if (next.error.empty()) ComputeOnDevice(next.batch);
    });
    for (;;) {
      std::optional<ProducedBatch<Result>> current =
          TakeBatch(pipeline, m_ctx, cluster != nullptr, m_state.m_pCur);
      if (!current) break;
      end = current->end;
      beyond = current->beyond;
      const auto applyStart = Clock::now();
      m_lines.clear();
      const int64_t leftBefore = m_state.m_left;
      const bool go = ApplyBatch(current->batch);
      m_ctx.CountP(static_cast<int64_t>(current->batch.size()), m_state.m_pCur);
      m_ctx.CountStruck(leftBefore - m_state.m_left);
      m_ctx.SetBasesLeft(m_state.m_left);
      if (!WriteWhole(factorFile.GetStream(), m_lines)) {
        const int error = errno;
        m_ctx.Fail(
            StrFormat("Error flushing contents of factor file %s.", job.m_strFactorOut.c_str()));
        m_ctx.Fail(StrFormat("%s: %s.", job.m_strFactorOut.c_str(), std::strerror(error)));
        factorsLost = true;
        break;
      }
      applySeconds += std::chrono::duration<double>(Clock::now() - applyStart).count();
      if (!go || m_ctx.StopRequested()) break;
      if (StatusAndSaveDue(m_ctx, m_state.m_left, m_state.m_pCur)) SaveCandidates();
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
    if (factorsLost) {
      // The bitmap no longer holds the bases whose lines were lost; saving it
      // would drop them from both files. The previous candidate file resumes
      // from before them.
      m_ctx.Fail(StrFormat("Sieve file %s was not replaced, so that no base is lost from both files.",
                           job.m_strSieveOut.c_str()));
    } else {
      SaveCandidates();
    }
  }
  if (cluster != nullptr) {
    feed.Drain();
    EndJobOnOthers(m_ctx);
  }
  if (m_gpu) m_ctx.SetDeviceBusy(deviceBusy);
  factorFile.Close();
}

}  // namespace zentrova
