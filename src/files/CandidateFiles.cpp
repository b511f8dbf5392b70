#include "files/CandidateFiles.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <charconv>
#include <climits>

#include "files/AtomicTextFile.h"
#include "files/StrFormat.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "math/ModArith.h"
#include "platform/Files.h"

namespace zentrova {

namespace {

constexpr const char* kNotCandidateLine =
    "not a line of a candidate file (\"<b> <N>\" or the header \"ABC $a^$b+1 // <p>\")";
constexpr const char* kBadDepth =
    "the depth after \"ABC $a^$b+1 // \" is not a whole decimal number";

}  // namespace

bool ParseCandidateHeader(std::string_view line, UInt128& depth) {
  const std::string_view text = LineBody(line);
  if (!text.starts_with(kCandidateHeaderText)) return false;
  UInt128 value = 0;
  if (!ParsePDigits(text.substr(kCandidateHeaderText.size()), value)) return false;
  depth = value;
  return true;
}

bool ParseCandidateExponent(std::string_view line, int32_t& exponent) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank < 1) return false;
  exponent = ParseInt32At(line, blank + 1);
  return true;
}

CandidateLine ParseCandidateLine(std::string_view line) {
  CandidateLine out;
  const std::string_view text = LineBody(line);
  if (text.starts_with(kCandidateHeaderText)) {
    if (ParseCandidateHeader(text, out.depth)) {
      out.kind = CandidateLine::kHeader;
    } else {
      out.problem = kBadDepth;
    }
    return out;
  }
  // "<b> <N>" or a bare "<b>": digits, one blank, digits, nothing else.
  const size_t blank = text.find(' ');
  const std::string_view bText = text.substr(0, blank);
  const std::string_view nText =
      blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
  out.problem = kNotCandidateLine;
  if (!AllDigits(bText) || (blank != std::string_view::npos && !AllDigits(nText))) return out;
  int64_t b = 0;
  if (!ParseDecimal(bText, b) || b > INT32_MAX) {
    out.kind = CandidateLine::kTooLarge;
    out.problem = nullptr;
    return out;
  }
  int32_t exponent = 0;
  if (b == 0 || (blank != std::string_view::npos && (!ParseDecimal(nText, exponent) ||
                                                     exponent == 0))) {
    return out;
  }
  out.kind = CandidateLine::kBase;
  out.problem = nullptr;
  out.b = static_cast<int32_t>(b);
  out.exponent = exponent;
  return out;
}

bool ReadCandidateList(const std::string& path, CandidateListContents& out) {
  out = CandidateListContents{};
  CTextFile file(path);
  if (!file.OpenRead()) return false;
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const CandidateLine parsed = ParseCandidateLine(line);
    switch (parsed.kind) {
      case CandidateLine::kHeader:
        out.depths.push_back(parsed.depth);
        break;
      case CandidateLine::kBase:
        out.bases.push_back(CandidateEntry{parsed.b, lineNo, parsed.exponent});
        break;
      case CandidateLine::kTooLarge:
        out.tooLargeLine = lineNo;
        return true;
      case CandidateLine::kNoBase:
        out.badLine = lineNo;
        out.badProblem = parsed.problem;
        return true;
    }
  }
  out.readError = file.ReadError();
  return true;
}

namespace {

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
  CTextFile file(path);
  if (!file.OpenRead()) return false;
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const char* problem = nullptr;
    if (ParseFactorHeader(line, out.header, &problem)) {
      if (problem == nullptr) continue;
    } else {
      FactorRecord record;
      int32_t exponent = 0;
      if (ParseFactorLine(line, record, exponent)) {
        out.records.push_back(record);
        out.lineNumbers.push_back(lineNo);
        out.exponents.push_back(exponent);
        continue;
      }
      problem = kNotFactorLine;
    }
    out.badLine = lineNo;
    out.badProblem = problem;
    return true;
  }
  out.readError = file.ReadError();
  return true;
}

namespace {

// The second line of a failed output: what the system said, and where.
void LogOpenReason(const std::string& path, int error, const LogFn& log) {
  log(StrFormat("Unable to create a temporary file beside %s: %s.", path.c_str(),
                std::strerror(error)));
}

// Candidate lines "<b> <N>\n" formatted by hand into a large buffer:
// a wide candidate file can hold a billion lines, where printf costs more
// than the sieve between two saves.
class CandidateLineWriter {
 public:
  CandidateLineWriter(std::FILE* f, int32_t exponent) : m_file(f) {
    char* end = std::to_chars(m_tail, m_tail + sizeof m_tail, exponent).ptr;
    *end++ = '\n';
    m_tailSize = static_cast<size_t>(end - m_tail);
    m_buffer.resize(1 << 20);
  }
  ~CandidateLineWriter() { Flush(); }
  void Line(int32_t b) {
    if (m_used + 32 > m_buffer.size()) Flush();
    char* at = std::to_chars(m_buffer.data() + m_used, m_buffer.data() + m_buffer.size(), b).ptr;
    *at++ = ' ';
    std::memcpy(at, m_tail, m_tailSize);
    m_used = static_cast<size_t>(at - m_buffer.data()) + m_tailSize;
  }
  void Flush() {
    if (m_used > 0) std::fwrite(m_buffer.data(), 1, m_used, m_file);
    m_used = 0;
  }

 private:
  std::FILE* m_file;
  std::vector<char> m_buffer;
  size_t m_used = 0;
  char m_tail[16];
  size_t m_tailSize = 0;
};

}  // namespace

namespace {

// A base line of a candidate file against the range of the factor file it
// pairs with; false after the normal resume's message.
bool BaseFitsPair(const std::string& path, int lineNo, const CandidateLine& parsed,
                  const WideFactorHeader& pair, const LogFn& log) {
  if (parsed.exponent != 0 && parsed.exponent != pair.exponent) {
    log(StrFormat("%s line %d: exponent %d does not match the exponent %d of the files.  Nothing "
                  "was sieved.",
                  path.c_str(), lineNo, parsed.exponent, pair.exponent));
    return false;
  }
  if (parsed.b < pair.bMin || parsed.b > pair.bMax) {
    log(StrFormat("%s line %d: base %d is outside the range %d to %d.  Nothing was sieved.",
                  path.c_str(), lineNo, parsed.b, pair.bMin, pair.bMax));
    return false;
  }
  if (((parsed.b - pair.bMin) & 1) != 0) {
    log(StrFormat("%s line %d: base %d does not have the parity of b Min %d.  Nothing was sieved.",
                  path.c_str(), lineNo, parsed.b, pair.bMin));
    return false;
  }
  return true;
}

}  // namespace

bool LoadCandidateRange(const std::string& path, CandidateRange& out, const LogFn& log,
                        const WideFactorHeader* pairedWith) {
  out = CandidateRange{};
  out.bMin = INT32_MAX;  // any base of the file is smaller or equal
  CTextFile file(path);
  if (!file.OpenRead()) {
    log(StrFormat("Unable to open input candidate file %s.", path.c_str()));
    return false;
  }
  log(StrFormat("Getting range of candidates in input file %s.", path.c_str()));
  std::string line;
  int lineNo = 0;
  bool any = false;
  bool hasDepth = false;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const CandidateLine parsed = ParseCandidateLine(line);
    if (parsed.kind == CandidateLine::kHeader) {
      out.depth = parsed.depth;
      hasDepth = true;
      continue;
    }
    if (parsed.kind == CandidateLine::kNoBase) {
      log(StrFormat("%s line %d: %s.  Nothing was sieved.", path.c_str(), lineNo, parsed.problem));
      return false;
    }
    if (parsed.kind == CandidateLine::kTooLarge) {
      log(StrFormat("%s line %d: the base does not fit in 32 bits.", path.c_str(), lineNo));
      return false;
    }
    if (pairedWith != nullptr && !BaseFitsPair(path, lineNo, parsed, *pairedWith, log)) {
      return false;
    }
    const int32_t b = parsed.b;
    any = true;
    out.bMin = std::min(out.bMin, b);
    out.bMax = std::max(out.bMax, b);
    if (out.exponent <= 0 && parsed.exponent != 0) out.exponent = parsed.exponent;
  }
  if (file.ReadError() != 0) {
    log(StrFormat("Unable to read input candidate file %s: %s.", path.c_str(),
                  std::strerror(file.ReadError())));
    return false;
  }
  file.Close();
  if (!hasDepth && any) {
    log(StrFormat("Sieve file %s has no depth line \"ABC $a^$b+1 // <p>\": sieving starts at the "
                  "first p.",
                  path.c_str()));
  }
  if (!any) out.bMin = out.bMax = 0;  // no base: an empty range
  if (pairedWith != nullptr) {
    out.bMin = pairedWith->bMin;
    out.bMax = pairedWith->bMax;
    out.exponent = pairedWith->exponent;
  }
  out.ln = ExponentLog2(out.exponent);
  if (out.ln == 0) {
    log(StrFormat("Exponent %d is not a proper power of 2 for GFN testing.", out.exponent));
    return false;
  }
  log(StrFormat("%c %d %d %d", '&', out.bMin, out.bMax, out.exponent));
  out.bitmap.assign(BitmapWords(out.bMax), 0);
  if (!file.OpenRead()) {
    log(StrFormat("Unable to open input candidate file %s.", path.c_str()));
    return false;
  }
  log(StrFormat("Loading input file %s.", path.c_str()));
  lineNo = 0;
  while (file.ReadLine(line) && !line.empty()) {
    ++lineNo;
    const CandidateLine parsed = ParseCandidateLine(line);
    const int32_t b = parsed.b;
    // (A file changed between the passes: what the first did not see is left out.)
    if (parsed.kind != CandidateLine::kBase || b < out.bMin || b > out.bMax) continue;
    if (((b - out.bMin) & 1) != 0) {
      log(StrFormat("%s line %d: base %d does not have the parity of b Min %d.", path.c_str(),
                    lineNo, static_cast<int>(b), out.bMin));
      return false;
    }
    uint32_t& word = out.bitmap[static_cast<size_t>(b >> 5)];
    const uint32_t mask = uint32_t{1} << (b & 31);
    if ((word & mask) == 0) ++out.count;
    word |= mask;
  }
  if (file.ReadError() != 0) {
    log(StrFormat("Unable to read input candidate file %s: %s.", path.c_str(),
                  std::strerror(file.ReadError())));
    return false;
  }
  return true;
}

size_t BitmapWords(int32_t bMax) {
  return static_cast<size_t>((static_cast<int64_t>(std::max(bMax, 0)) + 31) / 32 + 1);
}

namespace {

// Sorts the list ascending through a bitmap of the range; false (after the
// fixed message) when the list holds a base twice, of the other parity or
// outside the range.
bool SortCandidateList(std::vector<int32_t>& cand, const SieveRange& range, const LogFn& log) {
  if (cand.size() <= 1) return true;
  std::vector<uint32_t> bitmap(BitmapWords(range.bMax), 0);
  for (int32_t b : cand) {
    if (b >= 0 && b <= range.bMax) bitmap[b >> 5] |= uint32_t{1} << (b & 31);
  }
  size_t stored = 0;
  for (int64_t b = range.bMin; b <= range.bMax; b += 2) {
    if (b >= 0 && ((bitmap[b >> 5] >> (b & 31)) & 1)) {
      if (stored < cand.size()) cand[stored] = static_cast<int32_t>(b);
      ++stored;
    }
  }
  if (stored != cand.size()) {
    log("Candidate sort failed.  List is corrupted.");
    return false;
  }
  return true;
}

// Writes the candidate file into a completed temporary file beside path.
bool StageCandidateList(const std::vector<int32_t>& cand, const SieveRange& range,
                        AtomicTextFile& out, const LogFn& log) {
  const std::string& path = out.Target();
  if (!out.Open()) {
    const int error = errno;
    log(StrFormat("Unable to open output file %s.", path.c_str()));
    LogOpenReason(path, error, log);
    return false;
  }
  std::FILE* f = out.GetStream();
  std::fprintf(f, "ABC $a^$b+1 // %s\n", PToString(range.pCur).c_str());
  {
    CandidateLineWriter lines(f, range.exponent);
    for (int32_t b : cand) lines.Line(b);
  }
  if (!out.Finish()) {
    log(StrFormat("Unable to write output file %s: %s.", path.c_str(), std::strerror(errno)));
    return false;
  }
  return true;
}

// Reports the first record that does not verify (and returns false), and
// sorts by b (stable).
bool PrepareFactors(std::vector<FactorRecord>& factors, const SieveRange& range,
                    const LogFn& log) {
  bool verified = true;
  for (const FactorRecord& r : factors) {
    if (!VerifyFactor(range.ln, static_cast<uint32_t>(r.b), r.p)) {
      log(StrFormat("%d failed verify in factors list.", r.b));
      verified = false;
      break;
    }
  }
  std::stable_sort(factors.begin(), factors.end(), [](const FactorRecord& x, const FactorRecord& y) {
    return static_cast<uint32_t>(x.b) < static_cast<uint32_t>(y.b);
  });
  return verified;
}

bool StageFactorFile(const std::vector<FactorRecord>& factors, const SieveRange& range,
                     AtomicTextFile& out, const LogFn& log) {
  const std::string& path = out.Target();
  if (!out.Open()) {
    const int error = errno;
    log(StrFormat("Unable to open output factor file %s.", path.c_str()));
    LogOpenReason(path, error, log);
    return false;
  }
  std::FILE* f = out.GetStream();
  std::fprintf(f, "GFN Factors b^n+1, b=%d to %d, n=%d.  Tested to factor %s : %s.\n",
               range.bMin, range.bMax, range.exponent, PToString(range.pCur).c_str(),
               FactorFileTimeStamp().c_str());
  for (const FactorRecord& r : factors) {
    std::fprintf(f, "%d^%d+1 has factor %s\n", r.b, range.exponent, PToString(r.p).c_str());
  }
  if (!out.Finish()) {
    log(StrFormat("Unable to write output factor file %s: %s.", path.c_str(),
                  std::strerror(errno)));
    return false;
  }
  return true;
}

bool PublishOrLog(AtomicTextFile& out, const char* what, const LogFn& log) {
  if (out.Publish()) return true;
  log(StrFormat("Unable to write output %s %s: %s.", what, out.Target().c_str(),
                std::strerror(errno)));
  return false;
}

void LogCandidatesWritten(size_t count, const SieveRange& range, const std::string& path,
                          const LogFn& log) {
  log(StrFormat("%d items %s p value written to %s.", static_cast<int>(count),
                PToString(range.pCur).c_str(), path.c_str()));
}

}  // namespace

bool WriteCandidateList(std::vector<int32_t>& cand, const SieveRange& range,
                        const std::string& path, const LogFn& log) {
  AtomicTextFile out(path);
  if (!SortCandidateList(cand, range, log) || !StageCandidateList(cand, range, out, log) ||
      !PublishOrLog(out, "file", log)) {
    return false;
  }
  LogCandidatesWritten(cand.size(), range, path, log);
  return true;
}

bool WriteCandidateBitmap(const std::vector<uint32_t>& bitmap, int64_t count,
                          const SieveRange& range, const std::string& path, const LogFn& log,
                          int64_t* written) {
  AtomicTextFile out(path);
  if (!out.Open()) {
    const int error = errno;
    log(StrFormat("Unable to open output file %s.", path.c_str()));
    LogOpenReason(path, error, log);
    return false;
  }
  std::FILE* f = out.GetStream();
  std::fprintf(f, "ABC $a^$b+1 // %s\n", PToString(range.pCur).c_str());
  int64_t n = 0;
  const int64_t words = static_cast<int64_t>(bitmap.size());
  {
    CandidateLineWriter lines(f, range.exponent);
    for (int64_t b = std::max<int64_t>(range.bMin, 0); b <= range.bMax && (b >> 5) < words;
         b += 2) {
      if ((bitmap[static_cast<size_t>(b >> 5)] >> (b & 31)) & 1) {
        lines.Line(static_cast<int32_t>(b));
        ++n;
      }
    }
  }
  if (!out.Commit()) {
    log(StrFormat("Unable to write output file %s: %s.", path.c_str(), std::strerror(errno)));
    return false;
  }
  if (written != nullptr) *written = n;
  if (n != count) {
    log(StrFormat("Consistency error, found %d candidates, expected %d candidates.",
                  static_cast<int>(n), static_cast<int>(count)));
  }
  log(StrFormat("%d items %s p value written to %s.", static_cast<int>(n),
                PToString(range.pCur).c_str(), path.c_str()));
  return true;
}

std::string FactorFileTimeStamp() {
  const std::tm local = platform::LocalTime(std::time(nullptr));
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, "%B %d, %Y  %H:%M:%S", &local);
  return std::string(buffer, n);
}

bool WriteFactorFile(std::vector<FactorRecord>& factors, const SieveRange& range,
                     const std::string& path, const LogFn& log, bool* verified) {
  const bool allVerified = PrepareFactors(factors, range, log);
  if (verified != nullptr) *verified = allVerified;
  AtomicTextFile out(path);
  if (!StageFactorFile(factors, range, out, log) || !PublishOrLog(out, "factor file", log)) {
    return false;
  }
  log(StrFormat("%d Factors written to %s", static_cast<int>(factors.size()), path.c_str()));
  return true;
}

bool WriteFactorAndCandidateFiles(std::vector<FactorRecord>& factors, std::vector<int32_t>& cand,
                                  const SieveRange& range, const std::string& factorPath,
                                  const std::string& candPath, const LogFn& log,
                                  bool* verified) {
  const bool allVerified = PrepareFactors(factors, range, log);
  if (verified != nullptr) *verified = allVerified;
  if (!SortCandidateList(cand, range, log)) return false;
  AtomicTextFile factorOut(factorPath);
  AtomicTextFile candOut(candPath);
  if (!StageFactorFile(factors, range, factorOut, log)) {
    log(StrFormat("Sieve file %s was not replaced either, so that it still pairs with the "
                  "factor file.",
                  candPath.c_str()));
    return false;
  }
  if (!StageCandidateList(cand, range, candOut, log)) {
    log(StrFormat("Factor file %s was not replaced either, so that it still pairs with the "
                  "sieve file.",
                  factorPath.c_str()));
    return false;
  }
  // Both files are complete on disk. A crash between the two renames leaves
  // the new factor file beside the old candidate file, which a resume accepts.
  if (!PublishOrLog(factorOut, "factor file", log)) return false;
  log(StrFormat("%d Factors written to %s", static_cast<int>(factors.size()), factorPath.c_str()));
  if (!PublishOrLog(candOut, "file", log)) return false;
  LogCandidatesWritten(cand.size(), range, candPath, log);
  return true;
}

bool CheckFactorsAndCandidates(const std::vector<int32_t>& cand,
                               const std::vector<FactorRecord>& factors, const SieveRange& range,
                               const LogFn& log) {
  size_t fi = 0;
  size_t ci = 0;
  const size_t nf = factors.size();
  const size_t nc = cand.size();
  for (int64_t b = range.bMin; b <= range.bMax; b += 2) {
    const auto ub = static_cast<uint32_t>(b);
    while (nf > 0 && fi < nf - 1 && static_cast<uint32_t>(factors[fi].b) < ub) ++fi;
    while (nc > 0 && ci < nc - 1 && static_cast<uint32_t>(cand[ci]) < ub) ++ci;
    const bool inCand = nc > 0 && static_cast<uint32_t>(cand[ci]) == ub;
    const bool inFactors = nf > 0 && static_cast<uint32_t>(factors[fi].b) == ub;
    if (inCand && inFactors) {
      log(StrFormat("Duplicate entry in factor and candidate file %d.", static_cast<int>(b)));
      return false;
    }
    if (!inCand && !inFactors) {
      log(StrFormat("Missing entry in factor or candidate file %d.", static_cast<int>(b)));
      return false;
    }
  }
  log(StrFormat("Factors and candidates consistent from %d to %d.", range.bMin, range.bMax));
  return true;
}

int32_t ExponentLog2(int64_t exponent) {
  for (int32_t ln = 1; ln <= 30; ++ln) {
    if (exponent == (int64_t{1} << ln)) return ln;
  }
  return 0;
}

}  // namespace zentrova
