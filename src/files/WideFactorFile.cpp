#include "files/WideFactorFile.h"

#include "files/NumberParse.h"
#include "files/StrFormat.h"

namespace zentrova {

std::string WideFactorHeaderLines(const WideFactorHeader& header) {
  return StrFormat("Zentrova for k^%d+1 [k == %d to %d]\n\n", header.exponent, header.bMin,
                   header.bMax);
}

void AppendWideFactorLine(std::string& out, int32_t b, int32_t exponent, UInt128 p) {
  char head[48];
  const int length = std::snprintf(head, sizeof head, "1*%d^%d + 1 factor : ", b, exponent);
  out.append(head, static_cast<size_t>(length));
  out += PToString(p);
  out += '\n';
}

namespace {

// The text from pos up to the first `end` after it (to the line's end when
// there is none).
std::string_view FieldUpTo(std::string_view text, size_t pos, std::string_view end) {
  const size_t stop = text.find(end, pos);
  return text.substr(pos, stop == std::string_view::npos ? std::string_view::npos : stop - pos);
}

}  // namespace

bool ParseWideFactorHeader(std::string_view line, WideFactorHeader& header, bool* complete,
                           bool* wellFormed) {
  const std::string_view text = LineBody(line);
  if (!text.starts_with(kWideFactorHeaderText)) return false;
  const size_t from = text.find("[k == ");
  const size_t to = from == std::string_view::npos ? from : text.find(" to ", from);
  header = WideFactorHeader{};
  bool good = ParseDecimal(FieldUpTo(text, kWideFactorHeaderText.size(), "+1"), header.exponent);
  if (from != std::string_view::npos) {
    good = ParseDecimal(FieldUpTo(text, from + 6, " to "), header.bMin) && good;
  }
  if (to != std::string_view::npos) {
    good = ParseDecimal(FieldUpTo(text, to + 4, "]"), header.bMax) && good;
  }
  if (complete != nullptr) *complete = to != std::string_view::npos;
  if (wellFormed != nullptr) *wellFormed = good;
  return true;
}

bool ParseWideFactorLine(std::string_view line, int64_t& b, int32_t& exponent, UInt128& p) {
  // "1*<b>^<N> + 1 factor : <p>", each number whole, nothing more.
  static constexpr std::string_view kFactor = " + 1 factor : ";
  const std::string_view text = LineBody(line);
  if (!text.starts_with("1*")) return false;
  const size_t caret = text.find('^');
  const size_t at = text.find(kFactor);
  if (caret == std::string_view::npos || at == std::string_view::npos || caret > at) return false;
  int64_t base = 0;
  int32_t e = 0;
  UInt128 value = 0;
  if (!ParseDecimal(text.substr(2, caret - 2), base) ||
      !ParseDecimal(text.substr(caret + 1, at - caret - 1), e) ||
      !ParsePDigits(text.substr(at + kFactor.size()), value)) {
    return false;
  }
  b = base;
  exponent = e;
  p = value;
  return true;
}

bool IsWideFactorFiller(std::string_view line) {
  const std::string_view text = LineBody(line);
  return text.empty() || text == "Continuing Sieve";
}

}  // namespace zentrova
