// The new and resume jobs of the normal mode: they build the list of bases
// (from the range, or from the files an earlier run saved) and run the loop.
#include <algorithm>
#include <cstdint>

#include "files/StrFormat.h"
#include "files/PackedKSequence.h"
#include "math/FactorCandidates.h"
#include "sieve/Jobs.h"
#include "sieve/PackedKSource.h"
#include "sieve/SieveLoop.h"

namespace zentrova {

namespace {

void FillRange(JobContext& ctx, NormalSieveLoop& loop) {
  const SieveJob& job = ctx.Job();
  loop.Allocate();
  NormalSieveState& s = loop.State();
  for (int64_t b = job.m_nBMin; b <= job.m_nBMax; b += 2)
    s.m_cand.push_back(static_cast<int32_t>(b));
  s.m_N = job.m_nExponent;
  s.m_pCur = 0;
}

// Positions db at the first stored k >= kFrom of the packed K sequence of
// 2^ln (at its start for kFrom 0); false after the sequence's message.
bool OpenPacked(JobContext& ctx, CPackedKDB& db, int ln, int64_t kFrom, uint64_t& first) {
  const std::string& dir = ctx.Job().m_strPackedKDir;
  if (kFrom > 0) return SeekPackedK(db, dir, ln, static_cast<uint64_t>(kFrom), first, ctx.FailFn());
  return StartPackedK(db, dir, ln, first, ctx.FailFn());
}

void RunOnSequence(JobContext& ctx, NormalSieveLoop& loop, CPackedKDB& db, int ln) {
  ctx.Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
  PackedKSource source(db, ctx.Job().m_strPackedKDir, ln, PackedKLoop::kNormal, ctx.PostFn(),
                       ctx.FailFn(), ChooseFermat(ctx.Job()).test);
  loop.Run(&source);
}

void NewSieve(JobContext& ctx, NormalSieveLoop& loop, bool packed) {
  const SieveJob& job = ctx.Job();
  // The range steps by two from b Min: all odd, or all even. Allowed (a
  // factor found is still a factor), but worth a word.
  if (job.m_nBMin % 2 != 0) {
    ctx.Post(StrFormat("Warning: b Min %d is odd, so every base of the range is odd, and b^N+1 is "
                       "even for odd b: none of these numbers can be prime.",
                       job.m_nBMin));
  }
  FillRange(ctx, loop);
  const int64_t kBefore = KBeforePMin(job.m_pMin, 2 * static_cast<uint64_t>(job.m_nExponent));
  if (!packed) {
    loop.State().m_kCur = kBefore;
    // A run stopped before its first p says where it stood: at p of kBefore,
    // from which a resume goes on (not from the smallest p).
    if (kBefore > 0) loop.State().m_pCur = static_cast<UInt128>(kBefore) * 2 * job.m_nExponent + 1;
    loop.Run(nullptr);
    return;
  }
  // Start at the first stored k whose p is at least --p-min.
  CPackedKDB db;
  uint64_t first = 0;
  if (!OpenPacked(ctx, db, job.m_nLn, kBefore > 0 ? kBefore + 1 : 0, first)) return;
  loop.State().m_kCur = static_cast<int64_t>(first);
  RunOnSequence(ctx, loop, db, job.m_nLn);
}

void ResumeSieve(JobContext& ctx, NormalSieveLoop& loop, bool packed) {
  const int32_t packedExponent = ctx.Job().m_nExponent;
  UInt128 pReached = 0;
  if (!LoadNormalResume(ctx, packed, loop, pReached)) return;
  const SieveJob& job = ctx.Job();
  NormalSieveState& s = loop.State();
  s.m_N = job.m_nExponent;
  const UInt128 kReached = pReached > 0 ? (pReached - 1) / (2 * static_cast<uint64_t>(s.m_N)) : 0;
  s.m_kCur = static_cast<int64_t>(std::min(kReached, static_cast<UInt128>(kKLimit)));
  // The depth already reached stands until the loop sieves a further p.
  s.m_pCur = pReached;
  if (!packed) {
    loop.Run(nullptr);
    return;
  }
  // Without an exponent of its own the sequence is the one of the files'.
  const int32_t sequenceExponent = packedExponent != 0 ? packedExponent : job.m_nExponent;
  const int sequenceLn = ExponentLog2(sequenceExponent);
  // The reached k is sieved once more when it is stored; when it is not, the
  // first stored value above it comes next.
  CPackedKDB db;
  uint64_t first = 0;
  if (!OpenPacked(ctx, db, sequenceLn, s.m_kCur, first)) {
    if (s.m_kCur > 0) ctx.Fail("Unable to locate current K value for restart.");
    return;
  }
  s.m_kCur = static_cast<int64_t>(first);
  if (sequenceExponent != job.m_nExponent) {
    ctx.Fail(StrFormat("Packed file exponent %d does not match save file exponent %d.",
                       sequenceExponent, job.m_nExponent));
    return;
  }
  RunOnSequence(ctx, loop, db, sequenceLn);
}

}  // namespace

void RunNormalSieveJob(JobContext& ctx, bool resume) {
  NormalSieveLoop loop(ctx);
  const bool packed = !ctx.Job().m_strPackedKDir.empty();
  resume ? ResumeSieve(ctx, loop, packed) : NewSieve(ctx, loop, packed);
}

}  // namespace zentrova
