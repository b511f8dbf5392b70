// The wide-range mode: for each factor candidate p, construct the N roots of
// x^N == -1 (mod p) from a primitive 2N-th root of unity a0 and strike the
// even bases among them (and their multiples r + jp) that are still in the
// candidate bitmap. The cost per p is about N/2 modular multiplications,
// whatever the width of the range.
//
// As in the normal loop, p are taken in batches: every worker finds a0 and
// the roots of its p on its own; the roots are then applied in increasing p
// and, within a p, in the kernel's storing order, so the factor file and the
// candidate file are the same for any number of threads.
#include <unistd.h>

#include <cinttypes>
#include <cstring>

#include <algorithm>
#include <ctime>
#include <memory>

#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/PackedKSequence.h"
#include "files/TextFile.h"
#include "math/ModArith.h"
#include "math/Montgomery64.h"
#include "sieve/BitOps.h"
#include "sieve/CandidateFeed.h"
#include "sieve/Config.h"
#include "sieve/GfnThread.h"
#include "sieve/PackedKSource.h"
#include "sieve/StatusLine.h"
#include "sieve/WorkerPool.h"
#include "sieve/kernels/WideKernel.h"

namespace zentrova {

namespace {

enum class RootKind { kComposite, kInvalid, kRoots };

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

// a0 for p = k*2N + 1: a = g^k for g = 2, 3, 5, 7, 9, ... until a^N != 1.
// For a prime p, a^N = g^((p-1)/2) is -1 exactly for the non-residues g, and
// then a has order 2N. A p for which a^N is neither 1 nor -1, or for which a
// few hundred g all give 1, is not prime and is passed over.
RootKind FindA0(uint64_t p, uint64_t k, int ln, uint64_t& a0) {
  const Montgomery64 mont(p);
  const uint64_t one = mont.One();
  const uint64_t minusOne = p - one;
  const uint64_t r2 =
      static_cast<uint64_t>((static_cast<unsigned __int128>(one) << 64) % p);  // R^2 mod p
  for (int tries = 0; tries < config::kWideMaxGTries; ++tries) {
    const uint64_t g = tries == 0 ? 2 : static_cast<uint64_t>(2 * tries + 1);
    // a = g^k, left to right, in Montgomery form.
    const uint64_t gm = mont.Normalize(mont.Mul(g % p, r2));
    uint64_t a = one;
    for (int bit = 63 - __builtin_clzll(k | 1); bit >= 0; --bit) {
      a = mont.Square(a);
      if ((k >> bit) & 1) a = mont.Mul(a, gm);
    }
    uint64_t s = a;
    for (int i = 0; i < ln; ++i) s = mont.Square(s);
    s = mont.Normalize(s);
    if (s == one) continue;
    if (s != minusOne) return RootKind::kComposite;
    a0 = mont.Normalize(mont.Mul(a, 1));
    // The same property in the exact reference arithmetic, as a guard.
    return SquareChainIsMinusOne(static_cast<int64_t>(a0), ln, p) ? RootKind::kRoots
                                                                    : RootKind::kInvalid;
  }
  return RootKind::kComposite;
}

}  // namespace

bool CGfnThread::SaveWideCandidates() {
  auto log = [this](const std::string& line) { Post(line); };
  const SieveRange range{m_job.m_nBMin, m_job.m_nBMax, m_job.m_nExponent, m_job.m_nLn,
                         m_wide.m_pCur};
  int64_t written = 0;
  if (!WriteCandidateBitmap(m_wide.m_bitmap, m_wide.m_left, range, m_job.m_strSieveOut, log,
                            &written)) {
    MarkFailed("The candidate file could not be saved.");
    return false;
  }
  if (written != m_wide.m_left) MarkFailed("The candidate bitmap is not consistent with its count.");
  return true;
}

void CGfnThread::WideSieveLoop(CandidateSource* reader) {
  const int ln = m_job.m_nLn;
  const int64_t n = m_job.m_nExponent;
  const uint64_t twoN = 2 * static_cast<uint64_t>(n);
  const int32_t bMin = m_job.m_nBMin;
  const int32_t bMax = m_job.m_nBMax;
  const std::string& factorName = m_job.m_strFactorOut;

  // Start-up: the factor file is only ever appended to. A line that a crash
  // or a full disk cut short is removed first: its p lies beyond the
  // candidate file's depth, so the factor is found again.
  // A new sieve starts its own file: the start checks have had the user agree
  // to replacing an existing one.
  CTextFile factorFile(factorName);
  const bool exists =
      m_job.m_nCommand == kCmdResumeSieve && CTextFile::FileExists(factorName);
  if (exists) {
    std::string torn;
    if (!CTextFile::TrimTornLastLine(factorName, torn)) {
      Fail(StrFormat("Unable to open output factor file %s.", factorName.c_str()));
      Fail(StrFormat("%s: %s.", factorName.c_str(), std::strerror(errno)));
      return;
    }
    if (!torn.empty()) {
      Post(StrFormat("Factor file %s ended in a line cut short, which was removed: %s",
                     factorName.c_str(), torn.substr(0, 80).c_str()));
    }
  }
  if (!(exists ? factorFile.OpenAppend() : factorFile.OpenWrite())) {
    const int error = errno;
    Fail(StrFormat("Unable to open output factor file %s.", factorName.c_str()));
    Fail(StrFormat("%s: %s.", factorName.c_str(), std::strerror(error)));
    return;
  }
  std::FILE* factors = factorFile.GetStream();
  if (exists) {
    std::fputs("\nContinuing Sieve\n\n", factors);
  } else {
    std::fprintf(factors, "Zentrova for k^%d+1 [k == %d to %d]\n\n", m_job.m_nExponent, bMin,
                 bMax);
  }
  std::fflush(factors);
  Post("Quenbry wide math algorithm selected.");

  const bool vector = m_job.m_bNoSSE2 == 0;
  // Below N = 32 a stage of 32 exponents would overrun the N roots.
  const WideKernelFn kernel = n < 32 ? &WideRootsSmallN
                              : vector ? WideSieveArray_SSE(m_job.m_isa)
                                       : &Athlon8xCondLoopArray;
  const char* kernelName = n < 32   ? "WideRootsSmallN"
                           : vector ? "WideSieveArray_SSE"
                                    : "Athlon8xCondLoopArray";
  const FermatBatchFn fermat = vector ? FermatBatchFor(m_job.m_isa) : &FermatBatchScalar;
  const int fermatWidth = fermat == &FermatBatchScalar ? 4 : config::kVectorFermatBatch;
  WorkerPool pool(m_job.m_nThreads);
  CandidateFeed feed(*m_wheel, fermat, fermatWidth, twoN, m_job.m_pMax, reader, m_wide.m_kCur,
                     pool);
  const size_t capacity = static_cast<size_t>(n) + 4;

  struct Result {
    FactorCandidate c;
    RootKind kind = RootKind::kComposite;
    std::vector<uint32_t> roots;
    bool overflow = false;
  };
  const std::function<void(Result&)> compute = [&](Result& r) {
    r.roots.clear();
    r.overflow = false;
    uint64_t a0 = 0;
    r.kind = FindA0(r.c.p, static_cast<uint64_t>(r.c.k), ln, a0);
    if (r.kind == RootKind::kRoots) r.overflow = !kernel(r.c.p, a0, n, bMax, r.roots, capacity);
  };
  // p per worker per batch: about kWideBatchWork multiplications each.
  const int64_t perWorker =
      std::clamp<int64_t>(config::kWideBatchWork / std::max<int64_t>(n / 2, 1), 1, 4096);
  std::vector<Result> batch;
  FeedEnd end = FeedEnd::kNone;
  uint64_t beyond = 0;
  bool stop = false;
  bool factorsLost = false;  // struck bases whose factor lines did not reach the disk

  // The lines of a batch reach the file in one write, which a kill cannot
  // split: after a kill the file ends with a whole line.
  std::string lines;
  auto strike = [&](int64_t b, uint64_t p) {
    if (ClearBitTest(static_cast<int32_t>(b), m_wide.m_bitmap.data())) {
      --m_wide.m_left;
      char line[96];
      const int length =
          std::snprintf(line, sizeof line, "1*%d^%d + 1 factor : %" PRId64 "\n",
                        static_cast<int>(b), m_job.m_nExponent, static_cast<int64_t>(p));
      lines.append(line, static_cast<size_t>(length));
    }
  };
  // Applies the roots of one p; false when a root fails its verification.
  auto apply = [&](const Result& r) {
    const uint64_t p = r.c.p;
    const Montgomery64 mont(p);
    const uint64_t r2 = static_cast<uint64_t>((static_cast<unsigned __int128>(mont.One()) << 64) % p);
    const uint64_t minusOne = p - mont.One();
    // root^N == -1 (mod p), in arithmetic independent of the kernels'.
    auto verify = [&](uint64_t root) {
      uint64_t x = mont.Mul(root % p, r2);
      for (int i = 0; i < ln; ++i) x = mont.Square(x);
      return mont.Normalize(x) == minusOne;
    };
    if (r.overflow) {
      Post(StrFormat("Array overflow in %s.  Some candidates not processed.", kernelName));
    }
    for (uint32_t root : r.roots) {
      // Every root is confirmed once with exact arithmetic; its multiples
      // r + jp are congruent to it and need no further check.
      if (!verify(root)) {
        Fail(StrFormat("Factor file %" PRId64 " does not divide %d*2^%d+1.",
                       static_cast<int64_t>(p), static_cast<int>(root), ln));
        return false;
      }
      // A root can be b^N + 1 itself only for small N; its multiples r + jp
      // exceed p and are proper factors.
      if ((root & 1) == 0 && static_cast<int64_t>(root) >= bMin && IsProperFactor(ln, root, p)) {
        strike(root, p);
      }
      if (p < static_cast<uint64_t>(bMax)) {
        for (uint64_t u = static_cast<uint64_t>(root) + p; u <= static_cast<uint64_t>(bMax);
             u += p) {
          if ((u & 1) == 0 && u >= static_cast<uint64_t>(bMin)) strike(static_cast<int64_t>(u), p);
        }
      }
    }
    return true;
  };

  while (end == FeedEnd::kNone && !stop) {
    end = feed.Next<Result>(perWorker, false, batch, compute, beyond);
    lines.clear();

    // The roots, in increasing p.
    for (const Result& r : batch) {
      m_wide.m_kCur = r.c.k;
      m_wide.m_pCur = r.c.p;
      if (r.kind == RootKind::kComposite) continue;
      if (r.kind == RootKind::kInvalid) {
        Fail("Invalid m_a0 found");
        stop = true;
        break;
      }
      if (!apply(r)) {
        stop = true;
        break;
      }
    }
    m_pCount.fetch_add(static_cast<int64_t>(batch.size()), std::memory_order_relaxed);
    m_pLast.store(m_wide.m_pCur, std::memory_order_relaxed);
    if (!WriteWhole(factors, lines)) {
      const int error = errno;
      Fail(StrFormat("Error flushing contents of factor file %s.", factorName.c_str()));
      Fail(StrFormat("%s: %s.", factorName.c_str(), std::strerror(error)));
      factorsLost = true;
      stop = true;
    }
    if (stop || m_bStopRequest.load(std::memory_order_relaxed) != 0) break;

    const int32_t tick = m_nStatusTick.load(std::memory_order_relaxed);
    if (tick != m_job.m_nTickSeen) {
      Post(FormatStatusLine(static_cast<int32_t>(m_wide.m_left), m_wide.m_pCur));
      m_job.m_nTickSeen = tick;
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      if (now - m_job.m_tLastSave >= m_job.m_nSaveSeconds) {
        m_job.m_tLastSave = now;
        SaveWideCandidates();
      }
    }
  }

  if (end == FeedEnd::kLimit) {
    Post(StrFormat("Stopping before p = %" PRIu64 ": p must stay below 2^61 (62 bits) for "
                   "exact arithmetic.",
                   beyond));
  } else if (end == FeedEnd::kPMax) {
    Post(StrFormat("Reached the p limit %" PRIu64 ".  The last p sieved is %" PRIu64 ".",
                   m_job.m_pMax, m_wide.m_pCur));
  }
  Post("Stop request received.");
  if (factorsLost) {
    // The bitmap no longer holds the bases whose lines were lost; saving it
    // would drop them from both files. The previous candidate file resumes
    // from before them.
    Fail(StrFormat("Sieve file %s was not replaced, so that no base is lost from both files.",
                   m_job.m_strSieveOut.c_str()));
  } else {
    SaveWideCandidates();
  }
  factorFile.Close();
}

void CGfnThread::SetUpNewWide() {
  m_wide = WideSieveState{};
  m_wide.m_bitmap.assign(BitmapWords(m_job.m_nBMax), 0);
  for (int64_t b = m_job.m_nBMin; b <= m_job.m_nBMax; b += 2) {
    SetBitTest(static_cast<int32_t>(b), m_wide.m_bitmap.data());
    ++m_wide.m_left;
  }
  m_wide.m_kCur = 0;
  m_wide.m_pCur = 0;
}

void CGfnThread::NewWideSieve() {
  SetUpNewWide();
  m_wide.m_kCur = KBeforePMin(m_job.m_pMin, 2 * static_cast<uint64_t>(m_job.m_nExponent));
  WideSieveLoop(nullptr);
}

void CGfnThread::NewWideSievePacked() {
  SetUpNewWide();
  CPackedKDB db;
  uint64_t first = 0;
  auto fail = [this](const std::string& line) { Fail(line); };
  // The first stored k whose p is at least --p-min.
  const auto kMin = static_cast<uint64_t>(
      KBeforePMin(m_job.m_pMin, 2 * static_cast<uint64_t>(m_job.m_nExponent)) + 1);
  if (kMin > 1) {
    if (!SeekPackedK(db, m_job.m_strPackedKDir, m_job.m_nLn, kMin, first, fail)) return;
  } else if (!StartPackedK(db, m_job.m_strPackedKDir, m_job.m_nLn, first, fail)) {
    return;
  }
  m_wide.m_kCur = static_cast<int64_t>(first);
  Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  PackedKSource source(db, m_job.m_strPackedKDir, m_job.m_nLn, PackedKLoop::kWide,
                       [this](const std::string& line) { Post(line); }, fail);
  WideSieveLoop(&source);
}

bool CGfnThread::LoadWideResume() {
  CandidateRange range;
  auto log = [this](const std::string& line) { Post(line); };
  if (!LoadCandidateRange(m_job.m_strSieveIn, range, log)) {
    Fail("Thread terminted due to input file parsing failure.");
    return false;
  }
  m_job.m_nBMin = range.bMin;
  m_job.m_nBMax = range.bMax;
  m_job.m_nExponent = range.exponent;
  m_job.m_nLn = range.ln;
  m_wide = WideSieveState{};
  m_wide.m_bitmap = std::move(range.bitmap);
  m_wide.m_left = range.count;
  m_wide.m_kCur = range.depth > 0 ? (range.depth - 1) / (2 * static_cast<int64_t>(range.exponent))
                                  : 0;
  // The depth reached stands until the loop sieves a further p.
  m_wide.m_pCur = static_cast<uint64_t>(std::max<int64_t>(range.depth, 0));
  return true;
}

bool CGfnThread::TakeLateWideFactors() {
  const std::string& name = m_job.m_strFactorOut;
  CTextFile file(name);
  if (!CTextFile::FileExists(name) || !file.OpenRead()) return true;  // the loop reports it
  const auto depth = static_cast<int64_t>(m_wide.m_pCur);
  const int32_t ln = m_job.m_nLn;
  int64_t taken = 0;
  int lineNo = 0;
  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    if (line.back() != '\n') break;  // cut short: removed before appending
    const size_t at = line.find("factor : ");
    const size_t one = line.find("1*");
    if (at == std::string::npos || one == std::string::npos) continue;
    const int64_t p = ParseInt64At(line, at + 9);
    if (p <= depth) continue;
    const int64_t b = ParseInt64At(line, one + 2);
    const size_t caret = line.find('^', one);
    if (caret == std::string::npos || ParseInt32At(line, caret + 1) != m_job.m_nExponent) continue;
    if (b < m_job.m_nBMin || b > m_job.m_nBMax || ((b - m_job.m_nBMin) & 1) != 0) continue;
    if (!VerifyFactor(ln, static_cast<uint64_t>(b), static_cast<uint64_t>(p))) {
      Fail(StrFormat("%s line %d: %" PRId64 " does not divide %d^%d+1.  Nothing was sieved.",
                     name.c_str(), lineNo, p, static_cast<int>(b), m_job.m_nExponent));
      return false;
    }
    if (ClearBitTest(static_cast<int32_t>(b), m_wide.m_bitmap.data())) {
      --m_wide.m_left;
      ++taken;
    }
  }
  if (taken > 0) {
    Post(StrFormat("%" PRId64 " bases were struck beyond the depth %" PRId64 " of %s before the "
                   "last run ended; their factors are in %s, and they leave the candidates.",
                   taken, depth, m_job.m_strSieveIn.c_str(), name.c_str()));
  }
  return true;
}

void CGfnThread::ResumeWideSieve() {
  if (!LoadWideResume() || !TakeLateWideFactors()) return;
  WideSieveLoop(nullptr);
}

void CGfnThread::ResumeWideSievePacked() {
  if (!LoadWideResume() || !TakeLateWideFactors()) return;
  Post("Packed K file is not supported in wide sieve.  Running without it.");
  WideSieveLoop(nullptr);
}

}  // namespace zentrova
