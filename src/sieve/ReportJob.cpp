// The report job: a primality tester's log merged with a factor file into
// one report that names every base of the range once, in ascending order:
// the factor lines, and the tester's own lines for the bases it found
// composite. Gaps and repeats are reported as consistency errors. The report
// replaces its target only when complete.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/FactorFile.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "math/ExponentLog2.h"
#include "sieve/JobInputs.h"
#include "sieve/Jobs.h"
#include "sieve/TesterLog.h"

namespace zentrova {

namespace {

// The factor file of the report: its header names the range and the
// exponent; false after the message when it cannot be read.
bool LoadReportFactors(JobContext& ctx, std::vector<FactorRecord>& factors) {
  SieveJob& job = ctx.Job();
  job.m_nExponent = 0;
  job.m_nLn = 0;
  job.m_nBMin = 0;
  job.m_nBMax = 0;

  FactorFileContents contents;
  if (!LoadFactorInput(ctx, contents, "")) return false;
  factors = std::move(contents.records);
  return true;
}

// The base of a tester's composite line of exponent n inside the range, and
// where its "<b>^<N>+1" text starts; 0 for any other line.
int64_t CompositeBase(const std::string& line, int32_t n, int32_t bMin, int32_t bMax,
                      size_t& start) {
  if (line.find(kComposite) == std::string::npos) return 0;
  const size_t caret = line.find('^');
  // A one-digit base puts the "^" at position 1.
  if (caret == std::string::npos || caret < 1) return 0;
  // No digit right before the "^": the base reads as 0.
  if (!IsDigit(line[caret - 1])) return 0;
  start = DigitsBefore(line, caret);
  const int64_t b = DigitsValue(line, start, caret);
  if (b <= 0) return 0;
  const int64_t e = ParseInt64At(line, caret + 1);
  if (e <= 0 || e != n || b < bMin || b > bMax) return 0;
  return b;
}

// The merge of the two sorted streams, base by base.
class ReportMerge {
 public:
  ReportMerge(JobContext& ctx, std::FILE* out, const std::vector<FactorRecord>& factors)
      : m_ctx(ctx),
        m_out(out),
        m_factors(factors),
        m_n(ctx.Job().m_nExponent),
        m_expected(ctx.Job().m_nBMin) {}

  // The tester's line of base b (text from `start`), after the factors below it.
  void Composite(int64_t b, const std::string& line, size_t start) {
    while (m_next < m_factors.size() &&
           static_cast<uint32_t>(m_factors[m_next].b) <= static_cast<uint64_t>(b)) {
      const FactorRecord& r = m_factors[m_next];
      WriteFactor(r);
      m_lastFactorExpected = r.b == m_expected;
      if (!m_lastFactorExpected) {
        m_ctx.Post(StrFormat("Report consistency error, found factor b=%d, expected b=%d.", r.b,
                             Show(m_expected)));
        m_expected = r.b;
      }
      m_expected += 2;
      ++m_next;
    }
    if (b == m_expected) {
      CopyLine(line, start);
      m_expected += 2;
      return;
    }
    if (!(m_lastFactorExpected && m_expected - 2 == b)) {
      m_ctx.Post(StrFormat("Report consistency error, found composite b=%d, expected b=%d.",
                           static_cast<int32_t>(b), Show(m_expected)));
      // After a gap (a prime, a result missing from the log) the line is
      // still the only record of b's test: keep it, the report stays in
      // ascending order. A repeated or out-of-order line is left out.
      if (b > m_expected) CopyLine(line, start);
    }
    // Never backwards: after a line of a base already reported, the lines
    // that follow it would be copied a second time.
    if (b > m_expected) m_expected = b + 2;
  }

  // The factors above the tester's last base.
  void Finish() {
    for (; m_next < m_factors.size(); ++m_next) {
      const FactorRecord& r = m_factors[m_next];
      WriteFactor(r);
      if (r.b != m_expected) {
        m_ctx.Post(StrFormat("Report consistency error, found b=%d, expected b=%d.", r.b,
                             Show(m_expected)));
      }
      m_expected += 2;
    }
  }

 private:
  // Messages show the expected base as the 32-bit value it stands for.
  static int32_t Show(int64_t v) { return static_cast<int32_t>(v); }

  void WriteFactor(const FactorRecord& r) {
    std::fputs(FactorLine(r.b, m_n, r.p).c_str(), m_out);
  }
  // The tester's own text, byte for byte: it may hold '%' or any other
  // character, so it never passes through a format.
  void CopyLine(const std::string& line, size_t start) {
    std::fwrite(line.data() + start, 1, line.size() - start, m_out);
    if (line.back() != '\n') std::fputc('\n', m_out);
  }

  JobContext& m_ctx;
  std::FILE* m_out;
  const std::vector<FactorRecord>& m_factors;
  int32_t m_n;
  int64_t m_expected;
  size_t m_next = 0;
  bool m_lastFactorExpected = false;
};

}  // namespace

void RunReportJob(JobContext& ctx) {
  std::vector<FactorRecord> factors;
  if (!LoadReportFactors(ctx, factors)) return;
  SieveJob& job = ctx.Job();
  const int32_t bMin = job.m_nBMin;
  const int32_t bMax = job.m_nBMax;
  const int32_t n = job.m_nExponent;
  if (bMin == 0 || bMax == 0 || n == 0) {
    ctx.Fail(StrFormat("Factoring input error, bMin=%d, bMax=%d, Exponent=%d.", bMin, bMax, n));
    return;
  }
  job.m_nLn = ExponentLog2(n);
  if (job.m_nLn == 0) {
    ctx.Fail(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", n));
    return;
  }
  ctx.Post(StrFormat("%c %d %d %d", '&', bMin, bMax, n));

  CTextFile log(job.m_strProthLog);
  if (!log.OpenRead()) {
    ctx.Fail(StrFormat("Unable to open input proth file %s.", job.m_strProthLog.c_str()));
    return;
  }
  AtomicTextFile report(job.m_strReport);
  if (!report.Open()) {
    ctx.Fail(StrFormat("Unable to open output report file %s.", job.m_strReport.c_str()));
    return;
  }
  ReportMerge merge(ctx, report.GetStream(), factors);
  std::string line;
  while (log.ReadLine(line) && !line.empty()) {
    size_t start = 0;
    const int64_t b = CompositeBase(line, n, bMin, bMax, start);
    if (b != 0) merge.Composite(b, line, start);
  }
  log.Close();
  merge.Finish();
  if (!report.Commit()) {
    ctx.Fail(StrFormat("Unable to write output report file %s: %s.", job.m_strReport.c_str(),
                       std::strerror(errno)));
    return;
  }
  ctx.Post(StrFormat("Report file %s written.", job.m_strReport.c_str()));
}

}  // namespace zentrova
