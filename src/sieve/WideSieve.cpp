// As in the normal loop, p are taken in batches: every worker finds a0 and
// the roots of its p on its own; the roots are then applied in increasing p
// and, within a p, in the kernel's storing order, so the factor file and the
// candidate file are the same for any number of threads.
#include "sieve/WideSieve.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

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
  const auto k = static_cast<uint64_t>(r.c.k);
  r.roots.clear();
  r.overflow = false;
  A0Search found = A0Search::kComposite;
  if (r.c.p >= kA0OneWordLimit) {
    // Two words: the a0 search and the walk of the two-word kernels.
    UInt128 a0 = 0;
    found = FindA0_128(r.c.p, k, job.m_nLn, a0);
    if (found == A0Search::kFound) {
      r.overflow =
          !m_kernel128(r.c.p, a0, job.m_nExponent, job.m_nBMax, r.roots, m_capacity, scratch);
    }
  } else {
    const auto p = static_cast<uint64_t>(r.c.p);
    uint64_t a0 = 0;
    found = FindA0(p, k, job.m_nLn, a0);
    if (found == A0Search::kFound) {
      r.overflow = !m_kernel(p, a0, job.m_nExponent, job.m_nBMax, r.roots, m_capacity, scratch);
    }
  }
  r.kind = found == A0Search::kFound     ? RootKind::kRoots
           : found == A0Search::kInvalid ? RootKind::kInvalid
                                         : RootKind::kComposite;
}

CandidateFeed<WideSieveLoop::Result>::Compute WideSieveLoop::CpuCompute(
    std::vector<KernelScratch>& scratch, UInt128 deviceLimit) {
  return [this, &scratch, deviceLimit](Result& r, int thread) {
    if (r.c.p >= deviceLimit) Compute(r, scratch[static_cast<size_t>(thread)]);
  };
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

int64_t WideSieveLoop::SearchPassedOver(const std::vector<UInt128>& p,
                                        const std::vector<uint64_t>& k,
                                        const std::vector<uint32_t>& passedOver,
                                        std::vector<HostCheckFailure>& failed) {
  const int ln = m_ctx.Job().m_nLn;
  const size_t sample =
      std::max<size_t>(config::kDeviceA0MinSample, passedOver.size() / config::kDeviceCheckShare);
  const size_t stride = (passedOver.size() + sample - 1) / sample;
  int64_t searched = 0;
  for (size_t s = stride == 0 ? 0 : m_deviceLaunches++ % stride; s < passedOver.size();
       s += stride) {
    const uint32_t i = passedOver[s];
    ++searched;
    UInt128 a0 = 0;
    uint64_t a64 = 0;
    const A0Search cpu = p[i] < kA0OneWordLimit ? FindA0(static_cast<uint64_t>(p[i]), k[i], ln, a64)
                                                : FindA0_128(p[i], k[i], ln, a0);
    if (cpu == A0Search::kFound) failed.push_back({i, "its verdict of composite fails its check"});
  }
  return searched;
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
  // A batch made for the device after it was dropped, or one it failed.
  auto onCpu = [&] {
    for (size_t i = 0; i < p.size(); ++i) Compute(batch[i], m_deviceScratch[0]);
  };
  if (m_deviceTally.dropped.load()) return onCpu();
  m_gpu->Wide(p, k, ln, n, job.m_nBMax, config::kWideMaxGTries, kind, a0, hits);
  const DeviceChecks checks = m_gpu->LastChecks();
  // The device's a0 passes the same exact guard as the CPU's; one that
  // fails it is the device's fault, as a failed check is.
  std::vector<HostCheckFailure> failed;
  std::vector<uint32_t> passedOver;
  for (size_t i = 0; i < p.size(); ++i) {
    Result& r = batch[i];
    r.roots.clear();
    r.overflow = false;
    r.kind = RootKind::kComposite;
    if (kind[i] != 2) {
      passedOver.push_back(static_cast<uint32_t>(i));
      continue;
    }
    const bool minusOne =
        p[i] < kMaxModulus
            ? SquareChainIsMinusOne(static_cast<int64_t>(a0[i]), ln, static_cast<uint64_t>(p[i]))
            : a0[i] < p[i] && VerifyFactor128(ln, a0[i], p[i]);
    if (minusOne) {
      r.kind = RootKind::kRoots;
    } else {
      failed.push_back({static_cast<uint32_t>(i), "the a0 it found fails its check"});
    }
  }
  // Unless the batch goes to the CPU already, the host searches a sample of
  // the p passed over again.
  const int64_t searched =
      failed.empty() && checks.mismatches.empty() ? SearchPassedOver(p, k, passedOver, failed) : 0;
  if (!DeviceChecksHold(m_ctx, *m_gpu, checks, p, m_deviceTally, searched, failed)) return onCpu();
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

size_t WideSieveLoop::ApplyBatch(const std::vector<Result>& batch) {
  m_lines.clear();
  m_go = true;
  for (const Result& r : batch) {
    m_state.m_kCur = r.c.k;
    m_state.m_pCur = r.c.p;
    if (r.kind == RootKind::kComposite) continue;
    if (r.kind == RootKind::kInvalid) {
      m_ctx.Fail("Invalid m_a0 found");
      m_go = false;
      break;
    }
    if (!ApplyRoots(r)) {
      m_go = false;
      break;
    }
  }
  return batch.size();
}

BatchVerdict WideSieveLoop::KeepBatch(int64_t) {
  if (!WriteWhole(m_factorFile->GetStream(), m_lines)) {
    const int error = errno;
    const std::string& name = m_ctx.Job().m_strFactorOut;
    m_ctx.Fail(StrFormat("Error flushing contents of factor file %s.", name.c_str()));
    m_ctx.Fail(StrFormat("%s: %s.", name.c_str(), std::strerror(error)));
    m_factorsLost = true;
    return BatchVerdict::kLost;
  }
  return m_go ? BatchVerdict::kGo : BatchVerdict::kStop;
}

void WideSieveLoop::SaveFiles() {
  if (!m_factorsLost) {
    SaveCandidates();
    return;
  }
  // The bitmap no longer holds the bases whose lines were lost; saving it
  // would drop them from both files. The previous candidate file resumes
  // from before them.
  m_ctx.Fail(StrFormat("Sieve file %s was not replaced, so that no base is lost from both files.",
                       m_ctx.Job().m_strSieveOut.c_str()));
}

void WideSieveLoop::GenerateBatch(LoopWorkers<Result>& w, BatchCluster*,
                                  ProducedBatch<Result>& next) {
  const UInt128 deviceLimit = DeviceLimit();
  next.onCpu = deviceLimit == 0;
  next.end =
      w.feed.Next(m_perWorker, false, next.batch, CpuCompute(w.scratch, deviceLimit), next.beyond);
}

void WideSieveLoop::PrepareKernel() {
  const SieveJob& job = m_ctx.Job();
  m_kernel = WideKernelFor(job.m_isa, job.m_bNoSSE2 == 0, job.m_nExponent, &m_kernelName);
  // The two-word walk in the same storing order as the one-word kernel.
  m_kernel128 = job.m_nExponent < 32 ? &WideSmallN128
                : job.m_bNoSSE2 == 0 ? WideSieveArray128_SSE(job.m_isa)
                                     : &Athlon8xCondLoopArray128;
  m_capacity = static_cast<size_t>(job.m_nExponent) + 4;
  uint8_t slots[32];
  const WideOrder order = job.m_bNoSSE2 == 0 ? WideOrder::kSse : WideOrder::kAthlon;
  for (const bool first : {true, false}) {
    WideStageOrder(order, first, slots);
    for (uint8_t t = 0; t < 32; ++t) (first ? m_firstPos : m_laterPos)[slots[t]] = t;
  }
}

void WideSieveLoop::ServeBody(BatchCluster& link) {
  PrepareKernel();
  LoopWorkers<Result> w(m_ctx, 2 * static_cast<uint64_t>(m_ctx.Job().m_nExponent), nullptr, 0);
  ServeBatches<Result>(
      link, w.feed, [&](UInt128 deviceLimit) { return CpuCompute(w.scratch, deviceLimit); },
      [&](std::vector<Result>& batch) {
        if (m_gpu) ComputeOnDevice(batch);
      });
}

void WideSieveLoop::RunBody(CandidateSource* reader) {
  const SieveJob& job = m_ctx.Job();
  const int64_t n = job.m_nExponent;
  CTextFile factorFile(job.m_strFactorOut);
  if (!OpenFactorFile(factorFile)) return;
  m_ctx.Post("Quenbry wide math algorithm selected.");

  PrepareKernel();
  LoopWorkers<Result> w(m_ctx, 2 * static_cast<uint64_t>(n), reader, m_state.m_kCur);
  // p per worker per batch: about kWideBatchWork multiplications each, or
  // kGpuBatchWork per launch. With a device the workers only generate the
  // candidates.
  const int64_t perP = std::max<int64_t>(n / 2, 1);
  const int workers = w.pool.Size();
  m_perWorker = m_gpu ? std::clamp<int64_t>(config::kGpuBatchWork / perP / workers, 1,
                                            std::max<int64_t>(DeviceBatchLimit(job) / workers, 1))
                      : std::clamp<int64_t>(config::kWideBatchWork / perP, 1, 4096);
  m_factorFile = &factorFile;
  m_factorsLost = false;
  // The roots of a p do not depend on the bitmap: batches are computed
  // ahead of the one applied.
  RunBatches(w, job.m_cluster);
  m_factorFile = nullptr;
  factorFile.Close();
}

}  // namespace zentrova
