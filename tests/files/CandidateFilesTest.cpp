// The candidate and factor files: exact line formats, the readers' parsing
// rules, the writers' messages and failure behaviour, and the consistency
// check between the two lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/StrFormat.h"
#include "platform/Files.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

// Collects what the writers report.
struct LogSink {
  std::vector<std::string> messages;
  LogFn Fn() {
    return [this](const std::string& m) { messages.push_back(m); };
  }
};

// --- independent arithmetic for known factors ------------------------------------

uint64_t PowModRef(uint64_t base, uint64_t e, uint64_t p) {
  unsigned __int128 result = 1 % p;
  unsigned __int128 x = base % p;
  while (e > 0) {
    if (e & 1) result = result * x % p;
    x = x * x % p;
    e >>= 1;
  }
  return static_cast<uint64_t>(result);
}

bool IsPrimeRef(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

// p divides b^N + 1.
bool DividesRef(uint64_t b, uint64_t exponent, uint64_t p) {
  return PowModRef(b, exponent, p) == p - 1;
}

// All prime factors p < pLimit of b^N+1 for b in [bFrom, bTo], N = 2^ln. Odd
// prime factors of such numbers are 1 modulo 2N, so only those are tried.
std::vector<FactorRecord> FindFactors(int ln, int32_t bFrom, int32_t bTo, uint64_t pLimit) {
  const uint64_t exponent = uint64_t{1} << ln;
  std::vector<FactorRecord> found;
  for (int32_t b = bFrom; b <= bTo; ++b) {
    for (uint64_t p = 2 * exponent + 1; p < pLimit; p += 2 * exponent) {
      if (IsPrimeRef(p) && DividesRef(static_cast<uint64_t>(b), exponent, p)) {
        found.push_back({b, p});
      }
    }
  }
  return found;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string FormatLocal(std::time_t t) {
  const std::tm local = platform::LocalTime(t);
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, "%B %d, %Y  %H:%M:%S", &local);
  return std::string(buffer, n);
}

// --- single-line parsing --------------------------------------------------------

TEST(CandidateLineParsing, Header) {
  UInt128 depth = 1;
  EXPECT_TRUE(ParseCandidateHeader("ABC $a^$b+1 // 1000000\n", depth));
  EXPECT_EQ(depth, UInt128{1000000});
  EXPECT_TRUE(ParseCandidateHeader("ABC $a^$b+1 // 1234567890123", depth));
  EXPECT_EQ(depth, UInt128{1234567890123});
  // Without a depth the line is no header (it was read as depth 0 once).
  EXPECT_FALSE(ParseCandidateHeader("ABC $a^$b+1 // \n", depth));
  EXPECT_EQ(depth, UInt128{1234567890123});
  depth = 0;

  depth = 77;
  EXPECT_FALSE(ParseCandidateHeader("12 32\n", depth));
  EXPECT_FALSE(ParseCandidateHeader("ABC $a^$b-1 // 5\n", depth));
  EXPECT_FALSE(ParseCandidateHeader("GFN Factors b^n+1, b=2 to 4, n=32.\n", depth));
  EXPECT_FALSE(ParseCandidateHeader("", depth));
  EXPECT_EQ(depth, UInt128{77});
}

TEST(CandidateLineParsing, BaseAndExponent) {
  // Both readers of the file classify a line the same way.
  struct Case {
    const char* line;
    CandidateLine::Kind kind;
    int32_t b, exponent;
  };
  for (const Case& c : {Case{"12 32\n", CandidateLine::kBase, 12, 32},
                        Case{"2147483647 1024\n", CandidateLine::kBase, INT32_MAX, 1024},
                        Case{"2147483648 1024\n", CandidateLine::kTooLarge, 0, 0},
                        Case{"99999999999999999999999 2\n", CandidateLine::kTooLarge, 0, 0},
                        Case{"12\n", CandidateLine::kBase, 12, 0},
                        Case{"\n", CandidateLine::kNoBase, 0, 0},
                        Case{"ABC $a^$b+1 // 5\n", CandidateLine::kHeader, 0, 0},
                        Case{"-4 32\n", CandidateLine::kNoBase, 0, 0}}) {
    const CandidateLine got = ParseCandidateLine(c.line);
    EXPECT_EQ(got.kind, c.kind) << c.line;
    EXPECT_EQ(got.b, c.b) << c.line;
    EXPECT_EQ(got.exponent, c.exponent) << c.line;
  }

  int32_t exponent = -1;
  EXPECT_TRUE(ParseCandidateExponent("12 32\n", exponent));
  EXPECT_EQ(exponent, 32);
  EXPECT_TRUE(ParseCandidateExponent("123456 1073741824", exponent));
  EXPECT_EQ(exponent, 1073741824);
  EXPECT_TRUE(ParseCandidateExponent("12   64\n", exponent));
  EXPECT_EQ(exponent, 64);
  EXPECT_TRUE(ParseCandidateExponent("12 x\n", exponent));
  EXPECT_EQ(exponent, 0);

  exponent = 99;
  EXPECT_FALSE(ParseCandidateExponent("12\n", exponent));
  EXPECT_FALSE(ParseCandidateExponent("", exponent));
  EXPECT_FALSE(ParseCandidateExponent("\n", exponent));
  EXPECT_FALSE(ParseCandidateExponent(" 32\n", exponent));
  EXPECT_EQ(exponent, 99);
}

TEST(CandidateLineParsing, FirstLineWithoutBlankLeavesTheExponentToTheNextLine) {
  // What a reader of a candidate file sees line by line.
  const std::vector<std::string> lines = {"ABC $a^$b+1 // 5000\n", "12\n", "14 64\n", "16 64\n"};
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(lines[0], depth));
  EXPECT_EQ(depth, UInt128{5000});
  int32_t exponent = 0;
  EXPECT_EQ(ParseCandidateLine(lines[1]).b, 12);
  EXPECT_FALSE(ParseCandidateExponent(lines[1], exponent));
  EXPECT_EQ(exponent, 0);
  EXPECT_EQ(ParseCandidateLine(lines[2]).b, 14);
  EXPECT_TRUE(ParseCandidateExponent(lines[2], exponent));
  EXPECT_EQ(exponent, 64);
}

TEST(FactorLineParsing, HeaderFieldsAreFilledInOrder) {
  {
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader(
        "GFN Factors b^n+1, b=10 to 20000, n=1024.  Tested to factor 123456789012 : "
        "December 08, 2026  13:59:04.\n",
        h));
    EXPECT_TRUE(h.hasBMin && h.hasBMax && h.hasExponent && h.hasDepth);
    EXPECT_EQ(h.bMin, 10);
    EXPECT_EQ(h.bMax, 20000);
    EXPECT_EQ(h.exponent, 1024);
    EXPECT_EQ(h.depth, 123456789012);
  }
  {
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors\n", h));
    EXPECT_FALSE(h.hasBMin || h.hasBMax || h.hasExponent || h.hasDepth);
  }
  {
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors b^n+1, b=7\n", h));
    EXPECT_TRUE(h.hasBMin);
    EXPECT_EQ(h.bMin, 7);
    EXPECT_FALSE(h.hasBMax || h.hasExponent || h.hasDepth);
  }
  {
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors b^n+1, b=7 to 99\n", h));
    EXPECT_TRUE(h.hasBMin && h.hasBMax);
    EXPECT_EQ(h.bMax, 99);
    EXPECT_FALSE(h.hasExponent || h.hasDepth);
  }
  {
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors b^n+1, b=7 to 99, n=64.\n", h));
    EXPECT_TRUE(h.hasBMin && h.hasBMax && h.hasExponent);
    EXPECT_EQ(h.exponent, 64);
    EXPECT_FALSE(h.hasDepth);
  }
  {
    // Without "b=" nothing later counts, though it is there.
    FactorHeader h;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors 7 to 99, n=64.  Tested to factor 5 : x.\n", h));
    EXPECT_FALSE(h.hasBMin || h.hasBMax || h.hasExponent || h.hasDepth);
  }
  {
    // Without " to " neither n= nor the depth is taken, and b Min runs to
    // the line's end: "7, n=64." is no number, which the readers refuse.
    FactorHeader h;
    const char* problem = nullptr;
    EXPECT_TRUE(ParseFactorHeader("GFN Factors b=7, n=64.\n", h, &problem));
    EXPECT_TRUE(h.hasBMin);
    EXPECT_NE(problem, nullptr);
    EXPECT_FALSE(h.hasBMax || h.hasExponent || h.hasDepth);
  }
  {
    FactorHeader h;
    h.bMin = 3;
    EXPECT_FALSE(ParseFactorHeader("12^32+1 has factor 641\n", h));
    EXPECT_FALSE(ParseFactorHeader("ABC $a^$b+1 // 5\n", h));
    EXPECT_FALSE(h.hasBMin);
    EXPECT_EQ(h.bMin, 3);
  }
}

TEST(FactorLineParsing, FactorLines) {
  FactorRecord r;
  int32_t exponent = 0;
  ASSERT_TRUE(ParseFactorLine("2^32+1 has factor 641\n", r, exponent));
  EXPECT_EQ(r, (FactorRecord{2, 641}));
  EXPECT_EQ(exponent, 32);

  ASSERT_TRUE(ParseFactorLine("2^64+1 has factor 67280421310721", r, exponent));
  EXPECT_EQ(r, (FactorRecord{2, 67280421310721u}));
  EXPECT_EQ(exponent, 64);

  // The exponent of the line is reported, not checked against the file's.
  ASSERT_TRUE(ParseFactorLine("12^999+1 has factor 5\n", r, exponent));
  EXPECT_EQ(r, (FactorRecord{12, 5}));
  EXPECT_EQ(exponent, 999);

  const FactorRecord untouched{77, 777};
  for (const char* line :
       {"12^32+1 has factor 0\n", "12^0+1 has factor 5\n", "0^32+1 has factor 5\n",
        "-12^32+1 has factor 5\n", "12^32+1 has factor\n", "12^32+1\n", "12 32\n", "garbage\n",
        "\n", "", "x^32+1 has factor 5\n"}) {
    SCOPED_TRACE(std::string("line \"") + line + "\"");
    r = untouched;
    EXPECT_FALSE(ParseFactorLine(line, r, exponent));
    EXPECT_EQ(r, untouched);
  }
}

// --- reading factor files -----------------------------------------------------------

TEST(ReadFactorFile, CrLfFileWithGarbageAndEmptyLines) {
  ScratchDir dir;
  WriteFile(dir / "f.txt",
            "GFN Factors b^n+1, b=2 to 40, n=32.  Tested to factor 1000000 : "
            "December 08, 2026  13:59:04.\r\n"    // line 1
            "2^32+1 has factor 641\r\n"           // 2
            "not a factor line\r\n"               // 3
            "\r\n"                                // 4: the reading goes on after it
            "4^32+1 has factor 0\r\n"             // 5: skipped
            "10^32+1 has factor 1000\r\n"         // 6: stored, not checked
            "0^32+1 has factor 7\r\n"             // 7: skipped
            "12^999+1 has factor 5\r\n"           // 8
            "\r\n"                                // 9
            "40^32+1 has factor 18446744073\r\n"  // 10 (no check either)
  );
  FactorFileContents contents;
  ASSERT_TRUE(ReadFactorFile(dir / "f.txt", contents));
  EXPECT_TRUE(contents.header.hasBMin && contents.header.hasBMax && contents.header.hasExponent &&
              contents.header.hasDepth);
  EXPECT_EQ(contents.header.bMin, 2);
  EXPECT_EQ(contents.header.bMax, 40);
  EXPECT_EQ(contents.header.exponent, 32);
  EXPECT_EQ(contents.header.depth, 1000000);
  // The first line that is no factor line stops the reading; the readers
  // refuse the file there.
  EXPECT_EQ(contents.records, (std::vector<FactorRecord>{{2, 641}}));
  EXPECT_EQ(contents.lineNumbers, (std::vector<int>{2}));
  EXPECT_EQ(contents.badLine, 3);
  EXPECT_NE(contents.badProblem, nullptr);
}

TEST(ReadFactorFile, FileWithoutHeaderOrFinalNewline) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", "2^32+1 has factor 641\n\n2^32+1 has factor 6700417");
  FactorFileContents contents;
  ASSERT_TRUE(ReadFactorFile(dir / "f.txt", contents));
  EXPECT_FALSE(contents.header.hasBMin || contents.header.hasBMax || contents.header.hasExponent ||
               contents.header.hasDepth);
  EXPECT_EQ(contents.records, (std::vector<FactorRecord>{{2, 641}}));
  EXPECT_EQ(contents.lineNumbers, (std::vector<int>{1}));
  EXPECT_EQ(contents.badLine, 2);  // a blank line
  WriteFile(dir / "f.txt", "2^32+1 has factor 641\n2^32+1 has factor 6700417");
  ASSERT_TRUE(ReadFactorFile(dir / "f.txt", contents));
  EXPECT_EQ(contents.records, (std::vector<FactorRecord>{{2, 641}, {2, 6700417}}));
  EXPECT_EQ(contents.badLine, 0);

  WriteFile(dir / "empty.txt", "");
  ASSERT_TRUE(ReadFactorFile(dir / "empty.txt", contents));
  EXPECT_TRUE(contents.records.empty());
  EXPECT_FALSE(contents.header.hasBMin);

  EXPECT_FALSE(ReadFactorFile(dir / "missing.txt", contents));
}

// --- writing candidate files -----------------------------------------------------

TEST(WriteCandidateList, SortsAndWritesTheExactFormat) {
  ScratchDir dir;
  const std::string path = dir / "cand.txt";
  SieveRange range{10, 20, 32, 5, 1234567890123};
  std::vector<int32_t> cand = {16, 10, 20, 12};
  LogSink log;
  ASSERT_TRUE(WriteCandidateList(cand, range, path, log.Fn()));
  EXPECT_EQ(ReadFile(path),
            "ABC $a^$b+1 // 1234567890123\n"
            "10 32\n"
            "12 32\n"
            "16 32\n"
            "20 32\n");
  EXPECT_EQ(cand, (std::vector<int32_t>{10, 12, 16, 20}));
  EXPECT_EQ(log.messages,
            std::vector<std::string>{"4 items 1234567890123 p value written to " + path + "."});
}

TEST(WriteCandidateList, OddBasesAndBasesAcrossWordBoundaries) {
  ScratchDir dir;
  const std::string path = dir / "cand.txt";
  SieveRange range{3, 129, 1024, 10, 99};
  std::vector<int32_t> cand = {129, 33, 3, 63, 31, 65, 95, 97};
  LogSink log;
  ASSERT_TRUE(WriteCandidateList(cand, range, path, log.Fn()));
  EXPECT_EQ(ReadFile(path),
            "ABC $a^$b+1 // 99\n3 1024\n31 1024\n33 1024\n63 1024\n65 1024\n95 1024\n97 1024\n"
            "129 1024\n");
  EXPECT_EQ(log.messages, std::vector<std::string>{"8 items 99 p value written to " + path + "."});
}

TEST(WriteCandidateList, RandomSubsetsComeOutSorted) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  ScratchDir dir;
  const std::string path = dir / "cand.txt";
  for (int round = 0; round < 20; ++round) {
    const int32_t bMin = 2 + static_cast<int32_t>(rng() % 1000);
    const int32_t bMax = bMin + 2 + static_cast<int32_t>(rng() % 3000);
    std::vector<int32_t> expected;
    for (int32_t b = bMin; b <= bMax; b += 2) {
      if (rng() % 3 == 0) expected.push_back(b);
    }
    std::vector<int32_t> cand = expected;
    std::shuffle(cand.begin(), cand.end(), rng);
    SCOPED_TRACE("round " + std::to_string(round) + " range " + std::to_string(bMin) + ".." +
                 std::to_string(bMax) + " count " + std::to_string(cand.size()));
    LogSink log;
    ASSERT_TRUE(WriteCandidateList(cand, SieveRange{bMin, bMax, 256, 8, 5000}, path, log.Fn()));
    std::string want = "ABC $a^$b+1 // 5000\n";
    for (int32_t b : expected) want += std::to_string(b) + " 256\n";
    EXPECT_EQ(ReadFile(path), want);
  }
}

TEST(WriteCandidateList, CorruptListsAreRefusedAndTheOldFileKept) {
  ScratchDir dir;
  const std::string path = dir / "cand.txt";
  const std::string previous = "ABC $a^$b+1 // 7\n10 32\n";
  const SieveRange range{10, 20, 32, 5, 1000};
  const std::vector<std::vector<int32_t>> corrupt = {
      {10, 12, 12},  // duplicate
      {12, 12},      // only duplicates
      {10, 13},      // other parity
      {10, 22},      // above bMax
      {8, 10},       // below bMin
      {-2, 10},      // negative
  };
  for (const auto& list : corrupt) {
    SCOPED_TRACE("list starting " + std::to_string(list[0]) + ", " + std::to_string(list[1]));
    WriteFile(path, previous);
    std::vector<int32_t> cand = list;
    LogSink log;
    EXPECT_FALSE(WriteCandidateList(cand, range, path, log.Fn()));
    EXPECT_EQ(log.messages, std::vector<std::string>{"Candidate sort failed.  List is corrupted."});
    EXPECT_EQ(ReadFile(path), previous);
  }
  // Nor is a file created when there was none.
  std::filesystem::remove(path);
  std::vector<int32_t> cand = {10, 10};
  LogSink log;
  EXPECT_FALSE(WriteCandidateList(cand, range, path, log.Fn()));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            0);
}

TEST(WriteCandidateList, SingleAndEmptyListsNeedNoSorting) {
  ScratchDir dir;
  const std::string path = dir / "cand.txt";
  const SieveRange range{10, 20, 32, 5, 1000};
  {
    // A single entry is written as it is, even outside the range.
    std::vector<int32_t> cand = {999};
    LogSink log;
    ASSERT_TRUE(WriteCandidateList(cand, range, path, log.Fn()));
    EXPECT_EQ(ReadFile(path), "ABC $a^$b+1 // 1000\n999 32\n");
    EXPECT_EQ(log.messages,
              std::vector<std::string>{"1 items 1000 p value written to " + path + "."});
  }
  {
    std::vector<int32_t> cand;
    LogSink log;
    ASSERT_TRUE(WriteCandidateList(cand, range, path, log.Fn()));
    EXPECT_EQ(ReadFile(path), "ABC $a^$b+1 // 1000\n");
    EXPECT_EQ(log.messages,
              std::vector<std::string>{"0 items 1000 p value written to " + path + "."});
  }
}

TEST(WriteCandidateList, MissingFolderIsReported) {
  ScratchDir dir;
  const std::string path = dir / "missing/cand.txt";
  std::vector<int32_t> cand = {12, 10};
  LogSink log;
  EXPECT_FALSE(WriteCandidateList(cand, SieveRange{10, 20, 32, 5, 1000}, path, log.Fn()));
  EXPECT_EQ(log.messages, (std::vector<std::string>{
                              "Unable to open output file " + path + ".",
                              "Unable to create a temporary file beside " + path +
                                  ": No such file or directory."}));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing"));
}

// --- writing factor files ----------------------------------------------------------

TEST(WriteFactorFile, KnownFactorsOfTwoToTheThirtySecondPlusOne) {
  // 2^32 + 1 = 641 * 6700417, checked here independently of the sieve's arithmetic.
  ASSERT_TRUE(DividesRef(2, 32, 641));
  ASSERT_TRUE(DividesRef(2, 32, 6700417));
  ASSERT_EQ(uint64_t{641} * 6700417, (uint64_t{1} << 32) + 1);

  ScratchDir dir;
  const std::string path = dir / "factors.txt";
  // Equal bases keep their order.
  std::vector<FactorRecord> factors = {{2, 6700417}, {2, 641}};
  const SieveRange range{2, 100, 32, 5, 10000000};
  LogSink log;
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(WriteFactorFile(factors, range, path, log.Fn()));
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(log.messages, std::vector<std::string>{"2 Factors written to " + path});

  const std::vector<std::string> lines = SplitLines(ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  const std::string prefix = "GFN Factors b^n+1, b=2 to 100, n=32.  Tested to factor 10000000 : ";
  ASSERT_EQ(lines[0].substr(0, prefix.size()), prefix);
  const std::string stamp = lines[0].substr(prefix.size());
  ASSERT_FALSE(stamp.empty());
  EXPECT_EQ(stamp.back(), '.');
  const std::string time_text = stamp.substr(0, stamp.size() - 1);
  EXPECT_TRUE(std::regex_match(
      time_text, std::regex("[A-Z][a-z]+ [0-9]{2}, [0-9]{4}  [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << time_text;
  bool matches_now = false;
  for (std::time_t t = before; t <= after; ++t) matches_now |= time_text == FormatLocal(t);
  EXPECT_TRUE(matches_now) << time_text;
  EXPECT_EQ(lines[1], "2^32+1 has factor 6700417");
  EXPECT_EQ(lines[2], "2^32+1 has factor 641");
}

TEST(WriteFactorFile, TimeStampHasTheHeaderFormat) {
  const std::time_t before = std::time(nullptr);
  const std::string stamp = FactorFileTimeStamp();
  const std::time_t after = std::time(nullptr);
  bool matches_now = false;
  for (std::time_t t = before; t <= after; ++t) matches_now |= stamp == FormatLocal(t);
  EXPECT_TRUE(matches_now) << stamp;
  const std::set<std::string> months = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
  EXPECT_EQ(months.count(stamp.substr(0, stamp.find(' '))), 1u) << stamp;
}

TEST(WriteFactorFile, FactorsAboveThirtyTwoBitsAndLargerExponents) {
  // 2^64 + 1 = 274177 * 67280421310721.
  ASSERT_TRUE(DividesRef(2, 64, 274177));
  ASSERT_TRUE(DividesRef(2, 64, 67280421310721u));
  ScratchDir dir;
  const std::string path = dir / "factors.txt";
  std::vector<FactorRecord> factors = {{2, 67280421310721u}, {2, 274177}};
  LogSink log;
  ASSERT_TRUE(
      WriteFactorFile(factors, SieveRange{2, 1000, 64, 6, 123456789012345}, path, log.Fn()));
  const std::vector<std::string> lines = SplitLines(ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("GFN Factors b^n+1, b=2 to 1000, n=64.  Tested to factor "
                           "123456789012345 : ",
                           0),
            0u);
  EXPECT_EQ(lines[1], "2^64+1 has factor 67280421310721");
  EXPECT_EQ(lines[2], "2^64+1 has factor 274177");
  EXPECT_EQ(log.messages, std::vector<std::string>{"2 Factors written to " + path});
}

TEST(WriteFactorFile, SortsByBaseStablyAndReadsBack) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  // Real factors of b^32+1 for a band of bases, some bases with several.
  std::vector<FactorRecord> factors = FindFactors(5, 2, 80, 40000);
  factors.push_back({2, 641});
  factors.push_back({2, 6700417});
  ASSERT_GT(factors.size(), 20u);
  std::shuffle(factors.begin(), factors.end(), rng);

  // The expected order: bases ascending, each base's factors as they came.
  std::map<int32_t, std::vector<uint64_t>> by_base;
  for (const FactorRecord& r : factors) by_base[r.b].push_back(r.p);
  std::string want_body;
  std::vector<FactorRecord> want_records;
  for (const auto& [b, ps] : by_base) {
    for (uint64_t p : ps) {
      want_body += std::to_string(b) + "^32+1 has factor " + std::to_string(p) + "\n";
      want_records.push_back({b, p});
    }
  }

  ScratchDir dir;
  const std::string path = dir / "factors.txt";
  LogSink log;
  const SieveRange range{2, 80, 32, 5, 40000};
  ASSERT_TRUE(WriteFactorFile(factors, range, path, log.Fn()));
  EXPECT_EQ(log.messages, std::vector<std::string>{std::to_string(want_records.size()) +
                                                   " Factors written to " + path});
  const std::string text = ReadFile(path);
  const size_t header_end = text.find('\n');
  ASSERT_NE(header_end, std::string::npos);
  EXPECT_EQ(text.substr(header_end + 1), want_body);
  EXPECT_EQ(factors, want_records);

  FactorFileContents contents;
  ASSERT_TRUE(ReadFactorFile(path, contents));
  EXPECT_TRUE(contents.header.hasDepth);
  EXPECT_EQ(contents.header.bMin, 2);
  EXPECT_EQ(contents.header.bMax, 80);
  EXPECT_EQ(contents.header.exponent, 32);
  EXPECT_EQ(contents.header.depth, 40000);
  EXPECT_EQ(contents.records, want_records);
}

TEST(WriteFactorFile, FirstFailedVerifyIsReportedAndTheFileStillWritten) {
  ASSERT_TRUE(DividesRef(2, 32, 641));
  ASSERT_FALSE(DividesRef(4, 32, 641));
  ASSERT_FALSE(DividesRef(8, 32, 193));
  ScratchDir dir;
  const std::string path = dir / "factors.txt";
  std::vector<FactorRecord> factors = {{2, 641}, {4, 641}, {8, 193}};
  LogSink log;
  ASSERT_TRUE(WriteFactorFile(factors, SieveRange{2, 10, 32, 5, 1000}, path, log.Fn()));
  EXPECT_EQ(log.messages, (std::vector<std::string>{"4 failed verify in factors list.",
                                                    "3 Factors written to " + path}));
  const std::vector<std::string> lines = SplitLines(ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "2^32+1 has factor 641");
  EXPECT_EQ(lines[2], "4^32+1 has factor 641");
  EXPECT_EQ(lines[3], "8^32+1 has factor 193");

  // A factor of b^32+1 is not one of b^64+1: the range's exponent decides.
  std::vector<FactorRecord> wrong_exponent = {{2, 641}};
  LogSink log2;
  ASSERT_TRUE(WriteFactorFile(wrong_exponent, SieveRange{2, 10, 64, 6, 1000}, path, log2.Fn()));
  EXPECT_EQ(log2.messages, (std::vector<std::string>{"2 failed verify in factors list.",
                                                     "1 Factors written to " + path}));
}

TEST(WriteFactorFile, EmptyListAndMissingFolder) {
  ScratchDir dir;
  {
    const std::string path = dir / "factors.txt";
    std::vector<FactorRecord> factors;
    LogSink log;
    ASSERT_TRUE(WriteFactorFile(factors, SieveRange{10, 20, 32, 5, 77}, path, log.Fn()));
    const std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("GFN Factors b^n+1, b=10 to 20, n=32.  Tested to factor 77 : ", 0),
              0u);
    EXPECT_EQ(log.messages, std::vector<std::string>{"0 Factors written to " + path});
  }
  {
    const std::string path = dir / "missing/factors.txt";
    std::vector<FactorRecord> factors = {{2, 641}};
    LogSink log;
    EXPECT_FALSE(WriteFactorFile(factors, SieveRange{2, 20, 32, 5, 1000}, path, log.Fn()));
    EXPECT_EQ(log.messages, (std::vector<std::string>{
                                "Unable to open output factor file " + path + ".",
                                "Unable to create a temporary file beside " + path +
                                    ": No such file or directory."}));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing"));
  }
}

// --- consistency of the two lists ---------------------------------------------------

struct ConsistencyCase {
  const char* name;
  int32_t bMin, bMax;
  std::vector<int32_t> cand;
  std::vector<int32_t> factorBases;
  bool consistent;
  std::string message;
};

TEST(CheckFactorsAndCandidates, EveryBaseInExactlyOneList) {
  const std::vector<ConsistencyCase> cases = {
      {"split", 10, 14, {10, 14}, {12}, true, "Factors and candidates consistent from 10 to 14."},
      {"in both at the end",
       10,
       14,
       {10, 14},
       {12, 14},
       false,
       "Duplicate entry in factor and candidate file 14."},
      {"in both at the start",
       10,
       14,
       {10, 12},
       {10, 14},
       false,
       "Duplicate entry in factor and candidate file 10."},
      {"no factors", 10, 14, {10, 14}, {}, false, "Missing entry in factor or candidate file 12."},
      {"missing last", 10, 14, {10}, {12}, false, "Missing entry in factor or candidate file 14."},
      {"missing first", 10, 14, {12}, {14}, false, "Missing entry in factor or candidate file 10."},
      {"odd range",
       11,
       15,
       {11, 15},
       {13},
       true,
       "Factors and candidates consistent from 11 to 15."},
      {"odd range missing",
       11,
       15,
       {11, 15},
       {},
       false,
       "Missing entry in factor or candidate file 13."},
      {"odd range ignores even entries",
       11,
       15,
       {11, 12, 15},
       {13, 14},
       true,
       "Factors and candidates consistent from 11 to 15."},
      {"several factors for one base",
       10,
       16,
       {10, 16},
       {12, 12, 14, 14, 14},
       true,
       "Factors and candidates consistent from 10 to 16."},
      {"all candidates",
       10,
       16,
       {10, 12, 14, 16},
       {},
       true,
       "Factors and candidates consistent from 10 to 16."},
      {"all factors",
       10,
       16,
       {},
       {10, 12, 14, 16},
       true,
       "Factors and candidates consistent from 10 to 16."},
      {"both empty", 10, 16, {}, {}, false, "Missing entry in factor or candidate file 10."},
      {"entries beyond the range",
       10,
       14,
       {4, 10, 12, 20},
       {14, 30},
       true,
       "Factors and candidates consistent from 10 to 14."},
  };
  for (const ConsistencyCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FactorRecord> factors;
    for (int32_t b : c.factorBases) factors.push_back({b, 1000003});
    LogSink log;
    const SieveRange range{c.bMin, c.bMax, 32, 5, 0};
    EXPECT_EQ(CheckFactorsAndCandidates(c.cand, factors, range, log.Fn()), c.consistent);
    EXPECT_EQ(log.messages, std::vector<std::string>{c.message});
  }
}

TEST(CheckFactorsAndCandidates, WrittenFilesOfARealSplitAreConsistent) {
  // Split a band of bases by whether b^32+1 has a small factor, as a sieve would.
  const std::vector<FactorRecord> found = FindFactors(5, 2, 200, 20000);
  std::set<int32_t> factored;
  for (const FactorRecord& r : found) factored.insert(r.b);
  std::vector<int32_t> cand;
  std::vector<FactorRecord> factors;
  for (int32_t b = 2; b <= 200; b += 2) {
    if (factored.count(b)) {
      for (const FactorRecord& r : found) {
        if (r.b == b) factors.push_back(r);
      }
    } else {
      cand.push_back(b);
    }
  }
  ASSERT_FALSE(cand.empty());
  ASSERT_FALSE(factors.empty());
  const SieveRange range{2, 200, 32, 5, 20000};
  LogSink log;
  EXPECT_TRUE(CheckFactorsAndCandidates(cand, factors, range, log.Fn()));
  EXPECT_EQ(log.messages,
            std::vector<std::string>{"Factors and candidates consistent from 2 to 200."});

  // Moving one factored base into the candidates breaks it.
  std::vector<int32_t> spoiled = cand;
  spoiled.push_back(factors.front().b);
  std::sort(spoiled.begin(), spoiled.end());
  LogSink log2;
  EXPECT_FALSE(CheckFactorsAndCandidates(spoiled, factors, range, log2.Fn()));
  EXPECT_EQ(log2.messages,
            std::vector<std::string>{"Duplicate entry in factor and candidate file " +
                                     std::to_string(factors.front().b) + "."});
}

// --- exponent ----------------------------------------------------------------------

TEST(LoadCandidateRange, RangeBitsAndCountOfAnyFileAndReadFailures) {
  ScratchDir dir;
  struct Case {
    std::string text;
    int32_t bMin, bMax;
    int64_t depth, count;
  };
  // Bases above 10^9 and up to the largest int32, CR-only line ends, a
  // repeated base counted once.
  for (const Case& c : std::vector<Case>{
           {"ABC $a^$b+1 // 1\n1500000001 8192\n1500000003 8192\n", 1500000001, 1500000003, 1, 2},
           {"ABC $a^$b+1 // 77\r2147483646 8192\r2147483644 8192\r2147483646 8192\r", 2147483644,
            2147483646, 77, 2},
           {"12 8192\n10 8192\n", 10, 12, 0, 2}}) {
    WriteFile(dir / "c.txt", c.text);
    CandidateRange range;
    std::vector<std::string> log;
    ASSERT_TRUE(LoadCandidateRange(dir / "c.txt", range, [&](const std::string& l) {
      log.push_back(l);
    })) << log.back();
    EXPECT_EQ(range.bMin, c.bMin);
    EXPECT_EQ(range.bMax, c.bMax);
    EXPECT_EQ(range.depth, c.depth);
    EXPECT_EQ(range.count, c.count);
    EXPECT_EQ(range.exponent, 8192);
    for (int64_t b = c.bMin; b <= c.bMax; b += 2) {
      EXPECT_TRUE((range.bitmap[static_cast<size_t>(b >> 5)] >> (b & 31)) & 1) << b;
    }
  }
  CandidateRange range;
  std::vector<std::string> log;
  EXPECT_FALSE(LoadCandidateRange(dir.Path().string(), range,
                                  [&](const std::string& l) { log.push_back(l); }));
  EXPECT_EQ(log.back(), "Unable to open input candidate file " + dir.Path().string() + ".");
}

// --- the pair saved together ---------------------------------------------------------

// A range split between the two files by brute force: bases with a factor
// below 3000 go to the factor file, the rest to the candidate file.
struct PairFixture {
  SieveRange range{2, 60, 32, 5, 3000};
  std::vector<FactorRecord> factors;
  std::vector<int32_t> cand;
  PairFixture() {
    factors = FindFactors(5, 2, 60, 3000);
    std::set<int32_t> struck;
    for (const FactorRecord& r : factors) struck.insert(r.b);
    for (int32_t b = 60; b >= 2; b -= 2) {
      if (struck.count(b) == 0) cand.push_back(b);  // descending: the save sorts
    }
  }
};

TEST(WriteFactorAndCandidateFiles, WritesBothFilesAsTheSingleWritersDo) {
  ScratchDir dir;
  PairFixture f;
  ASSERT_FALSE(f.factors.empty());
  ASSERT_FALSE(f.cand.empty());
  std::vector<FactorRecord> factors = f.factors;
  std::vector<int32_t> cand = f.cand;
  LogSink log;
  bool verified = false;
  ASSERT_TRUE(WriteFactorAndCandidateFiles(factors, cand, f.range, dir / "f.txt", dir / "c.txt",
                                           log.Fn(), &verified));
  EXPECT_TRUE(verified);
  EXPECT_EQ(log.messages,
            (std::vector<std::string>{
                StrFormat("%d Factors written to %s", static_cast<int>(f.factors.size()),
                          (dir / "f.txt").c_str()),
                StrFormat("%d items 3000 p value written to %s.", static_cast<int>(f.cand.size()),
                          (dir / "c.txt").c_str())}));
  // The same text as the two writers on their own (the time stamp aside).
  std::vector<FactorRecord> alone = f.factors;
  std::vector<int32_t> aloneCand = f.cand;
  LogSink ignored;
  ASSERT_TRUE(WriteFactorFile(alone, f.range, dir / "f1.txt", ignored.Fn()));
  ASSERT_TRUE(WriteCandidateList(aloneCand, f.range, dir / "c1.txt", ignored.Fn()));
  EXPECT_EQ(ReadFile(dir / "c.txt"), ReadFile(dir / "c1.txt"));
  const std::vector<std::string> pair = SplitLines(ReadFile(dir / "f.txt"));
  const std::vector<std::string> single = SplitLines(ReadFile(dir / "f1.txt"));
  ASSERT_EQ(pair.size(), single.size());
  for (size_t i = 1; i < pair.size(); ++i) EXPECT_EQ(pair[i], single[i]);
  EXPECT_TRUE(CheckFactorsAndCandidates(cand, factors, f.range, ignored.Fn()));
}

TEST(WriteFactorAndCandidateFiles, AFailedSaveLeavesBothPreviousFiles) {
  struct Case {
    const char* name;
    bool factorMissing, candMissing;
    bool corrupt;  // a base twice in the candidate list
  };
  for (const Case& c : {Case{"factor file unwritable", true, false, false},
                        Case{"candidate file unwritable", false, true, false},
                        Case{"corrupt list", false, false, true}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string fPath = c.factorMissing ? dir / "missing/f.txt" : dir / "f.txt";
    const std::string cPath = c.candMissing ? dir / "missing/c.txt" : dir / "c.txt";
    if (!c.factorMissing) WriteFile(fPath, "old factors\n");
    if (!c.candMissing) WriteFile(cPath, "old candidates\n");
    PairFixture f;
    std::vector<FactorRecord> factors = f.factors;
    std::vector<int32_t> cand = f.cand;
    if (c.corrupt) cand.push_back(cand.front());
    LogSink log;
    EXPECT_FALSE(WriteFactorAndCandidateFiles(factors, cand, f.range, fPath, cPath, log.Fn()));
    std::vector<std::string> want;
    if (c.corrupt) {
      want = {"Candidate sort failed.  List is corrupted."};
    } else if (c.factorMissing) {
      want = {"Unable to open output factor file " + fPath + ".",
              "Unable to create a temporary file beside " + fPath + ": No such file or directory.",
              "Sieve file " + cPath + " was not replaced either, so that it still pairs with the "
                                      "factor file."};
    } else {
      want = {"Unable to open output file " + cPath + ".",
              "Unable to create a temporary file beside " + cPath + ": No such file or directory.",
              "Factor file " + fPath + " was not replaced either, so that it still pairs with the "
                                       "sieve file."};
    }
    EXPECT_EQ(log.messages, want);
    if (!c.factorMissing) {
      EXPECT_EQ(ReadFile(fPath), "old factors\n");
    }
    if (!c.candMissing) {
      EXPECT_EQ(ReadFile(cPath), "old candidates\n");
    }
    // No temporary file is left beside either.
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(entries, 2u - (c.factorMissing ? 1u : 0u) - (c.candMissing ? 1u : 0u));
  }
}

TEST(ExponentLog2, PowersOfTwoFromTwoToTwoToTheThirty) {
  EXPECT_EQ(ExponentLog2(2), 1);
  EXPECT_EQ(ExponentLog2(4), 2);
  EXPECT_EQ(ExponentLog2(32), 5);
  EXPECT_EQ(ExponentLog2(65536), 16);
  EXPECT_EQ(ExponentLog2(1073741824), 30);
  for (int64_t not_power :
       {int64_t{0}, int64_t{1}, int64_t{-2}, int64_t{3}, int64_t{6}, int64_t{12}, int64_t{1023},
        int64_t{1025}, int64_t{2147483648}, int64_t{4294967296}, int64_t{-1073741824}}) {
    SCOPED_TRACE(not_power);
    EXPECT_EQ(ExponentLog2(not_power), 0);
  }
}

}  // namespace
}  // namespace zentrova
