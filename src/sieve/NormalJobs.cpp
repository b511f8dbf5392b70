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

void NewSieve(JobContext& ctx, NormalSieveLoop& loop) {
  const SieveJob& job = ctx.Job();
  // The range steps by two from b Min: all odd, or all even. Allowed (a
  // factor found is still a factor), but worth a word.
  if (job.m_nBMin % 2 != 0) {
    ctx.Post(StrFormat("Warning: b Min %d is odd, so every base of the range is odd, and b^N+1 is "
                       "even for odd b: none of these numbers can be prime.",
                       job.m_nBMin));
  }
  FillRange(ctx, loop);
  RunNewSieve(ctx, loop, PackedKLoop::kNormal);
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
  if (!OpenPackedK(ctx, db, sequenceLn, s.m_kCur, first)) {
    if (s.m_kCur > 0) ctx.Fail("Unable to locate current K value for restart.");
    return;
  }
  s.m_kCur = static_cast<int64_t>(first);
  if (sequenceExponent != job.m_nExponent) {
    ctx.Fail(StrFormat("Packed file exponent %d does not match save file exponent %d.",
                       sequenceExponent, job.m_nExponent));
    return;
  }
  loop.Run(PackedKReader(ctx, db, sequenceLn, PackedKLoop::kNormal).get());
}

}  // namespace

void RunNormalSieveJob(JobContext& ctx, bool resume) {
  NormalSieveLoop loop(ctx);
  resume ? ResumeSieve(ctx, loop, !ctx.Job().m_strPackedKDir.empty()) : NewSieve(ctx, loop);
}

}  // namespace zentrova
