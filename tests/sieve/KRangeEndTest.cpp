// The end of the k range: a run started some 10^5 k below 2^63 - 256 must
// sieve every candidate below it and stop there, for every N, both modes and
// any thread count. The batches near the end are the largest of the run
// (the feed has learnt how sparse the candidates are), so a span of k cut
// from them reaches past the last k; that must neither wrap around nor be
// sieved. The last candidate is found independently, with GMP.
#include <gtest/gtest.h>

#include <string>

#include "TestGmp.h"
#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
#include "math/ModArith.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::Contains;
using test::ReadFile;
using test::ScratchDir;

// The largest p = k*2N + 1 with k < kKLimit that has no prime factor from 3
// to 61 and passes the base-2 Fermat test.
UInt128 LastCandidateBelowKLimit(uint64_t n) {
  static const int kSmall[] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};
  for (int64_t k = kKLimit - 1;; --k) {
    const UInt128 p = static_cast<UInt128>(k) * (2 * n) + 1;
    bool small = false;
    for (int q : kSmall) small = small || p % static_cast<unsigned>(q) == 0;
    if (!small && test::GmpPowMod(2, p - 1, p) == 1) return p;
  }
}

struct EndCase {
  int ln;
  int32_t bMin, bMax;
  bool wide;
  int threads;
};

TEST(KRangeEnd, EveryNStopsAtTheLastCandidateBelowTheLimit) {
  const EndCase cases[] = {
      {2, 2, 40, false, 1},       {2, 2, 40, false, 2},     {2, 77901, 77999, false, 2},
      {3, 2, 40, false, 1},       {3, 2, 40, false, 3},     {4, 2, 40, false, 2},
      {10, 2, 40, false, 2},      {20, 1000, 1010, false, 2}, {4, 2, 400, true, 1},
      {4, 2, 400, true, 2},       {10, 2, 4000, true, 3},
  };
  for (const EndCase& c : cases) {
    const uint64_t n = uint64_t{1} << c.ln;
    SCOPED_TRACE("N = 2^" + std::to_string(c.ln) + (c.wide ? " wide" : " normal") + ", " +
                 std::to_string(c.threads) + " threads, b from " + std::to_string(c.bMin));
    ScratchDir dir;
    SieveJob job;
    job.m_nCommand = kCmdNewSieve;
    job.m_nBMin = c.bMin;
    job.m_nBMax = c.bMax;
    job.m_nExponent = static_cast<int32_t>(n);
    job.m_nLn = c.ln;
    job.m_strFactorOut = dir / "f.txt";
    job.m_strSieveOut = dir / "c.txt";
    job.m_threads = c.threads;
    job.m_pMin = static_cast<UInt128>(kKLimit - 100000) * (2 * n) + 1;
    RecordingSink sink;
    CGfnThread thread(job, sink, c.wide ? 1 : 0);
    thread.Run();
    const std::vector<std::string> log = sink.LogLines();
    ASSERT_FALSE(thread.Failed()) << (log.empty() ? "" : log.back());
    const UInt128 top = static_cast<UInt128>(kKLimit) * (2 * n) + 1;
    EXPECT_TRUE(Contains(log, "Stopping before p = " + PToString(top) +
                                  ": k must stay below 2^63 - 256."));
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "c.txt"), depth));
    EXPECT_EQ(PToString(depth), PToString(LastCandidateBelowKLimit(n)));
  }
}

}  // namespace
}  // namespace zentrova
