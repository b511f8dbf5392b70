// Running jobs in tests, and the independent arithmetic that checks them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "TestMath.h"
#include "TestUtil.h"
#include "math/ExponentLog2.h"
#include "sieve/GfnThread.h"

namespace zentrova::test {

struct JobRun {
  std::vector<std::string> messages;
  std::vector<std::string> log;  // log lines only
  bool failed = false;
};

// Runs the job on the calling thread; `before` may poke the thread first
// (a stop request, a tick).
template <typename Before>
JobRun RunJob(const SieveJob& job, Before before, int32_t wideMath = 0) {
  RecordingSink sink;
  CGfnThread thread(job, sink, wideMath);
  before(thread);
  thread.Run();
  return JobRun{sink.Messages(), sink.LogLines(), thread.Failed()};
}

inline JobRun RunJob(const SieveJob& job) {
  return RunJob(job, [](CGfnThread&) {});
}

// A new sieve of b^n + 1 for b from bMin to bMax and p from pMin to pMax on
// two threads, writing f-<tag>.txt and c-<tag>.txt in dir.
inline SieveJob NewSieveJob(const ScratchDir& dir, const std::string& tag, int32_t n, int32_t bMin,
                            int32_t bMax, UInt128 pMax, UInt128 pMin = 0) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = n;
  job.m_nLn = ExponentLog2(n);
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_pMin = pMin;
  job.m_pMax = pMax;
  job.m_threads = 2;
  job.m_strFactorOut = dir / ("f-" + tag + ".txt");
  job.m_strSieveOut = dir / ("c-" + tag + ".txt");
  return job;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A factor candidate by an independent rule: no prime factor from 3 to 61
// (unless p is that prime) and 2^(p-1) == 1 (mod p).
inline bool IsFactorCandidate(uint64_t p) {
  static const int kSmall[] = {3,  5,  7,  11, 13, 17, 19, 23, 29, 31,
                               37, 41, 43, 47, 53, 59, 61};
  for (int q : kSmall) {
    if (p == static_cast<uint64_t>(q)) return true;
    if (p % q == 0) return false;
  }
  return PowMod128(2, p - 1, p) == 1;
}

// Whether p is b^n + 1 itself (a prime b^n + 1 is no factor of itself).
inline bool IsBToTheNPlusOne(uint64_t b, uint64_t n, uint64_t p) {
  unsigned __int128 power = 1;
  for (uint64_t i = 0; i < n; ++i) {
    power *= b;
    if (power >= p) return false;
  }
  return power + 1 == p;
}

// For each base, the smallest candidate p <= pMax (p = k*2N + 1, k >= 1, and
// p >= pMin) with b^N == -1 (mod p) and p != b^N + 1, or 0. Also the largest
// candidate <= pMax.
struct BruteForce {
  std::vector<uint64_t> factorOf;
  uint64_t lastCandidate = 0;
};

inline BruteForce SmallestFactors(const std::vector<int32_t>& bases, uint64_t n, uint64_t pMax,
                                  uint64_t pMin = 0) {
  BruteForce out;
  out.factorOf.assign(bases.size(), 0);
  for (uint64_t k = 1;; ++k) {
    const uint64_t p = k * 2 * n + 1;
    if (p > pMax) break;
    if (p < pMin || !IsFactorCandidate(p)) continue;
    out.lastCandidate = p;
    for (size_t i = 0; i < bases.size(); ++i) {
      const auto b = static_cast<uint64_t>(bases[i]);
      if (out.factorOf[i] == 0 && PowMod128(b, n, p) == p - 1 && !IsBToTheNPlusOne(b, n, p)) {
        out.factorOf[i] = p;
      }
    }
  }
  return out;
}

// The file's text with the time of writing cut from the factor header.
inline std::string WithoutTimeStamp(const std::string& text) {
  const size_t colon = text.find(" : ");
  const size_t eol = text.find('\n');
  if (colon == std::string::npos || eol == std::string::npos || colon > eol) return text;
  return text.substr(0, colon) + text.substr(eol);
}

// What a run wrote: the factor file without the time of writing (a normal
// file's header holds it), the candidate file, and the run's log.
struct JobFiles {
  std::string factors, candidates;
  std::vector<std::string> log;
  bool failed = false;
};

inline JobFiles RunJobFiles(const SieveJob& job, bool wide) {
  const JobRun run = RunJob(
      job, [](CGfnThread&) {}, wide ? 1 : 0);
  return {WithoutTimeStamp(ReadFile(job.m_strFactorOut)), ReadFile(job.m_strSieveOut), run.log,
          run.failed};
}

}  // namespace zentrova::test
