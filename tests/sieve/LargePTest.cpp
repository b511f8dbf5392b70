// Whole runs beyond the one-word arithmetic: both modes across 2^61, 2^62 and
// 2^64 strike exactly the bases GMP finds, with the first p that divides
// them, and a run stopped at the seam and resumed ends with the files of an
// uninterrupted one. Known prime factors of Fermat numbers plant true hits:
// F_m = (2^(2^i))^(2^(m-i)) + 1, so base 2^(2^i) has the factor for
// N = 2^(m-i), and so has 2^(2^i * odd) below 2^31.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TestGmp.h"
#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
#include "sieve/GfnThread.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;

struct Window {
  const char* what;
  int ln;
  UInt128 center;  // p near which the window lies
  int64_t halfK;   // k on either side of the center's
  int32_t bMax;    // even bases 2 .. bMax
};

UInt128 Digits(const char* text) {
  return ReadP(text, 0);
}

// Base -> the first p of the window that divides b^N + 1, by GMP over every
// p = k*2N + 1 of the window with no prime factor from 3 to 61 and
// 2^(p-1) == 1 (mod p): the candidates as the sieve takes them.
std::map<int32_t, UInt128> GmpFirstFactors(const Window& w, UInt128 pMin, UInt128 pMax) {
  std::map<int32_t, UInt128> out;
  const uint64_t twoN = uint64_t{2} << w.ln;
  for (UInt128 p = pMin; p <= pMax; p += twoN) {
    bool small = false;
    for (uint32_t q = 3; q <= 61 && !small; q += 2) small = p % q == 0;
    if (small || test::GmpPowMod(2, p - 1, p) != 1) continue;
    for (int32_t b = 2; b <= w.bMax; b += 2) {
      if (out.count(b) == 0 && test::GmpIsRoot(static_cast<UInt128>(b), w.ln, p)) out[b] = p;
    }
  }
  return out;
}

SieveJob Job(const Window& w, const ScratchDir& dir, const std::string& tag, UInt128 pMin,
             UInt128 pMax) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = 2;
  job.m_nBMax = w.bMax;
  job.m_nExponent = 1 << w.ln;
  job.m_nLn = w.ln;
  job.m_strFactorOut = dir / (tag + "-f.txt");
  job.m_strSieveOut = dir / (tag + "-c.txt");
  job.m_pMin = pMin;
  job.m_pMax = pMax;
  job.m_threads = 2;
  return job;
}

// The factors a run wrote, by base.
std::map<int32_t, UInt128> Written(const std::string& path, bool wide) {
  std::map<int32_t, UInt128> out;
  if (!wide) {
    FactorFileContents contents;
    EXPECT_TRUE(ReadFactorFile(path, contents));
    for (const FactorRecord& r : contents.records) out[r.b] = r.p;
    return out;
  }
  const std::string text = ReadFile(path);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    int64_t b = 0;
    int32_t n = 0;
    UInt128 p = 0;
    if (ParseWideFactorLine(text.substr(at, end - at + 1), b, n, p)) {
      EXPECT_EQ(out.count(static_cast<int32_t>(b)), 0u) << "struck twice: " << b;
      out[static_cast<int32_t>(b)] = p;
    }
    at = end + 1;
  }
  return out;
}

TEST(LargeP, BothModesStrikeWhatGmpFindsAndResumeAcrossTheSeam) {
  const Window windows[] = {
      // a factor of F_13 just above 2^61: roots 2^4, 2^12, 2^20, 2^28 for N = 2^11
      {"F13 above 2^61", 11, Digits("2663848877152141313"), 3000, 5000},
      // a factor of F_13 between 2^61 and 2^62
      {"F13 below 2^62", 10, Digits("3603109844542291969"), 3000, 5000},
      // a factor of F_11 above 2^67: roots for N = 2^9
      {"F11 above 2^64", 9, Digits("167988556341760475137"), 3000, 5000},
      // across 2^64 itself, N = 2^20
      {"2^64", 20, UInt128{1} << 64, 1500, 400},
  };
  for (const Window& w : windows) {
    SCOPED_TRACE(w.what);
    const uint64_t twoN = uint64_t{2} << w.ln;
    const UInt128 kCenter = (w.center - 1) / twoN;
    const UInt128 pMin = (kCenter - w.halfK) * twoN + 1;
    const UInt128 pMid = w.center;
    const UInt128 pMax = (kCenter + w.halfK) * twoN + 1;
    const std::map<int32_t, UInt128> want = GmpFirstFactors(w, pMin, pMax);
    if (w.center != (UInt128{1} << 64)) {
      bool planted = false;
      for (const auto& [b, p] : want) planted |= p == w.center;
      EXPECT_TRUE(planted) << "the known factor strikes its bases";
    }
    for (const bool wide : {false, true}) {
      SCOPED_TRACE(wide ? "wide" : "normal");
      const int32_t wideMath = wide ? 1 : 0;
      ScratchDir dir;
      // Uninterrupted.
      const test::JobRun whole = test::RunJob(Job(w, dir, "whole", pMin, pMax),
                                              [](CGfnThread&) {}, wideMath);
      ASSERT_FALSE(whole.failed) << whole.log.back();
      EXPECT_EQ(Written(dir / "whole-f.txt", wide), want);
      CandidateListContents cands;
      ASSERT_TRUE(ReadCandidateList(dir / "whole-c.txt", cands));
      EXPECT_EQ(cands.bases.size(), static_cast<size_t>(w.bMax / 2) - want.size());
      // Stopped at the center, then resumed to the same end.
      const test::JobRun first =
          test::RunJob(Job(w, dir, "first", pMin, pMid), [](CGfnThread&) {}, wideMath);
      ASSERT_FALSE(first.failed) << first.log.back();
      SieveJob resume = Job(w, dir, "second", 0, pMax);
      resume.m_nCommand = kCmdResumeSieve;
      resume.m_strFactorIn = dir / "first-f.txt";
      resume.m_strSieveIn = dir / "first-c.txt";
      const test::JobRun second = test::RunJob(resume, [](CGfnThread&) {}, wideMath);
      ASSERT_FALSE(second.failed) << second.log.back();
      EXPECT_EQ(ReadFile(dir / "second-c.txt"), ReadFile(dir / "whole-c.txt"));
      EXPECT_EQ(Written(dir / "second-f.txt", wide), want);
    }
  }
}

}  // namespace
}  // namespace zentrova
