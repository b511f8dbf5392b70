// p as text: the printer, the readers of files and options, and the lines of
// the wide factor file that carry it, on both sides of 2^63, 2^64 and up to
// the largest p a run reaches.
#include <gtest/gtest.h>

#include <string>

#include "files/PNumber.h"
#include "files/WideFactorFile.h"

namespace zentrova {
namespace {

constexpr UInt128 Pow2(int e) {
  return UInt128{1} << e;
}

// Each value with its decimal digits, worked out independently of the code.
TEST(PNumber, PrintsAndReadsBackEveryWidth) {
  struct Case {
    UInt128 value;
    const char* digits;
  };
  const Case cases[] = {
      {0, "0"},
      {7, "7"},
      {Pow2(61) - 1, "2305843009213693951"},
      {Pow2(63), "9223372036854775808"},
      {Pow2(64) - 1, "18446744073709551615"},
      {Pow2(64) + 7, "18446744073709551623"},
      {Pow2(94) - 1, "19807040628566084398385987583"},
      {~UInt128{0}, "340282366920938463463374607431768211455"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    EXPECT_EQ(PToString(c.value), c.digits);
    const PReading r = ReadPAt(std::string("factor : ") + c.digits + "\n", 8);
    EXPECT_TRUE(r.digits);
    EXPECT_FALSE(r.overflow);
    EXPECT_TRUE(r.magnitude == c.value);
    // The 64-bit tables never see a p above 2^64 wrapped to a small one.
    const int64_t narrow = PAsInt64(r);
    EXPECT_EQ(narrow, c.value > Pow2(63) - 1 ? INT64_MAX : static_cast<int64_t>(c.value));
  }
  EXPECT_EQ(PToString(int64_t{-7}), "-7");
  EXPECT_EQ(PToString(INT64_MIN), "-9223372036854775808");
  // Beyond 128 bits, a sign, no digits.
  const PReading over = ReadPAt("340282366920938463463374607431768211456", 0);
  EXPECT_TRUE(over.overflow);
  EXPECT_EQ(PAsInt64(over), INT64_MAX);
  EXPECT_EQ(PAsInt64(ReadPAt("  -12x", 0)), -12);
  EXPECT_FALSE(ReadPAt("x12", 0).digits);
}

TEST(PNumber, ArgumentsAreWholeNumbersInEitherNotation) {
  struct Case {
    const char* text;
    bool ok;
    UInt128 value;
  };
  const Case cases[] = {
      {"1000000007", true, 1000000007},
      {"1e15", true, 1000000000000000},
      {"1.5e3", true, 1500},
      {"6.04e23", true, UInt128{604} * 1000000000 * 1000000000 * 1000},
      {"1.0000001e20", true, UInt128{100000010000000} * 1000000},
      {"18446744073709551623", true, Pow2(64) + 7},
      {"1.23e1", false, 0},  // not whole
      {"0", false, 0},
      {"", false, 0},
      {"1e", false, 0},
      {"-5", false, 0},
      {"12a", false, 0},
      {"1e31", false, 0},  // above 2^100
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    UInt128 value = 0;
    EXPECT_EQ(ParsePArgument(c.text, value), c.ok);
    if (c.ok) {
      EXPECT_TRUE(value == c.value) << PToString(value);
    }
  }
}

// What the sieve and the merge write, the readers take back unchanged.
TEST(WideFactorFile, LinesRoundTrip) {
  const WideFactorHeader header{2, 2000000, 65536};
  std::string text = WideFactorHeaderLines(header);
  EXPECT_EQ(text, "Zentrova for k^65536+1 [k == 2 to 2000000]\n\n");
  WideFactorHeader read;
  bool complete = false;
  ASSERT_TRUE(ParseWideFactorHeader(text, read, &complete));
  EXPECT_TRUE(complete);
  EXPECT_EQ(read, header);
  EXPECT_TRUE(ParseWideFactorHeader("Zentrova for k^8+1 [k == 4", read, &complete));
  EXPECT_FALSE(complete);

  struct Case {
    int32_t b;
    int32_t exponent;
    UInt128 p;
    const char* line;
  };
  const Case cases[] = {
      {1234, 65536, 917504 + 1, "1*1234^65536 + 1 factor : 917505\n"},
      {2, 2, 13, "1*2^2 + 1 factor : 13\n"},
      {2000000, 1048576, Pow2(64) + 2097153, "1*2000000^1048576 + 1 factor : 18446744073711648769\n"},
  };
  for (const Case& c : cases) {
    std::string line;
    AppendWideFactorLine(line, c.b, c.exponent, c.p);
    EXPECT_EQ(line, c.line);
    int64_t b = 0;
    UInt128 p = 0;
    int32_t exponent = 0;
    ASSERT_TRUE(ParseWideFactorLine(line, b, exponent, p));
    EXPECT_EQ(b, c.b);
    EXPECT_EQ(exponent, c.exponent);
    EXPECT_TRUE(p == c.p);
    EXPECT_TRUE(IsWholeLine(line));
    EXPECT_FALSE(IsWholeLine(line.substr(0, line.size() - 1)));
  }
  // Lines of the file that hold no factor, and one of the other format.
  int64_t b = 0;
  UInt128 p = 0;
  int32_t n = 0;
  for (const char* none : {"Continuing Sieve\n", "12^8192+1 has factor 65537\n", "\n"}) {
    EXPECT_FALSE(ParseWideFactorLine(none, b, n, p)) << none;
  }
}

}  // namespace
}  // namespace zentrova
