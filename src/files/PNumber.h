// The factor candidate p as text: the one printer and the one reader of p for
// every file, message and option.
//
// Files write p in plain decimal, so a file's format does not depend on how
// large its p are. The reader carries values up to 2^128 - 1 exactly, more
// than any run reaches (k < 2^63 and 2N <= 2^31 give p < 2^94), and says
// when the digits go beyond that instead of wrapping around.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zentrova {

using UInt128 = unsigned __int128;

// Decimal digits of p.
std::string PToString(UInt128 p);
// With its sign: a p read from a damaged line may be negative, and a message
// naming it shows it as written.
std::string PToString(int64_t p);
inline std::string PToString(uint64_t p) { return PToString(static_cast<UInt128>(p)); }
// A bound of p: "2^62" for a power of two, else its decimal digits.
std::string PBoundText(UInt128 bound);

// p where a line of a file holds it: blanks skipped, an optional sign, then
// the digits up to the first character that is none.
struct PReading {
  UInt128 magnitude = 0;  // 2^128 - 1 when the digits overflow
  bool negative = false;
  bool digits = false;    // at least one digit
  bool overflow = false;  // the digits do not fit 128 bits
};
PReading ReadPAt(std::string_view text, size_t pos);

// The reading as the files' tables hold p: the value, or kPUnreadable for a
// negative one or one beyond 128 bits (no such p divides anything).
inline constexpr UInt128 kPUnreadable = ~UInt128{0};
UInt128 PValue(const PReading& reading);
inline UInt128 ReadP(std::string_view text, size_t pos) {
  return PValue(ReadPAt(text, pos));
}

// The reading as the 64-bit tables store it: saturated at the int64 limits
// (no p that large divides a base they check), 0 without digits.
int64_t PAsInt64(const PReading& reading);
inline int64_t ReadPAt64(std::string_view text, size_t pos) {
  return PAsInt64(ReadPAt(text, pos));
}

// Digits only, the whole text, within 128 bits (the job messages' p).
bool ParsePWhole(std::string_view text, UInt128& p);
// A p as a file holds it: digits only, the whole text (false for anything
// else); beyond 128 bits it reads as kPUnreadable, which the readers refuse
// with PBeyondText.
bool ParsePDigits(std::string_view text, UInt128& p);

// Every p a sieve reaches is below 2^94 (k below 2^63, N at most 2^30). A
// file's p at or above it is refused by its reader with PBeyondText.
inline constexpr UInt128 kPReadLimit = UInt128{1} << 94;
inline bool PBeyondLimit(UInt128 p) { return p >= kPReadLimit; }
// "p = <digits> is not below 2^94, the largest p of any sieve" (a p beyond
// 128 bits or a negative one is named as such).
std::string PBeyondText(UInt128 p);

// A p given on the command line or in a form: a whole number ("1000000007"),
// or one in scientific notation whose value is whole ("1e15", "6.04e23",
// "1.0000001e20"). False for anything else, for 0 and for values of 2^100 or
// more; the caller checks its own limit.
bool ParsePArgument(std::string_view text, UInt128& p);

}  // namespace zentrova
