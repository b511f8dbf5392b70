// The to-be-factored job: every base of a range that an input file (a
// candidate file or a tester's log) does not mention, written as a candidate
// file. A base leaves the set at its first mention; a later mention, or one
// of a base outside the range or of the other parity, changes nothing.
//
// A line mentions a base in one of two shapes: "<b> <N>" (a candidate line;
// a bare "<b>" is taken as a base of the job's exponent, as a resume reads a
// candidate line without one), or a tester's "<b>^<N>+1 ... composite" (b the
// digits right before the first '^'; lines that do not say composite, such
// as probable primes, leave b in the list). A line that names another N than
// the job's is refused with its file and line, whatever it says: the file
// belongs to another sieve, and its bases say nothing of this one.
#include <cstdint>
#include <string>
#include <vector>

#include "files/CandidateFiles.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "sieve/Jobs.h"
#include "sieve/TesterLog.h"

namespace zentrova {

void RunToBeFactoredJob(JobContext& ctx) {
  const SieveJob& job = ctx.Job();
  const int32_t bMin = job.m_nBMin;
  const int32_t bMax = job.m_nBMax;

  // Bit i stands for b = bMin + 2i. A base leaves the set at its first mention;
  // a later mention, or one of a base outside the set, changes nothing.
  const int64_t slots =
      bMax >= bMin ? (static_cast<int64_t>(bMax) - static_cast<int64_t>(bMin)) / 2 + 1 : 0;
  std::vector<uint64_t> inList(static_cast<size_t>((slots + 63) / 64), ~uint64_t{0});
  int64_t left = slots;

  const std::string& sieveIn = job.m_strSieveIn;
  ctx.Post(StrFormat("Generating all candidates between %d and %d not in file %s.", bMin, bMax,
                     sieveIn.c_str()));
  CTextFile file(sieveIn);
  if (!file.OpenRead()) {
    ctx.Fail(StrFormat("Unable to open input sieve file %s.", sieveIn.c_str()));
    return;
  }
  ctx.Post(StrFormat("Loading input sieve file %s.", sieveIn.c_str()));

  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    UInt128 depth = 0;
    if (ParseCandidateHeader(line, depth)) continue;  // the output's depth is 1 regardless
    int64_t b = 0;
    int64_t exponent = 0;  // 0: the line names none
    bool removes = true;
    const size_t caret = line.find('^');
    if (caret != std::string::npos) {
      // "<b>^<N>": digits on both sides of the caret, or no base at all.
      size_t end = caret + 1;
      while (end < line.size() && IsDigit(line[end])) ++end;
      b = DigitsValue(line, DigitsBefore(line, caret), caret);
      exponent = DigitsValue(line, caret + 1, end);
      if (b == 0 || exponent == 0) continue;
      removes = line.find(kComposite) != std::string::npos;
    } else {
      const CandidateLine parsed = ParseCandidateLine(line);
      if (parsed.kind != CandidateLine::kBase) continue;
      b = parsed.b;
      exponent = parsed.exponent;
    }
    if (exponent != 0 && exponent != job.m_nExponent) {
      ctx.Fail(StrFormat("%s line %d: exponent %lld does not match the exponent %d of the list.  "
                         "Nothing was written.",
                         sieveIn.c_str(), lineNo, static_cast<long long>(exponent),
                         job.m_nExponent));
      return;
    }
    if (!removes || b == 0 || left == 0) continue;
    if (b < bMin || b > bMax || ((b - bMin) & 1) != 0) continue;
    const auto slot = static_cast<size_t>((b - bMin) / 2);
    const uint64_t mask = uint64_t{1} << (slot & 63);
    if ((inList[slot >> 6] & mask) != 0) {
      inList[slot >> 6] &= ~mask;
      --left;
    }
  }
  file.Close();

  std::vector<int32_t> list;
  list.reserve(static_cast<size_t>(left));
  for (int64_t slot = 0; slot < slots; ++slot) {
    if ((inList[static_cast<size_t>(slot >> 6)] >> (slot & 63)) & 1) {
      list.push_back(static_cast<int32_t>(bMin + 2 * slot));
    }
  }
  const SieveRange range{bMin, bMax, job.m_nExponent, job.m_nLn, 1};
  const LogFn post = ctx.PostFn();
  if (!WriteCandidateList(list, range, job.m_strSieveOut, post)) {
    ctx.MarkFailed("The candidate file could not be written.");
    return;
  }
  ctx.Post(StrFormat("Output sieve file %s created.", job.m_strSieveOut.c_str()));
}

}  // namespace zentrova
