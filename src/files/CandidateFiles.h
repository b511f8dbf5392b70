// The candidate file (ABC format) and the factor file: line formats, readers'
// parsing rules, writers and the consistency check between the two lists.
//
// Candidate file:  "ABC $a^$b+1 // <depth p>" then "<b> <N>" per base, ascending.
// Factor file:     "GFN Factors b^n+1, b=<bMin> to <bMax>, n=<N>.  Tested to factor
//                  <p> : <time>." then "<b>^<N>+1 has factor <p>" per base, ascending b.
//
// Writers never print; they report through a log callback with the system's
// fixed texts and return false on failure. Every output replaces its target
// atomically, so a failed or interrupted save keeps the previous file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "files/WideFactorFile.h"

namespace zentrova {

using LogFn = std::function<void(const std::string&)>;

struct FactorRecord {
  int32_t b = 0;
  UInt128 p = 0;
  bool operator==(const FactorRecord&) const = default;
};

// What the writers put in headers.
struct SieveRange {
  int32_t bMin = 0;
  int32_t bMax = 0;
  int32_t exponent = 0;
  int32_t ln = 0;
  UInt128 pCur = 0;  // the depth: the factor candidate p last handled
};

inline constexpr std::string_view kCandidateHeaderText = "ABC $a^$b+1 // ";
inline constexpr std::string_view kFactorHeaderText = "GFN Factors";

// --- parsing rules of single lines -------------------------------------------

// Every number of a line is whole decimal digits and nothing else (see
// ParseDecimal), and a line is exactly one of the forms above (its line end
// aside); readers refuse any other line, naming the file and the line.

// A candidate-file header, the depth a whole decimal number: sets depth and
// returns true.
bool ParseCandidateHeader(std::string_view line, UInt128& depth);
// The number after the first blank at position 1 or later; false if none.
bool ParseCandidateExponent(std::string_view line, int32_t& exponent);

// One line of a candidate file as every reader sees it: a header, a base (with
// the exponent its line names, 0 when none), a base too large for 32 bits, or
// a line that is none of these (a header with a damaged depth, a blank line,
// text, a base of 0, a sign, a NUL), which every reader refuses.
struct CandidateLine {
  enum Kind { kHeader, kBase, kTooLarge, kNoBase };
  Kind kind = kNoBase;
  UInt128 depth = 0;               // kHeader
  int32_t b = 0;                   // kBase
  int32_t exponent = 0;            // kBase
  const char* problem = nullptr;   // kNoBase: what the line is not, for the message
};
CandidateLine ParseCandidateLine(std::string_view line);

struct FactorHeader {
  bool hasBMin = false, hasBMax = false, hasExponent = false, hasDepth = false;
  int32_t bMin = 0, bMax = 0, exponent = 0;
  UInt128 depth = 0;
};
// A factor-file header (a line starting "GFN Factors"): fills what it finds,
// in order, and returns true. A number in it that is not whole decimal digits
// up to the text that follows it sets problem (when given).
bool ParseFactorHeader(std::string_view line, FactorHeader& header,
                       const char** problem = nullptr);
// A factor line "<b>^<N>+1 has factor <p>" and nothing else: true with b > 0,
// N > 0 and p != 0.
bool ParseFactorLine(std::string_view line, FactorRecord& record, int32_t& exponent);

// --- whole-file reading --------------------------------------------------------

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

// A candidate file read as a list, for a normal resume: every base with its
// line, in file order, and the depth of every header.
struct CandidateEntry {
  int32_t b = 0;
  int line = 0;
  int32_t exponent = 0;  // the N its line names; 0 when it names none
};
struct CandidateListContents {
  std::vector<UInt128> depths;         // of each header, in file order
  std::vector<CandidateEntry> bases;
  int badLine = 0;                     // a line that is no candidate line stopped the reading here
  const char* badProblem = nullptr;    // what that line is not
  int tooLargeLine = 0;                // a base above 32 bits stopped the reading here
  int readError = 0;                   // errno of a failed read; the list stops there
};
// False when the file cannot be opened.
bool ReadCandidateList(const std::string& path, CandidateListContents& out);

// A candidate file read for a wide resume: range and exponent from its lines,
// one bit per base, and the depth of its header (0 without one).
struct CandidateRange {
  int32_t bMin = 0;
  int32_t bMax = 0;
  int32_t exponent = 0;
  int32_t ln = 0;
  UInt128 depth = 0;
  std::vector<uint32_t> bitmap;  // bit b of word b / 32; (bMax + 31) / 32 + 1 words
  int64_t count = 0;             // distinct bases
};

// Two passes over the file: the range, then the bits. Posts its progress and
// the range line ("& bMin bMax N") through log; false after a message when
// the file cannot be read, its exponent is not a power of two, or a base
// does not fit 32 bits or has the other parity than the smallest one.
//
// With the header of the factor file it pairs with (a wide resume), range and
// exponent are the header's, and every base line must lie in that range, have
// its b Min's parity and name its exponent (or none); the first line that
// does not is named ("<file> line <n>: ...  Nothing was sieved.", the normal
// resume's texts) and the file refused. A file without bases then reads as an
// empty bitmap over the header's range.
bool LoadCandidateRange(const std::string& path, CandidateRange& out, const LogFn& log,
                        const WideFactorHeader* pairedWith = nullptr);

// --- writing -------------------------------------------------------------------

// Sorts the list ascending (failing with "Candidate sort failed.  List is
// corrupted." on duplicates, entries of the other parity or out of range) and
// writes the candidate file.
bool WriteCandidateList(std::vector<int32_t>& cand, const SieveRange& range,
                        const std::string& path, const LogFn& log);

// Writes the candidate file from a bitmap of bases (bit b of word b / 32 set:
// b is a candidate), walking bMin, bMin + 2, ... <= bMax. When the number
// written differs from `count` the mismatch is reported; the file stays.
// Returns the number written through `written`.
bool WriteCandidateBitmap(const std::vector<uint32_t>& bitmap, int64_t count,
                          const SieveRange& range, const std::string& path, const LogFn& log,
                          int64_t* written = nullptr);

// Verifies every record (reporting the first failure), sorts by b (stable) and
// writes the factor file with the local time of writing.
// verified, when given, tells whether every record verified.
bool WriteFactorFile(std::vector<FactorRecord>& factors, const SieveRange& range,
                     const std::string& path, const LogFn& log, bool* verified = nullptr);

// Writes the pair of a normal sieve: both files are completed beside their
// targets before either replaces its target, so a write that fails (a full
// disk) leaves both previous files as they were, with a line saying so.
// Messages as WriteFactorFile and WriteCandidateList.
bool WriteFactorAndCandidateFiles(std::vector<FactorRecord>& factors, std::vector<int32_t>& cand,
                                  const SieveRange& range, const std::string& factorPath,
                                  const std::string& candPath, const LogFn& log,
                                  bool* verified = nullptr);

// Checks, on lists sorted ascending, that every base of the range is in exactly
// one of them. Returns true when consistent.
bool CheckFactorsAndCandidates(const std::vector<int32_t>& cand,
                               const std::vector<FactorRecord>& factors, const SieveRange& range,
                               const LogFn& log);

// The local time as the factor header writes it ("%B %d, %Y  %H:%M:%S").
std::string FactorFileTimeStamp();

// Words of a bitmap over 0 .. bMax, bit b in word b / 32: (bMax + 31) / 32 + 1,
// computed in 64 bits so that a bMax near 2^31 does not wrap.
size_t BitmapWords(int32_t bMax);

// "N = 2^ln" for ln in 1..30; 0 when N is not such a power.
int32_t ExponentLog2(int64_t exponent);

}  // namespace zentrova
