// The benchmark job: the normal loop on a fixed workload (N = 65536, the 500
// even bases from 1200000 to 1200998 plus 16 more copies of 1200000), timed
// with a steady nanosecond clock, then every factor found verified again.
// No text file is read or written; with a packed K folder the k values come
// from its sequence, as in a real run.
#include <chrono>
#include <cinttypes>
#include <memory>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"
#include "sieve/Jobs.h"
#include "sieve/PackedKSource.h"
#include "sieve/SieveLoop.h"

namespace zentrova {

void RunBenchJob(JobContext& ctx) {
  SieveJob& job = ctx.Job();
  job.m_nExponent = 65536;
  job.m_nLn = 16;
  job.m_nBMin = 1200000;
  job.m_nBMax = 1200998;
  NormalSieveLoop loop(ctx);
  NormalSieveState& s = loop.State();
  s.m_cand.reserve(519);
  for (int32_t b = 1200000; b <= 1200998; b += 2) s.m_cand.push_back(b);
  for (int i = 0; i < 16; ++i) s.m_cand.push_back(1200000);
  s.m_N = job.m_nExponent;

  // A later start (--p-min), to time the arithmetic of larger p.
  if (job.m_pMin > 1) s.m_kCur = KBeforePMin(job.m_pMin, 2 * static_cast<uint64_t>(s.m_N));

  CPackedKDB db;
  std::unique_ptr<PackedKSource> source;
  if (!job.m_strPackedKDir.empty()) {
    uint64_t first = 0;
    if (!OpenPackedK(ctx, db, job.m_nLn, 0, first)) return;
    s.m_kCur = static_cast<int64_t>(first);
    source = PackedKReader(ctx, db, job.m_nLn, PackedKLoop::kNormal);
  }

  using Clock = std::chrono::steady_clock;
  constexpr int64_t kTicksPerSecond = 1000000000;  // steady_clock in nanoseconds
  const auto start = Clock::now();
  loop.Run(source.get());
  const auto stop = Clock::now();
  const int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
  if (ticks < 0) {
    ctx.Fail("Performance counter overflow.");
    return;
  }
  ctx.Post(StrFormat("Loop time was %" PRId64 " ticks at %" PRId64 " ticks per second.", ticks,
                     kTicksPerSecond));
  const int64_t sieved = ctx.Progress().pCount;
  ctx.SetBenchFigures(ticks, kTicksPerSecond, sieved);
  const double seconds = static_cast<double>(ticks) / kTicksPerSecond;
  ctx.Post(StrFormat("%" PRId64 " p sieved up to %s in %.3f s: %.0f p per second.", sieved,
                     PToString(s.m_pCur).c_str(), seconds, seconds > 0 ? static_cast<double>(sieved) / seconds : 0.0));
  ctx.Post("Verifying factors list.");
  for (const FactorRecord& r : s.m_factors) {
    if (!VerifyFactor(job.m_nLn, static_cast<uint32_t>(r.b), r.p)) {
      ctx.Fail(StrFormat("%d failed verify in factors list.", r.b));
      break;
    }
  }
  ctx.Post("Done.");
}

}  // namespace zentrova
