#include "files/NumberParse.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace zentrova {

namespace {

// Reads [sign] digits from pos; saturates at +-limit.
__int128 ParseSaturating(std::string_view text, size_t pos, __int128 limit) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  __int128 value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value > limit + 1) value = limit + 1;
    ++pos;
  }
  if (negative) return value > limit + 1 ? -(limit + 1) : -value;
  return value > limit ? limit : value;
}

}  // namespace

int32_t ParseInt32At(std::string_view text, size_t pos) {
  if (pos > text.size()) return 0;
  return static_cast<int32_t>(ParseSaturating(text, pos, std::numeric_limits<int32_t>::max()));
}

int64_t ParseInt64At(std::string_view text, size_t pos) {
  if (pos > text.size()) return 0;
  return static_cast<int64_t>(ParseSaturating(text, pos, std::numeric_limits<int64_t>::max()));
}

bool ParseWholeInt64(std::string_view text, int64_t& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

bool ParseWholeUInt64(std::string_view text, uint64_t& value) {
  if (!text.empty() && text[0] == '-') return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

namespace {

template <typename T>
bool ParseDecimalAs(std::string_view text, T& value) {
  if (!AllDigits(text)) return false;
  T v = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size()) return false;
  value = v;
  return true;
}

}  // namespace

bool ParseDecimal(std::string_view text, int32_t& value) {
  return ParseDecimalAs(text, value);
}

bool ParseDecimal(std::string_view text, int64_t& value) {
  return ParseDecimalAs(text, value);
}

}  // namespace zentrova
