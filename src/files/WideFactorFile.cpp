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

bool ParseWideFactorHeader(std::string_view line, WideFactorHeader& header, bool* complete) {
  const size_t head = line.find(kWideFactorHeaderText);
  if (head == std::string_view::npos) return false;
  const size_t from = line.find("[k == ", head);
  const size_t to = from == std::string_view::npos ? from : line.find(" to ", from);
  header = WideFactorHeader{};
  header.exponent = ParseInt32At(line, head + kWideFactorHeaderText.size());
  if (from != std::string_view::npos) header.bMin = ParseInt32At(line, from + 6);
  if (to != std::string_view::npos) header.bMax = ParseInt32At(line, to + 4);
  if (complete != nullptr) *complete = to != std::string_view::npos;
  return true;
}

bool ParseWideFactorLine(std::string_view line, int64_t& b, int32_t& exponent, UInt128& p) {
  const size_t one = line.find("1*");
  if (one == std::string_view::npos) return false;
  const size_t at = line.find("factor : ", one);
  const size_t caret = line.find('^', one);
  if (at == std::string_view::npos || caret == std::string_view::npos || caret > at) return false;
  b = ParseInt64At(line, one + 2);
  exponent = ParseInt32At(line, caret + 1);
  p = ReadP(line, at + 9);
  return true;
}

}  // namespace zentrova
