// The expected survivors of the status line against the counts of real
// sieves: for several exponents, range widths and depths (within the exact
// product and beyond its bound), the candidate file a wide sieve saved holds
// as many bases as the estimate says, within the spread of chance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "front/JobRunner.h"
#include "front/SurvivorEstimate.h"

namespace zentrova {
namespace {

TEST(SurvivorEstimate, MatchesTheCountsOfRealSieves) {
  struct Case {
    int32_t exponent;
    int32_t bMax;  // even bases from 2
    uint64_t pMax;
  };
  const Case cases[] = {
      {16, 200000, 10000000},         // depth below B = 2^25: the exact product alone
      {64, 200000, 1000000000},       // beyond B = 2^27: the ln B / ln P tail
      {256, 2000000, 1000000000},     // 10^6 bases, beyond B = 2^29
      {1024, 200000, 10000000000},    // beyond B = 2^31
      {4096, 2000000, 10000000000},   // just beyond B = 2^33
      {65536, 2000000, 100000000000},    // below B = 2^37
      {1048576, 2000000, 100000000000},  // below B = 2^41
  };
  for (const Case& c : cases) {
    test::ScratchDir dir;
    SieveJob job;
    job.m_nCommand = kCmdNewSieve;
    job.m_nExponent = c.exponent;
    job.m_nLn = static_cast<int32_t>(std::log2(c.exponent));
    job.m_nBMin = 2;
    job.m_nBMax = c.bMax;
    job.m_pMax = c.pMax;
    job.m_threads = 2;
    job.m_strFactorOut = dir / "f.txt";
    job.m_strSieveOut = dir / "c.txt";
    RecordingSink sink;
    ASSERT_EQ(JobRunner(job, sink, 1).RunHere().end, JobEnd::kDone);
    CandidateRange saved;
    ASSERT_TRUE(LoadCandidateRange(job.m_strSieveOut, saved, [](const std::string&) {}));
    const int64_t bases = c.bMax / 2;
    const SurvivorEstimate estimate(c.exponent);
    const double share = estimate.Fraction(static_cast<uint64_t>(saved.depth));
    const double expected = static_cast<double>(bases) * share;
    // Each base survives with the share's chance, independently over the q
    // (the Chinese remainder theorem), so the count spreads by at most about
    // the binomial standard deviation (a q below the range's width strikes
    // an almost fixed number of bases, which only narrows it). Four of them,
    // plus 0.5% for the model (the tail treats the primes beyond B as
    // smooth; these runs came within 0.6%), bound the difference.
    const double spread = std::sqrt(expected * (1 - share));
    const double tolerance = 4 * spread + 0.005 * expected;
    std::printf("N %d, %lld bases, depth %lld: %lld left, %.0f expected (%+.2f%%, tolerance %.2f%%)\n",
                c.exponent, static_cast<long long>(bases), static_cast<long long>(saved.depth),
                static_cast<long long>(saved.count), expected,
                100.0 * (static_cast<double>(saved.count) - expected) / expected,
                100.0 * tolerance / expected);
    EXPECT_NEAR(static_cast<double>(saved.count), expected, tolerance)
        << "N " << c.exponent << ", depth " << static_cast<uint64_t>(saved.depth);
  }
}

}  // namespace
}  // namespace zentrova
