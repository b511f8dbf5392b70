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

}  // namespace zentrova
