// The wide mode's factor file: its one writer and its one reader.
//
//   "Zentrova for k^<N>+1 [k == <bMin> to <bMax>]"   the header, then a blank line
//   "1*<b>^<N> + 1 factor : <p>"                       a line per base as it is struck,
//                                                      in increasing p
// A resume appends "Continuing Sieve" between blank lines and goes on. The
// sieve appends to the file as it runs, the merge writes a whole one; the
// wide resume, the merge and the rebuild read them with the rules below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "files/PNumber.h"

namespace zentrova {

struct WideFactorHeader {
  int32_t bMin = 0;
  int32_t bMax = 0;
  int32_t exponent = 0;
  bool operator==(const WideFactorHeader&) const = default;
};

inline constexpr std::string_view kWideFactorHeaderText = "Zentrova for k^";
inline constexpr std::string_view kWideFactorContinuing = "\nContinuing Sieve\n\n";

// --- writing -------------------------------------------------------------------

// The header with the blank line after it.
std::string WideFactorHeaderLines(const WideFactorHeader& header);

// Appends the line of a struck base to `out`.
void AppendWideFactorLine(std::string& out, int32_t b, int32_t exponent, UInt128 p);

// --- reading -------------------------------------------------------------------

// Every number of these lines is whole decimal digits and nothing else (see
// ParseDecimal); a reader refuses a line that is none of the forms above.

// A header line (one starting "Zentrova for k^"): fills header and returns
// true; false when the line is none. complete, when given, tells whether the
// line names both ends of the range (a missing number reads as 0);
// wellFormed whether every number it names is whole.
bool ParseWideFactorHeader(std::string_view line, WideFactorHeader& header,
                           bool* complete = nullptr, bool* wellFormed = nullptr);

// A factor line "1*<b>^<N> + 1 factor : <p>": b, the N it names and p; false
// when the line is none (a number that is not whole digits included).
bool ParseWideFactorLine(std::string_view line, int64_t& b, int32_t& exponent, UInt128& p);

// The lines between factor lines that hold none: blank ones, and the
// "Continuing Sieve" of a resume.
bool IsWideFactorFiller(std::string_view line);

// A line that the sieve did not finish writing (the last one, without its
// newline) holds no factor: its base stays a candidate.
inline bool IsWholeLine(std::string_view line) {
  return !line.empty() && line.back() == '\n';
}

}  // namespace zentrova
