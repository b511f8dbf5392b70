// The normal factor file's one writer and one reader: the exact text of its
// header and lines against texts built here, a seeded round trip over the
// whole range of b, N and p, the reader's refusals, and the reader of a line
// of either mode that the rebuild uses.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/FactorFile.h"

namespace zentrova {
namespace {

using test::ScratchDir;
using test::WriteFile;

// Decimal digits of a 128-bit value, printed here rather than by the code
// under test.
std::string DecimalRef(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string digits;
  while (v != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return digits;
}

constexpr UInt128 kTwoTo94 = UInt128{1} << 94;

TEST(FactorFileText, HeaderAndLinesAreTheExactFormat) {
  EXPECT_EQ(FactorHeaderLine(SieveRange{2, 1000, 64, 6, 10000000}, "May 01, 2026  10:00:00"),
            "GFN Factors b^n+1, b=2 to 1000, n=64.  Tested to factor 10000000 : "
            "May 01, 2026  10:00:00.\n");
  EXPECT_EQ(FactorHeaderLine(SieveRange{1200000, 1200998, 65536, 16, 0}, "x"),
            "GFN Factors b^n+1, b=1200000 to 1200998, n=65536.  Tested to factor 0 : x.\n");
  struct Case {
    int32_t b, n;
    UInt128 p;
    const char* text;
  };
  const Case cases[] = {
      {2, 32, 641, "2^32+1 has factor 641\n"},
      {2, 64, 67280421310721, "2^64+1 has factor 67280421310721\n"},
      {2147483646, 1073741824, UInt128{1} << 64,
       "2147483646^1073741824+1 has factor 18446744073709551616\n"},
      {1200000, 65536, kTwoTo94 - 1,
       "1200000^65536+1 has factor 19807040628566084398385987583\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FactorLine(c.b, c.n, c.p), c.text);
  }
}

TEST(FactorFileText, EveryLineAndHeaderReadsBackAsWritten) {
  std::mt19937_64 rng(test::TestSeed());
  for (int i = 0; i < 2000; ++i) {
    const auto b = static_cast<int32_t>(rng() % 2147483647u) + 1;
    const int ln = static_cast<int>(rng() % 30) + 1;
    const int32_t n = int32_t{1} << ln;
    UInt128 p = (static_cast<UInt128>(rng() >> 34) << 64) | rng();  // below 2^94
    if (i % 4 == 0) p >>= 64;                                        // one word
    if (p == 0) p = 1;
    const std::string line = FactorLine(b, n, p);
    ASSERT_EQ(line, std::to_string(b) + "^" + std::to_string(n) + "+1 has factor " +
                        DecimalRef(p) + "\n");
    FactorRecord record;
    int32_t exponent = 0;
    ASSERT_TRUE(ParseFactorLine(line, record, exponent)) << line;
    EXPECT_EQ(record, (FactorRecord{b, p}));
    EXPECT_EQ(exponent, n);

    const SieveRange range{b, b + static_cast<int32_t>(rng() % 1000), n, ln, p};
    FactorHeader header;
    const char* problem = nullptr;
    ASSERT_TRUE(ParseFactorHeader(FactorHeaderLine(range, "March 09, 2026  01:02:03"), header,
                                  &problem));
    EXPECT_EQ(problem, nullptr);
    EXPECT_TRUE(header.hasBMin && header.hasBMax && header.hasExponent && header.hasDepth);
    EXPECT_EQ(header.bMin, range.bMin);
    EXPECT_EQ(header.bMax, range.bMax);
    EXPECT_EQ(header.exponent, n);
    EXPECT_EQ(header.depth, p);
  }
}

// What the reader stops at: the first line that is neither the header nor a
// factor line, named by its number and what it is not.
TEST(ReadFactorFile, RefusesTheFirstLineOfNoFormAndKeepsWhatCameBefore) {
  const char* kBadHeader = "a number of the \"GFN Factors\" header is not a whole decimal number";
  const char* kNoLine =
      "not a line of a factor file (\"<b>^<N>+1 has factor <p>\" or the \"GFN Factors\" header)";
  const std::string header =
      "GFN Factors b^n+1, b=2 to 40, n=32.  Tested to factor 1000000 : now.\n";
  struct Case {
    const char* name;
    std::string text;
    int badLine;
    const char* problem;
    size_t records;
  };
  const std::vector<Case> cases = {
      {"a whole file", header + "2^32+1 has factor 641\n4^32+1 has factor 641\n", 0, nullptr, 2},
      {"a damaged bMax", "GFN Factors b^n+1, b=2 to 4o, n=32.  Tested to factor 5 : now.\n", 1,
       kBadHeader, 0},
      {"a damaged depth", "GFN Factors b^n+1, b=2 to 40, n=32.  Tested to factor 5x : now.\n", 1,
       kBadHeader, 0},
      {"a wide mode's line", header + "2^32+1 has factor 641\n1*4^32 + 1 factor : 641\n", 3,
       kNoLine, 1},
      {"a blank line", header + "2^32+1 has factor 641\n\n4^32+1 has factor 641\n", 3, kNoLine,
       1},
      {"a sign", header + "-2^32+1 has factor 641\n", 2, kNoLine, 0},
      {"text after p", header + "2^32+1 has factor 641 (new)\n", 2, kNoLine, 0},
      {"a second header where it stands", header + "2^32+1 has factor 641\n" + header, 0,
       nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    WriteFile(dir / "f.txt", c.text);
    FactorFileContents contents;
    ASSERT_TRUE(ReadFactorFile(dir / "f.txt", contents));
    EXPECT_EQ(contents.badLine, c.badLine);
    if (c.problem == nullptr) {
      EXPECT_EQ(contents.badProblem, nullptr);
    } else {
      ASSERT_NE(contents.badProblem, nullptr);
      EXPECT_STREQ(contents.badProblem, c.problem);
    }
    EXPECT_EQ(contents.records.size(), c.records);
    EXPECT_EQ(contents.readError, 0);
  }
}

TEST(ReadFactorFile, ReadsBackWhatWriteFactorFileWrote) {
  ScratchDir dir;
  const std::string path = dir / "f.txt";
  // Known factors of Fermat numbers: 2^32+1 = 641 · 6700417, and
  // 4^32+1 = 2^64+1 = 274177 · 67280421310721.
  std::vector<FactorRecord> factors = {{2, 6700417}, {4, 274177}, {2, 641}};
  std::vector<std::string> log;
  bool verified = false;
  ASSERT_TRUE(WriteFactorFile(factors, SieveRange{2, 6, 32, 5, 7000000}, path,
                              [&](const std::string& m) { log.push_back(m); }, &verified));
  EXPECT_TRUE(verified);
  EXPECT_EQ(log, std::vector<std::string>{"3 Factors written to " + path});
  FactorFileContents contents;
  ASSERT_TRUE(ReadFactorFile(path, contents));
  EXPECT_EQ(contents.badLine, 0);
  EXPECT_EQ(contents.header.bMin, 2);
  EXPECT_EQ(contents.header.bMax, 6);
  EXPECT_EQ(contents.header.exponent, 32);
  EXPECT_EQ(contents.header.depth, UInt128{7000000});
  // Sorted by base, the order of equal bases kept.
  EXPECT_EQ(contents.records,
            (std::vector<FactorRecord>{{2, 6700417}, {2, 641}, {4, 274177}}));
  EXPECT_EQ(contents.lineNumbers, (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(contents.exponents, (std::vector<int32_t>{32, 32, 32}));
}

// --- a line of either mode ------------------------------------------------------

TEST(ParseAnyFactorLine, BothModesHeadersFactorsFillersAndEverythingElse) {
  using K = AnyFactorLine;
  struct Case {
    std::string line;
    K::Kind kind;
    int32_t exponent;
    int64_t b;
    UInt128 p;
  };
  // (Line ends come here as LF: the text file reader turns CR LF into LF.)
  const std::vector<Case> cases = {
      {"Zentrova for k^8192+1 [k == 2 to 100]\n", K::kHeader, 8192, 0, 0},
      {"Zentrova for k^8192+1 [k == 2x to 100]\n", K::kBad, 8192, 0, 0},
      {"GFN Factors b^n+1, b=2 to 100, n=64.  Tested to factor 5 : now.\n", K::kHeader, 64, 0,
       0},
      {"GFN Factors b^n+1, b=2 to 100\n", K::kHeader, -1, 0, 0},
      {"GFN Factors\n", K::kHeader, -1, 0, 0},
      {"GFN Factors b^n+1, b=2 to 1o0, n=64.\n", K::kBad, -1, 0, 0},
      {"1*12^8192 + 1 factor : 163841\n", K::kFactor, 8192, 12, 163841},
      {"12^8192+1 has factor 163841\n", K::kFactor, 8192, 12, 163841},
      {"1*2^64 + 1 factor : 19807040628566084398385987583\n", K::kFactor, 64, 2, kTwoTo94 - 1},
      {"2147483647^2+1 has factor 5\n", K::kFactor, 2, 2147483647, 5},
      {"\n", K::kOther, -1, 0, 0},
      {"12^8192+1 has factor 163841", K::kFactor, 8192, 12, 163841},
      {"Continuing Sieve\n", K::kOther, -1, 0, 0},
      {"Continuing Sieve!\n", K::kBad, -1, 0, 0},
      {"12^8192+1 has factor 0\n", K::kBad, -1, 0, 0},
      {"-5^2+1 has factor 26\n", K::kBad, -1, 0, 0},
      {"1*12^8192 + 1 factor : 16x\n", K::kBad, -1, 0, 0},
      {"12^8192+1 is composite\n", K::kBad, -1, 0, 0},
      {"ABC $a^$b+1 // 5\n", K::kBad, -1, 0, 0},
      {"garbage\n", K::kBad, -1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const AnyFactorLine parsed = ParseAnyFactorLine(c.line);
    EXPECT_EQ(parsed.kind, c.kind);
    if (c.kind == K::kBad) continue;
    EXPECT_EQ(parsed.exponent, c.exponent);
    EXPECT_EQ(parsed.b, c.b);
    EXPECT_EQ(parsed.p, c.p);
  }
}

}  // namespace
}  // namespace zentrova
