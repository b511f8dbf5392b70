#include "files/FactorFile.h"

#include <algorithm>
#include <ctime>

#include "files/LoggedOutput.h"
#include "files/NumberParse.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "files/WideFactorFile.h"
#include "math/ModArith.h"
#include "platform/Files.h"

namespace zentrova {

namespace {

constexpr const char* kWhat = "factor file";
constexpr const char* kBadFactorHeader =
    "a number of the \"GFN Factors\" header is not a whole decimal number";
constexpr const char* kNotFactorLine =
    "not a line of a factor file (\"<b>^<N>+1 has factor <p>\" or the \"GFN Factors\" header)";

// The text from pos up to the first `end` after it (to the line's end when
// there is none).
std::string_view FieldUpTo(std::string_view text, size_t pos, std::string_view end) {
  const size_t stop = text.find(end, pos);
  return text.substr(pos, stop == std::string_view::npos ? std::string_view::npos : stop - pos);
}

}  // namespace

// --- writing -------------------------------------------------------------------

std::string FactorHeaderLine(const SieveRange& range, const std::string& timeStamp) {
  return StrFormat("%s b^n+1, b=%d to %d, n=%d.  Tested to factor %s : %s.\n",
                   std::string(kFactorHeaderText).c_str(), range.bMin, range.bMax, range.exponent,
                   PToString(range.pCur).c_str(), timeStamp.c_str());
}

std::string FactorLine(int32_t b, int32_t exponent, UInt128 p) {
  return StrFormat("%d^%d+1 has factor %s\n", b, exponent, PToString(p).c_str());
}

std::string FactorFileTimeStamp() {
  const std::tm local = platform::LocalTime(std::time(nullptr));
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, "%B %d, %Y  %H:%M:%S", &local);
  return std::string(buffer, n);
}

bool VerifyAndSortFactors(std::vector<FactorRecord>& factors, const SieveRange& range,
                          const LogFn& log) {
  bool verified = true;
  for (const FactorRecord& r : factors) {
    if (!VerifyFactor(range.ln, static_cast<uint32_t>(r.b), r.p)) {
      log(StrFormat("%d failed verify in factors list.", r.b));
      verified = false;
      break;
    }
  }
  std::stable_sort(factors.begin(), factors.end(),
                   [](const FactorRecord& x, const FactorRecord& y) {
                     return static_cast<uint32_t>(x.b) < static_cast<uint32_t>(y.b);
                   });
  return verified;
}

bool StageFactorFile(const std::vector<FactorRecord>& factors, const SieveRange& range,
                     AtomicTextFile& out, const LogFn& log) {
  if (!OpenOutput(out, kWhat, log)) return false;
  std::FILE* f = out.GetStream();
  std::fputs(FactorHeaderLine(range, FactorFileTimeStamp()).c_str(), f);
  for (const FactorRecord& r : factors) {
    std::fputs(FactorLine(r.b, range.exponent, r.p).c_str(), f);
  }
  return FinishOutput(out, kWhat, log);
}

bool WriteFactorFile(std::vector<FactorRecord>& factors, const SieveRange& range,
                     const std::string& path, const LogFn& log, bool* verified) {
  const bool allVerified = VerifyAndSortFactors(factors, range, log);
  if (verified != nullptr) *verified = allVerified;
  AtomicTextFile out(path);
  if (!StageFactorFile(factors, range, out, log) || !PublishOutput(out, kWhat, log)) return false;
  log(StrFormat("%d Factors written to %s", static_cast<int>(factors.size()), path.c_str()));
  return true;
}

// --- reading -------------------------------------------------------------------

bool ParseFactorHeader(std::string_view line, FactorHeader& header, const char** problem) {
  const std::string_view text = LineBody(line);
  if (!text.starts_with(kFactorHeaderText)) return false;
  const auto bad = [&] {
    if (problem != nullptr) *problem = kBadFactorHeader;
    return true;
  };
  size_t pos = text.find("b=");
  if (pos == std::string_view::npos) return true;
  header.hasBMin = true;
  if (!ParseDecimal(FieldUpTo(text, pos + 2, " to "), header.bMin)) return bad();
  pos = text.find(" to ", pos);
  if (pos == std::string_view::npos) return true;
  header.hasBMax = true;
  if (!ParseDecimal(FieldUpTo(text, pos + 4, ","), header.bMax)) return bad();
  pos = text.find("n=", pos);
  if (pos == std::string_view::npos) return true;
  header.hasExponent = true;
  if (!ParseDecimal(FieldUpTo(text, pos + 2, "."), header.exponent)) return bad();
  pos = text.find("to factor ", pos);
  if (pos == std::string_view::npos) return true;
  header.hasDepth = true;
  if (!ParsePDigits(FieldUpTo(text, pos + 10, " :"), header.depth)) return bad();
  return true;
}

bool ParseFactorLine(std::string_view line, FactorRecord& record, int32_t& exponent) {
  // "<b>^<N>+1 has factor <p>", each number whole, nothing more.
  static constexpr std::string_view kHas = "+1 has factor ";
  const std::string_view text = LineBody(line);
  const size_t caret = text.find('^');
  if (caret == std::string_view::npos) return false;
  const size_t has = text.find(kHas, caret);
  if (has == std::string_view::npos) return false;
  int32_t b = 0;
  int32_t e = 0;
  UInt128 p = 0;
  if (!ParseDecimal(text.substr(0, caret), b) ||
      !ParseDecimal(text.substr(caret + 1, has - caret - 1), e) ||
      !ParsePDigits(text.substr(has + kHas.size()), p) || b <= 0 || e <= 0 || p == 0) {
    return false;
  }
  exponent = e;
  record.b = b;
  record.p = p;
  return true;
}

bool ReadFactorFile(const std::string& path, FactorFileContents& out) {
  out = FactorFileContents{};
  return ReadNumberedLines(
      path,
      [&out](const std::string& line, int lineNo) {
        const char* problem = nullptr;
        if (ParseFactorHeader(line, out.header, &problem)) {
          if (problem == nullptr) return true;
        } else {
          FactorRecord record;
          int32_t exponent = 0;
          if (ParseFactorLine(line, record, exponent)) {
            out.records.push_back(record);
            out.lineNumbers.push_back(lineNo);
            out.exponents.push_back(exponent);
            return true;
          }
          problem = kNotFactorLine;
        }
        out.badLine = lineNo;
        out.badProblem = problem;
        return false;
      },
      out.readError);
}

AnyFactorLine ParseAnyFactorLine(std::string_view line) {
  AnyFactorLine out;
  WideFactorHeader wide;
  bool wellFormed = false;
  if (ParseWideFactorHeader(line, wide, nullptr, &wellFormed)) {
    out.exponent = wide.exponent;
    out.kind = wellFormed ? AnyFactorLine::kHeader : AnyFactorLine::kBad;
    return out;
  }
  const char* problem = nullptr;
  if (FactorHeader normal; ParseFactorHeader(line, normal, &problem)) {
    if (normal.hasExponent) out.exponent = normal.exponent;
    out.kind = problem == nullptr ? AnyFactorLine::kHeader : AnyFactorLine::kBad;
    return out;
  }
  if (ParseWideFactorLine(line, out.b, out.exponent, out.p)) {
    out.kind = AnyFactorLine::kFactor;
    return out;
  }
  FactorRecord record;
  if (ParseFactorLine(line, record, out.exponent)) {
    out.kind = AnyFactorLine::kFactor;
    out.b = record.b;
    out.p = record.p;
    return out;
  }
  out.kind = IsWideFactorFiller(line) ? AnyFactorLine::kOther : AnyFactorLine::kBad;
  return out;
}

}  // namespace zentrova
