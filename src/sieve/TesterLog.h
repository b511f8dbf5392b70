// Reading a base out of a tester's log line: the run of digits that ends at
// the "^" of "<b>^<N>+1".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/NumberParse.h"

namespace zentrova {

// What every tester writes on the line of a composite result.
inline constexpr std::string_view kComposite = "omposite";

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The first position of the run of digits that ends right before `caret`
// (`caret` itself when the character before it is no digit).
inline size_t DigitsBefore(const std::string& line, size_t caret) {
  size_t start = caret;
  while (start > 0 && IsDigit(line[start - 1])) --start;
  return start;
}

// The value of the digits in [start, end); 0 when there are none. Long runs
// saturate, which puts them above every 32-bit range.
inline int64_t DigitsValue(const std::string& line, size_t start, size_t end) {
  if (start >= end) return 0;
  return ParseInt64At(std::string_view(line).substr(start, end - start), 0);
}

}  // namespace zentrova
