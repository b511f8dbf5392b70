// The benchmark job: the normal loop on a fixed workload (N = 65536, the 500
// even bases from 1200000 to 1200998 plus 16 more copies of 1200000), timed
// with a steady nanosecond clock, then every factor found verified again.
// No text file is read or written; with a packed K folder the k values come
// from its sequence, as in a real run.
#include <cinttypes>

#include <chrono>
#include <memory>

#include "files/Format.h"
#include "math/ModArith.h"
#include "files/PackedKSequence.h"
#include "sieve/GfnThread.h"
#include "sieve/PackedKSource.h"

namespace zentrova {

void CGfnThread::BenchSpeeds() {
  m_job.m_nExponent = 65536;
  m_job.m_nLn = 16;
  m_job.m_nBMin = 1200000;
  m_job.m_nBMax = 1200998;
  m_normal = NormalSieveState{};
  m_normal.m_cand.reserve(519);
  for (int32_t b = 1200000; b <= 1200998; b += 2) m_normal.m_cand.push_back(b);
  for (int i = 0; i < 16; ++i) m_normal.m_cand.push_back(1200000);
  m_normal.m_N = m_job.m_nExponent;
  m_normal.m_kCur = 0;
  m_normal.m_pCur = 0;

  CPackedKDB db;
  std::unique_ptr<PackedKSource> source;
  if (!m_job.m_strPackedKDir.empty()) {
    uint64_t first = 0;
    auto fail = [this](const std::string& line) { Fail(line); };
    if (!StartPackedK(db, m_job.m_strPackedKDir, m_job.m_nLn, first, fail)) return;
    m_normal.m_kCur = static_cast<int64_t>(first);
    Post(StrFormat("Using packed k file %s.", db.GetFileName().c_str()));
    source = std::make_unique<PackedKSource>(db, m_job.m_strPackedKDir, m_job.m_nLn,
                                             PackedKLoop::kNormal,
                                             [this](const std::string& line) { Post(line); }, fail);
  }

  using Clock = std::chrono::steady_clock;
  constexpr int64_t kTicksPerSecond = 1000000000;  // steady_clock in nanoseconds
  const auto start = Clock::now();
  RunNormalSieve(source.get());
  const auto stop = Clock::now();
  const int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
  if (ticks < 0) {
    Fail("Performance counter overflow.");
    return;
  }
  Post(StrFormat("Loop time was %" PRId64 " ticks at %" PRId64 " ticks per second.", ticks,
                 kTicksPerSecond));
  m_outcome.benchTicks = ticks;
  m_outcome.benchTicksPerSecond = kTicksPerSecond;
  m_outcome.benchPSieved = PCount();
  const double seconds = static_cast<double>(ticks) / kTicksPerSecond;
  const int64_t sieved = PCount();
  Post(StrFormat("%" PRId64 " p sieved up to %" PRIu64 " in %.3f s: %.0f p per second.", sieved,
                 m_normal.m_pCur, seconds, seconds > 0 ? static_cast<double>(sieved) / seconds : 0.0));
  Post("Verifying factors list.");
  for (const FactorRecord& r : m_normal.m_factors) {
    if (!VerifyFactor(m_job.m_nLn, static_cast<uint32_t>(r.b), r.p)) {
      Fail(StrFormat("%d failed verify in factors list.", r.b));
      break;
    }
  }
  Post("Done.");
}

}  // namespace zentrova
