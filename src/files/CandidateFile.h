// The candidate file (ABC format): its one writer and its one reader.
//
//   "ABC $a^$b+1 // <p>"    the header: the depth, the factor candidate p last handled
//   "<b> <N>"               a line per base still a candidate, ascending b
//
// The normal sieve writes it from a list, the wide sieve and the rebuild from
// a bitmap of bases; the resumes, the merge and the to-be-factored job read it.
// Writers never print; they report through a log callback with the system's
// fixed texts and return false on failure. Every output replaces its target
// atomically, so a failed or interrupted save keeps the previous file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/AtomicTextFile.h"
#include "files/PNumber.h"
#include "files/SieveRange.h"
#include "files/WideFactorFile.h"

namespace zentrova {

inline constexpr std::string_view kCandidateHeaderText = "ABC $a^$b+1 // ";

// --- parsing rules of single lines -------------------------------------------

// Every number of a line is whole decimal digits and nothing else (see
// ParseDecimal), and a line is exactly one of the forms above (its line end
// aside); readers refuse any other line, naming the file and the line.

// A header, the depth a whole decimal number: sets depth and returns true.
bool ParseCandidateHeader(std::string_view line, UInt128& depth);
// The number after the first blank at position 1 or later; false if none.
bool ParseCandidateExponent(std::string_view line, int32_t& exponent);

// One line as every reader sees it: a header, a base (with the exponent its
// line names, 0 when none), a base too large for 32 bits, or a line that is
// none of these (a header with a damaged depth, a blank line, text, a base of
// 0, a sign, a NUL), which every reader refuses.
struct CandidateLine {
  enum Kind { kHeader, kBase, kTooLarge, kNoBase };
  Kind kind = kNoBase;
  UInt128 depth = 0;               // kHeader
  int32_t b = 0;                   // kBase
  int32_t exponent = 0;            // kBase
  const char* problem = nullptr;   // kNoBase: what the line is not, for the message
};
CandidateLine ParseCandidateLine(std::string_view line);

// --- whole-file reading --------------------------------------------------------

// What a reader says of a file with bases but no header: "Sieve file <path>
// has no depth line "ABC $a^$b+1 // <p>": sieving starts at the first p."
std::string NoDepthLineText(const std::string& path);

// The file read as a list, for a normal resume: every base with its line, in
// file order, and the depth of every header.
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

// The file read for a wide resume: range and exponent from its lines, one bit
// per base, and the depth of its header (0 without one).
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

// The header line, newline included.
std::string CandidateHeaderLine(UInt128 depth);

// Sorts the list ascending through a bitmap of the range; false after
// "Candidate sort failed.  List is corrupted." when it holds a base twice, of
// the other parity or outside the range.
bool SortCandidateList(std::vector<int32_t>& cand, const SieveRange& range, const LogFn& log);

// Writes the file from a sorted list into the completed temporary file beside
// out's target (not yet renamed over it).
bool StageCandidateList(const std::vector<int32_t>& cand, const SieveRange& range,
                        AtomicTextFile& out, const LogFn& log);

// "<count> items <p> p value written to <path>."
void LogCandidatesWritten(int64_t count, const SieveRange& range, const std::string& path,
                          const LogFn& log);

// Sorts the list (SortCandidateList) and writes the file.
bool WriteCandidateList(std::vector<int32_t>& cand, const SieveRange& range,
                        const std::string& path, const LogFn& log);

// Writes the file from a bitmap of bases (bit b of word b / 32 set: b is a
// candidate), walking bMin, bMin + 2, ... <= bMax. When the number written
// differs from `count` the mismatch is reported; the file stays. Returns the
// number written through `written`.
bool WriteCandidateBitmap(const std::vector<uint32_t>& bitmap, int64_t count,
                          const SieveRange& range, const std::string& path, const LogFn& log,
                          int64_t* written = nullptr);

// Words of a bitmap over 0 .. bMax, bit b in word b / 32: (bMax + 31) / 32 + 1,
// computed in 64 bits so that a bMax near 2^31 does not wrap.
size_t BitmapWords(int32_t bMax);

}  // namespace zentrova
