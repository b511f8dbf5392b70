// Number reading with the C conversions' rules, made safe for any input:
// leading white space skipped, an optional sign, digits up to the first
// non-digit, 0 when there are none. Values beyond the type saturate instead of
// being undefined.
#pragma once

#include <cstdint>
#include <string_view>

namespace zentrova {

int32_t ParseInt32At(std::string_view text, size_t pos = 0);
int64_t ParseInt64At(std::string_view text, size_t pos = 0);

// Strict parsing of a whole token (command-line values): returns false on any
// character that is not part of the number or on overflow.
bool ParseWholeInt64(std::string_view text, int64_t& value);
bool ParseWholeUInt64(std::string_view text, uint64_t& value);

// A number as the files hold it: decimal digits and nothing else (no sign,
// no blank; leading zeros are digits like any other), within the type. Every
// reader of a file takes its numbers this way, so that "17x", "17.0", "+17"
// or "1e19" is refused rather than read by its first digits.
bool ParseDecimal(std::string_view text, int32_t& value);
bool ParseDecimal(std::string_view text, int64_t& value);
bool AllDigits(std::string_view text);

// A line of a text file without its line end (the reader gives "\n" for any):
// the text up to the first "\n".
inline std::string_view LineBody(std::string_view line) {
  return line.substr(0, line.find('\n'));
}

}  // namespace zentrova
