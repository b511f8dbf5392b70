// The rebuild job (BuildFromFactors) on any factor file, of either line
// format or both, in normal and in wide mode. The range is the one the file's
// "GFN Factors" header names when that is small and valid, else the range of
// the seeds. A job fails with a line saying why and writes nothing, or writes
// a candidate file of the range's bases with the count it reports; normal
// mode also writes a factor file of verified proper factors that, with the
// candidates, holds every base of the range exactly once. Both modes read the
// same lines, so they fail alike or write the same candidate file.
#include <cinttypes>

#include "FuzzUtil.h"
#include "files/StrFormat.h"
#include "math/ModArith.h"

using namespace zentrova;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = fuzz::InputFile(data, size, "factors-in.txt");
  const std::string text(reinterpret_cast<const char*>(data), size);
  int32_t bMin = 1200000, bMax = 1200200, n = 65536;
  FactorHeader h;
  if (ParseFactorHeader(text.substr(0, text.find('\n')), h) && h.hasExponent && h.bMin > 0 &&
      h.bMax > h.bMin && h.bMax - h.bMin <= 4096 && ExponentLog2(h.exponent) != 0) {
    bMin = h.bMin;
    bMax = h.bMax;
    n = h.exponent;
  }
  const int32_t ln = ExponentLog2(n);
  const fuzz::Scratch& dir = fuzz::Scratch::Get();
  SieveJob job;
  job.m_nCommand = kCmdBuildFromFactors;
  job.m_strFactorIn = in;
  job.m_strFactorOut = dir / "factors-out.txt";
  job.m_strSieveOut = dir / "normal.txt";
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_nExponent = n;
  job.m_nLn = ln;
  const fuzz::JobResult normal = fuzz::RunJob(job, 0);
  job.m_strFactorOut.clear();
  job.m_strSieveOut = dir / "wide.txt";
  const fuzz::JobResult wide = fuzz::RunJob(job, 1);

  FUZZ_CHECK(normal.failed == wide.failed);
  if (normal.failed) {
    FUZZ_CHECK(normal.outcome.failure == wide.outcome.failure);
    FUZZ_CHECK(!fuzz::fs::exists(dir / "normal.txt") && !fuzz::fs::exists(dir / "wide.txt") &&
               !fuzz::fs::exists(dir / "factors-out.txt"));
    return 0;
  }
  FUZZ_CHECK(fuzz::ReadFile(dir / "normal.txt") == fuzz::ReadFile(dir / "wide.txt"));
  UInt128 depth = 0;
  const std::vector<int32_t> cands =
      fuzz::CheckCandidateOutput(dir / "normal.txt", bMin, bMax, n, depth);
  FUZZ_CHECK(fuzz::Contains(
      normal.log, StrFormat("%d items %s p value written to %s.", static_cast<int>(cands.size()),
                            PToString(depth).c_str(), (dir / "normal.txt").c_str())));
  for (const std::string& line : normal.log) {
    FUZZ_CHECK(line.find("Consistency error") == std::string::npos);
  }
  FactorFileContents factors;
  FUZZ_CHECK(ReadFactorFile(dir / "factors-out.txt", factors));
  FUZZ_CHECK(fuzz::Contains(
      normal.log, StrFormat("%d Factors written to %s", static_cast<int>(factors.records.size()),
                            (dir / "factors-out.txt").c_str())));
  FUZZ_CHECK(factors.header.bMin == bMin && factors.header.bMax == bMax &&
             factors.header.exponent == n && factors.header.depth == depth);
  for (const FactorRecord& r : factors.records) {
    const auto b = static_cast<uint64_t>(r.b);
    FUZZ_CHECK(VerifyFactor(ln, b, r.p) && IsProperFactor(ln, b, r.p));
  }
  const SieveRange range{bMin, bMax, n, ln, 0};
  FUZZ_CHECK(CheckFactorsAndCandidates(cands, factors.records, range, [](const std::string&) {}));
  return 0;
}
