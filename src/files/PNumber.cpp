#include "files/PNumber.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace zentrova {

namespace {

constexpr UInt128 kAllOnes = ~UInt128{0};
// Options stop well above every p a run reaches, so that the scaling below
// cannot overflow.
constexpr UInt128 kArgumentLimit = UInt128{1} << 100;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string PBoundText(UInt128 bound) {
  if (bound != 0 && (bound & (bound - 1)) == 0) {
    int e = 0;
    while ((static_cast<UInt128>(1) << e) != bound) ++e;
    return "2^" + std::to_string(e);
  }
  return PToString(bound);
}

std::string PToString(UInt128 p) {
  char digits[40];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(p % 10));
    p /= 10;
  } while (p != 0);
  std::string out(static_cast<size_t>(n), '0');
  for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = digits[n - 1 - i];
  return out;
}

std::string PToString(int64_t p) {
  if (p >= 0) return PToString(static_cast<UInt128>(p));
  // The magnitude of INT64_MIN does not fit int64: negate in 128 bits.
  std::string out(1, '-');
  out += PToString(static_cast<UInt128>(-static_cast<__int128>(p)));
  return out;
}

PReading ReadPAt(std::string_view text, size_t pos) {
  PReading r;
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    r.negative = text[pos] == '-';
    ++pos;
  }
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    r.digits = true;
    if (r.overflow) continue;
    const auto d = static_cast<unsigned>(text[pos] - '0');
    if (r.magnitude > (kAllOnes - d) / 10) {
      r.overflow = true;
      r.magnitude = kAllOnes;
      continue;
    }
    r.magnitude = r.magnitude * 10 + d;
  }
  return r;
}

UInt128 PValue(const PReading& reading) {
  if (reading.negative && reading.magnitude != 0) return kPUnreadable;
  return reading.overflow ? kPUnreadable : reading.magnitude;
}

int64_t PAsInt64(const PReading& reading) {
  constexpr auto kMax = static_cast<UInt128>(std::numeric_limits<int64_t>::max());
  if (!reading.negative) {
    return static_cast<int64_t>(std::min(reading.magnitude, kMax));
  }
  if (reading.magnitude > kMax) return std::numeric_limits<int64_t>::min();
  return -static_cast<int64_t>(reading.magnitude);
}

std::string PBeyondText(UInt128 p) {
  const std::string what = p == kPUnreadable ? "a p of more than 128 bits, or a negative one,"
                                             : "p = " + PToString(p);
  return what + " is not below 2^94, the largest p of any sieve";
}

bool ParsePWhole(std::string_view text, UInt128& p) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  const PReading r = ReadPAt(text, 0);
  if (r.overflow) return false;
  p = r.magnitude;
  return true;
}

bool ParsePDigits(std::string_view text, UInt128& p) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  p = PValue(ReadPAt(text, 0));
  return true;
}

bool ParsePArgument(std::string_view text, UInt128& p) {
  if (text.empty()) return false;
  const size_t e = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, e);
  int exponent = 0;
  if (e != std::string_view::npos) {
    const std::string_view expText = text.substr(e + 1);
    if (expText.empty() || expText.size() > 3) return false;
    for (const char c : expText) {
      if (!IsDigit(c)) return false;
      exponent = exponent * 10 + (c - '0');
    }
  }
  UInt128 v = 0;
  int fraction = -1;  // digits after the point, -1 while none seen
  int digits = 0;
  for (const char c : mantissa) {
    if (c == '.' && fraction < 0 && e != std::string_view::npos) {
      fraction = 0;
      continue;
    }
    if (!IsDigit(c)) return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    ++digits;
    if (fraction >= 0) ++fraction;
    if (v >= kArgumentLimit) return false;
  }
  if (digits == 0) return false;
  exponent -= std::max(fraction, 0);
  for (; exponent > 0; --exponent) {
    v *= 10;
    if (v >= kArgumentLimit) return false;
  }
  for (; exponent < 0; ++exponent) {
    if (v % 10 != 0) return false;
    v /= 10;
  }
  if (v == 0) return false;
  p = v;
  return true;
}

}  // namespace zentrova
