// The new and resume jobs of the wide mode: the candidate bitmap from the
// range or from an earlier run's candidate file, then the loop.
#include <algorithm>
#include <cinttypes>

#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/BitOps.h"
#include "sieve/Jobs.h"
#include "sieve/PackedKSource.h"
#include "sieve/WideSieve.h"

namespace zentrova {

namespace {

void NewSieve(JobContext& ctx, WideSieveLoop& loop, bool packed) {
  const SieveJob& job = ctx.Job();
  loop.SetUpNew();
  const int64_t kBefore = KBeforePMin(job.m_pMin, 2 * static_cast<uint64_t>(job.m_nExponent));
  if (!packed) {
    loop.State().m_kCur = kBefore;
    // A run stopped before its first p says where it stood: at p of kBefore,
    // from which a resume goes on (not from the smallest p).
    if (kBefore > 0) loop.State().m_pCur = static_cast<uint64_t>(kBefore) * 2 * job.m_nExponent + 1;
    loop.Run(nullptr);
    return;
  }
  CPackedKDB db;
  uint64_t first = 0;
  // The first stored k whose p is at least --p-min.
  const auto kMin = static_cast<uint64_t>(kBefore + 1);
  if (kMin > 1) {
    if (!SeekPackedK(db, job.m_strPackedKDir, job.m_nLn, kMin, first, ctx.FailFn())) return;
  } else if (!StartPackedK(db, job.m_strPackedKDir, job.m_nLn, first, ctx.FailFn())) {
    return;
  }
  loop.State().m_kCur = static_cast<int64_t>(first);
  ctx.Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  PackedKSource source(db, job.m_strPackedKDir, job.m_nLn, PackedKLoop::kWide, ctx.PostFn(),
                       ctx.FailFn());
  loop.Run(&source);
}

// The candidate file of a resume: range, exponent, bitmap and depth.
bool LoadResume(JobContext& ctx, WideSieveLoop& loop) {
  SieveJob& job = ctx.Job();
  CandidateRange range;
  if (!LoadCandidateRange(job.m_strSieveIn, range, ctx.PostFn())) {
    ctx.Fail("Thread terminted due to input file parsing failure.");
    return false;
  }
  job.m_nBMin = range.bMin;
  job.m_nBMax = range.bMax;
  job.m_nExponent = range.exponent;
  job.m_nLn = range.ln;
  WideSieveState& s = loop.State();
  s = WideSieveState{};
  s.m_bitmap = std::move(range.bitmap);
  s.m_left = range.count;
  s.m_kCur = range.depth > 0 ? (range.depth - 1) / (2 * static_cast<int64_t>(range.exponent)) : 0;
  // The depth reached stands until the loop sieves a further p.
  s.m_pCur = static_cast<uint64_t>(std::max<int64_t>(range.depth, 0));
  return true;
}

// Clears the bases that the factor file being appended to already struck
// beyond the candidate file's depth (a run killed between saves), so that no
// factor is written twice.
bool TakeLateFactors(JobContext& ctx, WideSieveLoop& loop) {
  const SieveJob& job = ctx.Job();
  const std::string& name = job.m_strFactorOut;
  CTextFile file(name);
  if (!CTextFile::FileExists(name) || !file.OpenRead()) return true;  // the loop reports it
  WideSieveState& s = loop.State();
  const auto depth = static_cast<int64_t>(s.m_pCur);
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
    if (caret == std::string::npos || ParseInt32At(line, caret + 1) != job.m_nExponent) continue;
    if (b < job.m_nBMin || b > job.m_nBMax || ((b - job.m_nBMin) & 1) != 0) continue;
    if (!VerifyFactor(job.m_nLn, static_cast<uint64_t>(b), static_cast<uint64_t>(p))) {
      ctx.Fail(StrFormat("%s line %d: %" PRId64 " does not divide %d^%d+1.  Nothing was sieved.",
                         name.c_str(), lineNo, p, static_cast<int>(b), job.m_nExponent));
      return false;
    }
    if (ClearBitTest(static_cast<int32_t>(b), s.m_bitmap.data())) {
      --s.m_left;
      ++taken;
    }
  }
  if (taken > 0) {
    ctx.Post(StrFormat("%" PRId64 " bases were struck beyond the depth %" PRId64 " of %s before "
                       "the last run ended; their factors are in %s, and they leave the "
                       "candidates.",
                       taken, depth, job.m_strSieveIn.c_str(), name.c_str()));
  }
  return true;
}

}  // namespace

void RunWideSieveJob(JobContext& ctx, bool resume) {
  WideSieveLoop loop(ctx);
  const bool packed = !ctx.Job().m_strPackedKDir.empty();
  if (!resume) {
    NewSieve(ctx, loop, packed);
    return;
  }
  if (!LoadResume(ctx, loop) || !TakeLateFactors(ctx, loop)) return;
  if (packed) ctx.Post("Packed K file is not supported in wide sieve.  Running without it.");
  loop.Run(nullptr);
}

}  // namespace zentrova
