// The report job (ReportJob) on any tester's log. An input with a form feed
// is split there into a factor file and the log; without one, the whole
// input is the log beside a fixed factor file. The job fails, with a line
// saying why and no report, exactly when the factor file's header names no
// usable range. Otherwise the report holds every record of the factor file,
// in file order, between copies of the log's lines for bases of the range
// and its exponent, each from the first digit of its base; with records
// ascending by base the report ascends too, and where no consistency error
// was posted its bases run b Min, b Min + 2, ... without a gap.
#include <cinttypes>

#include "FuzzUtil.h"
#include "files/StrFormat.h"
#include "files/NumberParse.h"

using namespace zentrova;

namespace {

constexpr const char* kFactors =
    "GFN Factors b^n+1, b=1200000 to 1200040, n=65536.  Tested to factor 99483649 : "
    "December 08, 2026  20:21:14.\n"
    "1200000^65536+1 has factor 14942209\n"
    "1200014^65536+1 has factor 786433\n"
    "1200020^65536+1 has factor 1179649\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('\f');
  const std::string log = fuzz::InputFile(data, size, "Proth.Log");
  const fuzz::Scratch& dir = fuzz::Scratch::Get();
  const bool whole = split == std::string::npos;
  fuzz::WriteFile(log, whole ? text : text.substr(split + 1));
  fuzz::WriteFile(dir / "factors.txt", whole ? kFactors : text.substr(0, split));
  SieveJob job;
  job.m_nCommand = kCmdReport;
  job.m_strFactorIn = dir / "factors.txt";
  job.m_strProthLog = log;
  job.m_strReport = dir / "report.txt";
  const fuzz::JobResult run = fuzz::RunJob(job);

  FactorFileContents factors;
  FUZZ_CHECK(ReadFactorFile(dir / "factors.txt", factors));
  const FactorHeader& h = factors.header;
  const int32_t bMin = h.hasBMin ? h.bMin : 0, bMax = h.hasBMax ? h.bMax : 0;
  const int32_t n = h.hasExponent ? h.exponent : 0;
  FUZZ_CHECK(run.failed == (bMin == 0 || bMax == 0 || ExponentLog2(n) == 0));
  if (run.failed) {
    FUZZ_CHECK(!fuzz::fs::exists(job.m_strReport));
    return 0;
  }
  FUZZ_CHECK(fuzz::Contains(
      run.log, StrFormat("%d factors loaded from %s.", static_cast<int>(factors.records.size()),
                         job.m_strFactorIn.c_str())));
  FUZZ_CHECK(run.log.back() == "Report file " + job.m_strReport + " written.");
  bool ascending = true;
  for (size_t i = 1; i < factors.records.size(); ++i) {
    ascending &= static_cast<uint32_t>(factors.records[i - 1].b) <
                 static_cast<uint32_t>(factors.records[i].b);
  }
  bool consistent = true;
  for (const std::string& line : run.log) {
    consistent &= line.rfind("Report consistency error", 0) == std::string::npos;
  }

  size_t next = 0;       // the record the next factor line must be
  int64_t previous = 0;  // the base of the line before
  for (const std::string& line : fuzz::Lines(fuzz::ReadFile(job.m_strReport))) {
    FUZZ_CHECK(line.back() == '\n');
    // A copied line never reads as the next record's line: when a log line is
    // copied, the next record's base is above the one the line names.
    int64_t b = 0;
    const FactorRecord* r = next < factors.records.size() ? &factors.records[next] : nullptr;
    if (r != nullptr && line == StrFormat("%d^%d+1 has factor %" PRId64 "\n", r->b, n,
                                          static_cast<int64_t>(r->p))) {
      b = r->b;
      ++next;
    } else {
      const size_t caret = line.find('^');
      FUZZ_CHECK(caret != std::string::npos && fuzz::IsDigits(line.substr(0, caret)));
      b = ParseInt64At(line, 0);
      FUZZ_CHECK(b >= bMin && b <= bMax && ParseInt64At(line, caret + 1) == n);
    }
    if (ascending) FUZZ_CHECK(b > previous);
    if (consistent) FUZZ_CHECK(b == (previous == 0 ? bMin : previous + 2));
    previous = b;
  }
  FUZZ_CHECK(next == factors.records.size());
  return 0;
}
