// The rebuild job: the candidate file (and, in normal mode, a sorted factor
// file) rebuilt from a factor file of either format, verifying every factor
// it uses. Bases read from the file are checked against the range before they
// index anything, and numbers too large for 32 bits name no base of the
// range. Every output replaces its target only when complete.
#include <string>
#include <vector>

#include "files/CandidateFile.h"
#include "files/FactorFile.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "files/WideFactorFile.h"
#include "math/ModArith.h"
#include "sieve/BitOps.h"
#include "sieve/Jobs.h"
#include "sieve/JobMessage.h"

namespace zentrova {

namespace {

// Every base of the range of b Min's parity. Bases below 0 have no bit; the
// walk starts at the first base of b Min's parity that has one.
std::vector<uint32_t> RangeBitmap(int32_t bMin, int32_t bMax, int64_t& left) {
  std::vector<uint32_t> bitmap(BitmapWords(bMax), 0);
  for (int64_t b = bMin >= 0 ? bMin : (bMin & 1); b <= bMax; b += 2) {
    if (!SetBitTest(static_cast<int32_t>(b), bitmap.data())) ++left;
  }
  return bitmap;
}

}  // namespace

void RunRebuildJob(JobContext& ctx) {
  const SieveJob& job = ctx.Job();
  const bool wide = ctx.Wide();
  const int32_t bMin = job.m_nBMin;
  const int32_t bMax = job.m_nBMax;
  const int32_t n = job.m_nExponent;
  const int32_t ln = job.m_nLn;

  int64_t left = 0;
  std::vector<uint32_t> bitmap = RangeBitmap(bMin, bMax, left);
  std::vector<FactorRecord> factors;

  const std::string& factorIn = job.m_strFactorIn;
  ctx.Post(StrFormat("Generating output files using factor input file %s.", factorIn.c_str()));
  CTextFile file(factorIn);
  if (!file.OpenRead()) {
    ctx.Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
    return;
  }
  ctx.Post(StrFormat("Processing input factor file %s.", factorIn.c_str()));

  UInt128 p = 0;
  bool failed = false;
  bool headed = false;  // a header of either format was read
  int lineNo = 0;
  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const AnyFactorLine parsed = ParseAnyFactorLine(line);
    if (parsed.kind == AnyFactorLine::kBad) {
      if (!IsWholeLine(line)) {
        ctx.Post(StrFormat("The last line of %s is cut short and was skipped.", factorIn.c_str()));
        break;
      }
      ctx.Fail(StrFormat("%s line %d: not a line of a factor file (\"<b>^<N>+1 has factor <p>\", "
                         "\"1*<b>^<N> + 1 factor : <p>\" or a header).  Nothing was written.",
                         factorIn.c_str(), lineNo));
      failed = true;
      break;
    }
    // A header or a line of another exponent: its factors divide other
    // numbers, and a header says the whole file is of another sieve.
    if (parsed.kind == AnyFactorLine::kHeader) headed = true;
    const int32_t e = parsed.exponent;
    if (parsed.kind != AnyFactorLine::kOther && e >= 0 && e != n) {
      ctx.Fail(StrFormat("%s line %d: exponent %d does not match programmed exponent %d.",
                         factorIn.c_str(), lineNo, e, n));
      failed = true;
      break;
    }
    if (parsed.kind != AnyFactorLine::kFactor) continue;
    // The depth is the p of the last factor line read, of the range or not.
    const UInt128 pBefore = p;
    p = parsed.p;
    const int64_t b = parsed.b;
    if (b < bMin || b > bMax || b < 0) continue;

    const auto base = static_cast<int32_t>(b);
    if (!VerifyFactor(ln, static_cast<uint64_t>(base), p)) {
      if (!IsWholeLine(line)) {
        // The last line, cut short by a crash or a full disk: the base
        // stays a candidate, which costs a test but loses nothing.
        ctx.Post(StrFormat("The last line of %s is cut short and was skipped.", factorIn.c_str()));
        p = pBefore;
        break;
      }
      ctx.Fail(PBeyondLimit(p) ? StrFormat("Factor file %s.", PBeyondText(p).c_str())
                               : StrFormat("Factor file %s does not divide %d*2^%d+1.",
                                           PToString(p).c_str(), base, ln));
      failed = true;
      break;
    }
    if (!IsProperFactor(ln, static_cast<uint64_t>(base), p)) {
      ctx.Post(StrFormat("%s is %d^%d+1 itself, not a proper factor; the base stays a "
                         "candidate.",
                         PToString(p).c_str(), base, n));
      continue;
    }
    if (ClearBitTest(base, bitmap.data())) {
      --left;
      if (!wide) factors.push_back(FactorRecord{base, p});
    }
    if (ctx.StopRequested()) break;
    if (ctx.TakeTick()) {
      ctx.Post(FormatStatusLine(static_cast<int32_t>(left), p));
    }
  }
  if (!failed && !headed && !ctx.StopRequested()) {
    // An empty file, or one that is no factor file: there is nothing to
    // rebuild from, and every base written as a candidate at depth 0 would
    // claim a sieve that never ran.
    ctx.Fail(StrFormat("%s has no factor file header (\"GFN Factors b^n+1, ...\" or \"Zentrova "
                       "for k^N+1 ...\"): nothing to rebuild from.  Nothing was written.",
                       factorIn.c_str()));
    failed = true;
  }
  file.Close();
  ctx.Post("Stop request received.");
  if (failed) return;

  const SieveRange range{bMin, bMax, n, ln, p};
  if (!wide && !WriteFactorFile(factors, range, job.m_strFactorOut, ctx.PostFn())) {
    ctx.MarkFailed("The factor file could not be written.");
  }
  if (!WriteCandidateBitmap(bitmap, left, range, job.m_strSieveOut, ctx.PostFn())) {
    ctx.MarkFailed("The candidate file could not be written.");
  }
}

}  // namespace zentrova
