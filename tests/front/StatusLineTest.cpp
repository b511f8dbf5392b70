// The status line at the widths of real terminals: it never reaches the last
// column, keeps its key figures from 80 columns on, says more as the
// terminal widens, and has every figure in full without a width.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/StatusLine.h"

namespace zentrova {
namespace {

StatusFigures Typical() {
  StatusFigures s;
  s.basesLeft = 441280;
  s.expectedLeft = 441487.2;
  s.p = "2,332470018049";
  s.pPerSecond = 129630;
  s.pGrowth = 2.4e11;  // 20.7 P/day
  s.secondsToPMax = 7;
  s.factors = 20;
  s.factorSeconds = 10;
  s.saved = "1,258283335681 at 05:50:46";
  return s;
}

// A p of 19 digits, counts of 7 and days to go.
StatusFigures Large() {
  StatusFigures s = Typical();
  s.basesLeft = 9876543;
  s.expectedLeft = 9876600;
  s.p = "9223,372036854775807";
  s.pGrowth = 1.2e13;  // 1036.8 P/day
  s.secondsToPMax = 3 * 86400 + 4 * 3600;
  s.factors = 20;
  s.factorSeconds = 7200;
  return s;
}

// A run's first tick: no rate of growth, removal rate or save yet.
StatusFigures Young() {
  StatusFigures s;
  s.basesLeft = 1000;
  s.p = "1205,000000001";
  s.pPerSecond = 5000;
  return s;
}

TEST(StatusLine, FitsTheTerminalAndKeepsItsKeyFigures) {
  struct Case {
    const char* what;
    StatusFigures figures;
    size_t columns;
    std::string line;  // exact; empty: only the key figures checked
    std::vector<std::string> keys;
  };
  const std::vector<std::string> typicalKeys = {"441280",   "441487",     "p 2,332470018049",
                                                "00:00:07", "20.7 P/day", "0.5 s"};
  const Case cases[] = {
      {"typical, 80", Typical(), 80,
       "left 441280/441487  p 2,332470018049  p-max 00:00:07  20.7 P/day  0.5 s/factor",
       typicalKeys},
      {"typical, 100", Typical(), 100,
       "b's left 441280 (expected 441487)  p 2,332470018049  to p-max 00:00:07  20.7 P/day  "
       "0.5 s/factor",
       typicalKeys},
      {"typical, 132", Typical(), 132,
       "b's left 441280 (expected 441487)  p 2,332470018049  to p-max 00:00:07  20.7 P/day  "
       "last 20 factors in 00:00:10, one per 0.5 s",
       typicalKeys},
      {"typical, 200", Typical(), 200, "", typicalKeys},
      {"large, 80",
       Large(),
       80,
       "left 9876543/9876600 p 9223,372036854775807 p-max 3d04h 1037 P/day 360 s/factor",
       {"9876543", "9876600", "p 9223,372036854775807", "1037 P/day", "3d04h", "360 s"}},
      {"young, 80", Young(), 80, "b's left 1000  p 1205,000000001  5000 p/s", {}},
      // Narrower than the key figures: cut, never wrapped.
      {"typical, 40", Typical(), 40, "left 441280/441487 p 2,332470018049 p-m", {}},
      {"typical, no width", Typical(), 0,
       "b's left 441280 (expected 441487)  p 2,332470018049  129630 p/s  (p grows 2.4e+11/s, "
       "2.07e+16/day)  to p-max 00:00:07  20.7 P/day  last 20 factors in 00:00:10, one per "
       "0.5 s  saved 1,258283335681 at 05:50:46",
       typicalKeys},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = StatusLine(c.figures, c.columns);
    if (c.columns > 0) {
      EXPECT_LT(line.size(), c.columns) << line;
    }
    if (!c.line.empty()) {
      EXPECT_EQ(line, c.line);
    }
    for (const std::string& key : c.keys) EXPECT_NE(line.find(key), std::string::npos) << key;
  }
}

// A wider terminal never shows less: every width from 80 to 300 keeps what
// the one before it showed, figure by figure.
TEST(StatusLine, SaysMoreAsTheTerminalWidens) {
  for (const StatusFigures& figures : {Typical(), Large()}) {
    std::string before = StatusLine(figures, 80);
    for (size_t columns = 81; columns <= 300; ++columns) {
      const std::string line = StatusLine(figures, columns);
      EXPECT_LT(line.size(), columns);
      EXPECT_GE(line.size(), before.size()) << columns;
      before = line;
    }
    EXPECT_EQ(before, StatusLine(figures, 0));
  }
}

// No factor in the window yet, and the fields that are unknown, are said so
// or left out, never shown as zero.
TEST(StatusLine, UnknownFiguresAreLeftOut) {
  StatusFigures s = Young();
  s.factorSeconds = 30;
  EXPECT_EQ(StatusLine(s, 0), "b's left 1000  p 1205,000000001  5000 p/s  no factor in 00:00:30");
  EXPECT_EQ(StatusLine(s, 80), "b's left 1000  p 1205,000000001  5000 p/s  no factor in 00:00:30");
  s.basesLeft = -1;
  EXPECT_EQ(StatusLine(s, 0), "p 1205,000000001  5000 p/s  no factor in 00:00:30");
}

}  // namespace
}  // namespace zentrova
