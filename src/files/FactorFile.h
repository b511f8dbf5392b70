// The normal mode's factor file: its one writer and its one reader.
//
//   "GFN Factors b^n+1, b=<bMin> to <bMax>, n=<N>.  Tested to factor <p> : <time>."
//                                      the header, then
//   "<b>^<N>+1 has factor <p>"         a line per struck base, ascending b
//
// The sieve rewrites the whole file at each save; the report copies its
// lines; the resume, the report, the merge and the rebuild read it. The
// rebuild also takes the wide mode's factor file, so the reader of a line of
// either format lives here too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/PNumber.h"
#include "files/SieveRange.h"

namespace zentrova {

struct FactorRecord {
  int32_t b = 0;
  UInt128 p = 0;
  bool operator==(const FactorRecord&) const = default;
};

inline constexpr std::string_view kFactorHeaderText = "GFN Factors";

// --- writing -------------------------------------------------------------------

// The header line, newline included, with the time stamp given.
std::string FactorHeaderLine(const SieveRange& range, const std::string& timeStamp);
// The line of a struck base, newline included.
std::string FactorLine(int32_t b, int32_t exponent, UInt128 p);

// The local time as the header writes it ("%B %d, %Y  %H:%M:%S").
std::string FactorFileTimeStamp();

// Reports the first record that does not verify ("<b> failed verify in
// factors list.") and returns false then; sorts by b (stable) either way.
bool VerifyAndSortFactors(std::vector<FactorRecord>& factors, const SieveRange& range,
                          const LogFn& log);

// Writes the file, records in the order given, into the completed temporary
// file beside out's target (not yet renamed over it).
bool StageFactorFile(const std::vector<FactorRecord>& factors, const SieveRange& range,
                     AtomicTextFile& out, const LogFn& log);

// Verifies every record (reporting the first failure), sorts by b (stable) and
// writes the factor file with the local time of writing.
// verified, when given, tells whether every record verified.
bool WriteFactorFile(std::vector<FactorRecord>& factors, const SieveRange& range,
                     const std::string& path, const LogFn& log, bool* verified = nullptr);

// --- reading -------------------------------------------------------------------

// Every number of a line is whole decimal digits and nothing else (see
// ParseDecimal), and a line is exactly one of the forms above (its line end
// aside); readers refuse any other line, naming the file and the line.

struct FactorHeader {
  bool hasBMin = false, hasBMax = false, hasExponent = false, hasDepth = false;
  int32_t bMin = 0, bMax = 0, exponent = 0;
  UInt128 depth = 0;
};
// A header (a line starting "GFN Factors"): fills what it finds, in order,
// and returns true. A number in it that is not whole decimal digits up to the
// text that follows it sets problem (when given).
bool ParseFactorHeader(std::string_view line, FactorHeader& header,
                       const char** problem = nullptr);
// A factor line "<b>^<N>+1 has factor <p>" and nothing else: true with b > 0,
// N > 0 and p != 0.
bool ParseFactorLine(std::string_view line, FactorRecord& record, int32_t& exponent);

struct FactorFileContents {
  FactorHeader header;
  std::vector<FactorRecord> records;
  std::vector<int> lineNumbers;     // of each record, for messages
  std::vector<int32_t> exponents;   // the N of each record's line
  int readError = 0;                // errno of a failed read; the records stop there
  int badLine = 0;                  // a line that is neither header nor factor stopped the reading
  const char* badProblem = nullptr; // what is wrong with it
};
// False when the file cannot be opened.
bool ReadFactorFile(const std::string& path, FactorFileContents& out);

// One line of a factor file of either mode. A header of either ("GFN
// Factors ..." or "Zentrova for k^<N>+1 ...") is kHeader with the exponent it
// names; "<b>^<N>+1 has factor <p>" or "1*<b>^<N> + 1 factor : <p>" is
// kFactor with b, its exponent and p; the wide file's blank and "Continuing
// Sieve" lines are kOther. Anything else, a number that is not whole digits
// included, is kBad.
struct AnyFactorLine {
  enum Kind { kOther, kHeader, kFactor, kBad };
  Kind kind = kBad;
  int32_t exponent = -1;  // -1 where the line names none
  int64_t b = 0;
  UInt128 p = 0;
};
AnyFactorLine ParseAnyFactorLine(std::string_view line);

}  // namespace zentrova
