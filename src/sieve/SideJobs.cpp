// The side jobs that read and write files without sieving:
//
//  * ReportJob merges a primality tester's log with a factor file into one
//    report that names every base of the range once, in ascending order;
//  * BuildFromFactors rebuilds the candidate file (and, in normal mode, a
//    sorted factor file) from a factor file of either format, verifying every
//    factor it uses;
//  * BuildToBeFactoredList writes every base of a range that an input file
//    (a candidate file or a tester's log) does not mention.
//
// Bases read from a file are checked against the range before they index
// anything, and numbers too large for 32 bits name no base of the range, so no
// input can reach outside an array. Every output replaces its target only
// when complete: a job that fails leaves the files of an earlier run as they
// were.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "math/ModArith.h"
#include "sieve/BitOps.h"
#include "sieve/GfnThread.h"
#include "sieve/StatusLine.h"

namespace zentrova {

namespace {

constexpr std::string_view kComposite = "omposite";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first position of the run of digits that ends right before `caret`
// (`caret` itself when the character before it is no digit).
size_t DigitsBefore(const std::string& line, size_t caret) {
  size_t start = caret;
  while (start > 0 && IsDigit(line[start - 1])) --start;
  return start;
}

// The value of the digits in [start, end); 0 when there are none. Long runs
// saturate, which puts them above every 32-bit range.
int64_t DigitsValue(const std::string& line, size_t start, size_t end) {
  if (start >= end) return 0;
  return ParseInt64At(std::string_view(line).substr(start, end - start), 0);
}

}  // namespace

// --- report ------------------------------------------------------------------

void CGfnThread::ReportJob() {
  m_job.m_nExponent = 0;
  m_job.m_nLn = 0;
  m_job.m_nBMin = 0;
  m_job.m_nBMax = 0;

  const std::string& factorIn = m_job.m_strFactorIn;
  {
    CTextFile probe(factorIn);
    if (!probe.OpenRead()) {
      Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
      return;
    }
  }
  Post(StrFormat("Loading input factor file %s.", factorIn.c_str()));
  FactorFileContents contents;
  if (!ReadFactorFile(factorIn, contents)) {
    Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
    return;
  }
  const FactorHeader& h = contents.header;
  if (h.hasBMin) m_job.m_nBMin = h.bMin;
  if (h.hasBMax) m_job.m_nBMax = h.bMax;
  if (h.hasExponent) m_job.m_nExponent = h.exponent;
  const std::vector<FactorRecord>& factors = contents.records;
  Post(StrFormat("%d factors loaded from %s.", static_cast<int>(factors.size()),
                 factorIn.c_str()));

  const int32_t bMin = m_job.m_nBMin;
  const int32_t bMax = m_job.m_nBMax;
  const int32_t n = m_job.m_nExponent;
  if (bMin == 0 || bMax == 0 || n == 0) {
    Fail(StrFormat("Factoring input error, bMin=%d, bMax=%d, Exponent=%d.", bMin, bMax, n));
    return;
  }
  m_job.m_nLn = ExponentLog2(n);
  if (m_job.m_nLn == 0) {
    Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", n));
    return;
  }
  Post(StrFormat("%c %d %d %d", '&', bMin, bMax, n));

  CTextFile log(m_job.m_strProthLog);
  if (!log.OpenRead()) {
    Fail(StrFormat("Unable to open input proth file %s.", m_job.m_strProthLog.c_str()));
    return;
  }
  AtomicTextFile report(m_job.m_strReport);
  if (!report.Open()) {
    Fail(StrFormat("Unable to open output report file %s.", m_job.m_strReport.c_str()));
    return;
  }
  std::FILE* out = report.GetStream();
  auto writeFactor = [&](const FactorRecord& r) {
    std::fprintf(out, "%d^%d+1 has factor %" PRId64 "\n", r.b, n, static_cast<int64_t>(r.p));
  };
  // Messages show the expected base as the 32-bit value it stands for.
  auto show = [](int64_t v) { return static_cast<int32_t>(v); };

  int64_t expected = bMin;
  size_t next = 0;
  bool lastFactorExpected = false;
  std::string line;
  while (log.ReadLine(line) && !line.empty()) {
    if (line.find(kComposite) == std::string::npos) continue;
    const size_t caret = line.find('^');
    // A one-digit base puts the "^" at position 1.
    if (caret == std::string::npos || caret < 1) continue;
    // No digit right before the "^": the base reads as 0.
    if (!IsDigit(line[caret - 1])) continue;
    const size_t start = DigitsBefore(line, caret);
    const int64_t b = DigitsValue(line, start, caret);
    if (b <= 0) continue;
    const int64_t e = ParseInt64At(line, caret + 1);
    if (e <= 0 || e != n || b < bMin || b > bMax) continue;

    while (next < factors.size() &&
           static_cast<uint32_t>(factors[next].b) <= static_cast<uint64_t>(b)) {
      const FactorRecord& r = factors[next];
      writeFactor(r);
      lastFactorExpected = r.b == expected;
      if (!lastFactorExpected) {
        Post(StrFormat("Report consistency error, found factor b=%d, expected b=%d.", r.b,
                       show(expected)));
        expected = r.b;
      }
      expected += 2;
      ++next;
    }
    // The tester's own text, byte for byte: it may hold '%' or any other
    // character, so it never passes through a format.
    auto copyLine = [&] {
      std::fwrite(line.data() + start, 1, line.size() - start, out);
      if (line.back() != '\n') std::fputc('\n', out);
    };
    if (b == expected) {
      copyLine();
      expected += 2;
    } else {
      if (!(lastFactorExpected && expected - 2 == b)) {
        Post(StrFormat("Report consistency error, found composite b=%d, expected b=%d.",
                       static_cast<int32_t>(b), show(expected)));
        // After a gap (a prime, a result missing from the log) the line is
        // still the only record of b's test: keep it, the report stays in
        // ascending order. A repeated or out-of-order line is left out.
        if (b > expected) copyLine();
      }
      expected = b + 2;
    }
  }
  log.Close();

  for (; next < factors.size(); ++next) {
    const FactorRecord& r = factors[next];
    writeFactor(r);
    if (r.b != expected) {
      Post(StrFormat("Report consistency error, found b=%d, expected b=%d.", r.b,
                     show(expected)));
    }
    expected += 2;
  }
  if (!report.Commit()) {
    Fail(StrFormat("Unable to write output report file %s: %s.", m_job.m_strReport.c_str(),
                   std::strerror(errno)));
    return;
  }
  Post(StrFormat("Report file %s written.", m_job.m_strReport.c_str()));
}

// --- build from factors --------------------------------------------------------

void CGfnThread::BuildFromFactors() {
  const bool wide = m_bWideMath != 0;
  const int32_t bMin = m_job.m_nBMin;
  const int32_t bMax = m_job.m_nBMax;
  const int32_t n = m_job.m_nExponent;
  const int32_t ln = m_job.m_nLn;

  // Bases below 0 have no bit; the walk starts at the first base of b Min's
  // parity that has one.
  std::vector<uint32_t> bitmap(BitmapWords(bMax), 0);
  int64_t left = 0;
  for (int64_t b = bMin >= 0 ? bMin : (bMin & 1); b <= bMax; b += 2) {
    if (!SetBitTest(static_cast<int32_t>(b), bitmap.data())) ++left;
  }
  std::vector<FactorRecord> factors;

  const std::string& factorIn = m_job.m_strFactorIn;
  Post(StrFormat("Generating output files using factor input file %s.", factorIn.c_str()));
  CTextFile file(factorIn);
  if (!file.OpenRead()) {
    Fail(StrFormat("Unable to open input factor file %s.", factorIn.c_str()));
    return;
  }
  Post(StrFormat("Processing input factor file %s.", factorIn.c_str()));

  int64_t p = 0;
  bool failed = false;
  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    const int64_t pBefore = p;
    if (line.find("Zentrova for k^") != std::string::npos) {
      const int32_t e = ParseInt32At(line, line.find("k^") + 2);
      if (e != n) {
        Fail(StrFormat("Input exponent %d does not match programmed exponent %d.", e, n));
        failed = true;
        break;
      }
      continue;
    }
    int64_t b = 0;
    size_t pos = line.find("factor : ");
    if (pos != std::string::npos && pos >= 1) {
      p = ParseInt64At(line, pos + 9);
      const size_t one = line.find("1*");
      if (one == std::string::npos) continue;
      b = ParseInt64At(line, one + 2);
    } else if ((pos = line.find("has factor ")) != std::string::npos && pos >= 1) {
      p = ParseInt64At(line, pos + 11);
      b = ParseInt64At(line, 0);
    } else {
      continue;
    }
    if (b < bMin || b > bMax || b < 0) continue;

    const auto base = static_cast<int32_t>(b);
    if (!VerifyFactor(ln, static_cast<uint64_t>(base), static_cast<uint64_t>(p))) {
      if (line.back() != '\n') {
        // The last line, cut short by a crash or a full disk: the base
        // stays a candidate, which costs a test but loses nothing.
        Post(StrFormat("The last line of %s is cut short and was skipped.", factorIn.c_str()));
        p = pBefore;
        break;
      }
      Fail(StrFormat("Factor file %" PRId64 " does not divide %d*2^%d+1.", p, base, ln));
      failed = true;
      break;
    }
    if (!IsProperFactor(ln, static_cast<uint64_t>(base), static_cast<uint64_t>(p))) {
      Post(StrFormat("%" PRId64 " is %d^%d+1 itself, not a proper factor; the base stays a "
                     "candidate.",
                     p, base, n));
      continue;
    }
    if (ClearBitTest(base, bitmap.data())) {
      --left;
      if (!wide) factors.push_back(FactorRecord{base, static_cast<uint64_t>(p)});
    }
    if (m_bStopRequest.load(std::memory_order_relaxed) != 0) break;
    const int32_t tick = m_nStatusTick.load(std::memory_order_relaxed);
    if (tick != m_job.m_nTickSeen) {
      Post(FormatStatusLine(static_cast<int32_t>(left), static_cast<uint64_t>(p)));
      m_job.m_nTickSeen = tick;
    }
  }
  file.Close();
  Post("Stop request received.");
  if (failed) return;

  const SieveRange range{bMin, bMax, n, ln, static_cast<uint64_t>(p)};
  auto post = [this](const std::string& text) { Post(text); };
  if (!wide && !WriteFactorFile(factors, range, m_job.m_strFactorOut, post)) {
    MarkFailed("The factor file could not be written.");
  }
  if (!WriteCandidateBitmap(bitmap, left, range, m_job.m_strSieveOut, post)) {
    MarkFailed("The candidate file could not be written.");
  }
}

// --- to-be-factored list ---------------------------------------------------------

void CGfnThread::BuildToBeFactoredList() {
  const int32_t bMin = m_job.m_nBMin;
  const int32_t bMax = m_job.m_nBMax;

  // Bit i stands for b = bMin + 2i. A base leaves the set at its first mention;
  // a later mention, or one of a base outside the set, changes nothing.
  const int64_t slots =
      bMax >= bMin ? (static_cast<int64_t>(bMax) - static_cast<int64_t>(bMin)) / 2 + 1 : 0;
  std::vector<uint64_t> inList(static_cast<size_t>((slots + 63) / 64), ~uint64_t{0});
  int64_t left = slots;

  const std::string& sieveIn = m_job.m_strSieveIn;
  Post(StrFormat("Generating all candidates between %d and %d not in file %s.", bMin, bMax,
                 sieveIn.c_str()));
  CTextFile file(sieveIn);
  if (!file.OpenRead()) {
    Fail(StrFormat("Unable to open input sieve file %s.", sieveIn.c_str()));
    return;
  }
  Post(StrFormat("Loading input sieve file %s.", sieveIn.c_str()));

  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    int64_t depth = 0;
    if (ParseCandidateHeader(line, depth)) continue;  // the output's depth is 1 regardless
    int64_t b = 0;
    const size_t caret = line.find('^');
    if (caret != std::string::npos && caret >= 2) {
      b = DigitsValue(line, DigitsBefore(line, caret), caret);
      if (line.find(kComposite) == std::string::npos) continue;
    } else {
      b = ParseInt64At(line, 0);
    }
    if (b == 0 || left == 0) continue;
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
  const SieveRange range{bMin, bMax, m_job.m_nExponent, m_job.m_nLn, 1};
  auto post = [this](const std::string& text) { Post(text); };
  if (!WriteCandidateList(list, range, m_job.m_strSieveOut, post)) {
    MarkFailed("The candidate file could not be written.");
    return;
  }
  Post(StrFormat("Output sieve file %s created.", m_job.m_strSieveOut.c_str()));
}

}  // namespace zentrova
