#include "sieve/JobMessage.h"

#include <cinttypes>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/NumberParse.h"

namespace zentrova {

namespace {

// The part before the first blank at position 1 or later, and the rest after
// it; false when there is no such blank.
bool SplitAtBlank(const std::string& text, std::string& head, std::string& rest) {
  const size_t blank = text.find(' ');
  if (blank == std::string::npos || blank == 0) return false;
  head = text.substr(0, blank);
  rest = text.substr(blank + 1);
  return true;
}

bool Int32(const std::string& text, int32_t& out) {
  int64_t value = 0;
  if (!ParseWholeInt64(text, value) || value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

JobMessage ParseJobMessage(const std::string& text) {
  JobMessage m;
  if (text.empty()) return m;
  const std::string rest = text.size() > 2 ? text.substr(2) : std::string();
  std::string head, tail;
  switch (text[0]) {
    case '$':
      m.kind = JobMessage::kStatistics;
      if (SplitAtBlank(rest, head, tail)) {
        m.texts = {head, tail};
        std::string digits;
        for (const char c : tail) {
          if (c != ',') digits.push_back(c);
        }
        m.numbers = ParseWholeInt64(head, m.count) && ParsePWhole(digits, m.p);
      }
      break;
    case '&':
      m.kind = JobMessage::kParameters;
      if (SplitAtBlank(rest, head, tail)) {
        m.texts.push_back(head);
        std::string bMax, exponent;
        if (SplitAtBlank(tail, bMax, exponent)) {
          m.texts.push_back(bMax);
          m.texts.push_back(exponent);
          m.numbers = Int32(head, m.bMin) && Int32(bMax, m.bMax) && Int32(exponent, m.exponent);
        }
      }
      break;
    case '@':
      if (text.size() == 1) m.kind = JobMessage::kEnd;
      break;
    default:
      break;
  }
  return m;
}

std::string FormatStatusLine(int32_t count, UInt128 p) {
  return StrFormat("%c %d %s", '$', count, FormatStatusP(p).c_str());
}

std::string FormatStatusP(UInt128 p) {
  constexpr uint64_t kSplit = 1000000000000ULL;
  std::string digits = PToString(p);
  if (p >= kSplit) digits.insert(digits.size() - 12, 1, ',');
  return digits;
}

}  // namespace zentrova
