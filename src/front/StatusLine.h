// A sieve's status line, made to fit the terminal. Its key figures (p, P per
// day, the time to the p limit, the time per factor and the bases left
// against those expected) are always there, in their short forms; the rest
// are added, and the short forms lengthened, in order of use while the line
// still fits. Without a width (a file or a pipe) every figure is there in
// full, as in
//   b's left 441280 (expected 441487)  p 2,332470018049  129630 p/s  (p grows
//   2.4e+11/s, 2.07e+16/day)  to p-max 00:00:07  20.7 P/day  last 20 factors
//   in 00:00:10, one per 0.5 s  saved 1,258283335681 at 05:50:46
// and at 80 columns as
//   left 441280/441487  p 2,332470018049  p-max 00:00:07  20.7 P/day  0.5 s/factor
// (each one line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zentrova {

struct StatusFigures {
  int64_t basesLeft = -1;     // -1: unknown
  double expectedLeft = -1;   // -1: unknown
  std::string p;              // the last p, as the job's statistics line writes it
  double pPerSecond = 0;      // candidates p per second
  double pGrowth = 0;         // how fast p grows, per second (0: unknown)
  double secondsToPMax = -1;  // -1: no limit, or no speed yet
  int64_t factors = 0;        // the current removal rate's factors...
  double factorSeconds = 0;   // ...and the time they took (0: no window yet)
  std::string saved;          // "<depth> at <hh:mm:ss>" of the last save; empty: none
};

// The line for a terminal of `columns` columns (shorter than that, so that
// it never wraps; cut when even the key figures do not fit), or, with 0,
// without a limit.
std::string StatusLine(const StatusFigures& figures, size_t columns);

}  // namespace zentrova
