#include "files/CandidateFile.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#include "files/LoggedOutput.h"
#include "files/NumberParse.h"
#include "files/StrFormat.h"
#include "files/TextFile.h"
#include "math/ExponentLog2.h"

namespace zentrova {

namespace {

constexpr const char* kWhat = "file";

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
  if (b == 0 ||
      (blank != std::string_view::npos && (!ParseDecimal(nText, exponent) || exponent == 0))) {
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
  return ReadNumberedLines(
      path,
      [&out](const std::string& line, int lineNo) {
        const CandidateLine parsed = ParseCandidateLine(line);
        switch (parsed.kind) {
          case CandidateLine::kHeader:
            out.depths.push_back(parsed.depth);
            return true;
          case CandidateLine::kBase:
            out.bases.push_back(CandidateEntry{parsed.b, lineNo, parsed.exponent});
            return true;
          case CandidateLine::kTooLarge:
            out.tooLargeLine = lineNo;
            return false;
          case CandidateLine::kNoBase:
            out.badLine = lineNo;
            out.badProblem = parsed.problem;
            return false;
        }
        return false;
      },
      out.readError);
}

namespace {

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

// A base line of a candidate file against the range of the factor file it
// pairs with; false after the normal resume's message.
bool BaseFitsPair(const std::string& path, int lineNo, const CandidateLine& parsed,
                  const WideFactorHeader& pair, const LogFn& log) {
  if (parsed.exponent != 0 && parsed.exponent != pair.exponent) {
    log(
        StrFormat("%s line %d: exponent %d does not match the exponent %d of the files.  Nothing "
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

std::string NoDepthLineText(const std::string& path) {
  return StrFormat(
      "Sieve file %s has no depth line \"ABC $a^$b+1 // <p>\": sieving starts at the "
      "first p.",
      path.c_str());
}

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
    log(NoDepthLineText(path));
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

// --- writing -------------------------------------------------------------------

std::string CandidateHeaderLine(UInt128 depth) {
  std::string line(kCandidateHeaderText);
  line += PToString(depth);
  line += '\n';
  return line;
}

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

bool StageCandidateList(const std::vector<int32_t>& cand, const SieveRange& range,
                        AtomicTextFile& out, const LogFn& log) {
  if (!OpenOutput(out, kWhat, log)) return false;
  std::FILE* f = out.GetStream();
  std::fputs(CandidateHeaderLine(range.pCur).c_str(), f);
  {
    CandidateLineWriter lines(f, range.exponent);
    for (int32_t b : cand) lines.Line(b);
  }
  return FinishOutput(out, kWhat, log);
}

void LogCandidatesWritten(int64_t count, const SieveRange& range, const std::string& path,
                          const LogFn& log) {
  log(StrFormat("%d items %s p value written to %s.", static_cast<int>(count),
                PToString(range.pCur).c_str(), path.c_str()));
}

bool WriteCandidateList(std::vector<int32_t>& cand, const SieveRange& range,
                        const std::string& path, const LogFn& log) {
  AtomicTextFile out(path);
  if (!SortCandidateList(cand, range, log) || !StageCandidateList(cand, range, out, log) ||
      !PublishOutput(out, kWhat, log)) {
    return false;
  }
  LogCandidatesWritten(static_cast<int64_t>(cand.size()), range, path, log);
  return true;
}

bool WriteCandidateBitmap(const std::vector<uint32_t>& bitmap, int64_t count,
                          const SieveRange& range, const std::string& path, const LogFn& log,
                          int64_t* written) {
  AtomicTextFile out(path);
  if (!OpenOutput(out, kWhat, log)) return false;
  std::FILE* f = out.GetStream();
  std::fputs(CandidateHeaderLine(range.pCur).c_str(), f);
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
  if (!CommitOutput(out, kWhat, log)) return false;
  if (written != nullptr) *written = n;
  if (n != count) {
    log(StrFormat("Consistency error, found %d candidates, expected %d candidates.",
                  static_cast<int>(n), static_cast<int>(count)));
  }
  LogCandidatesWritten(n, range, path, log);
  return true;
}

}  // namespace zentrova
