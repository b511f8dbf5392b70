#include "front/StatusLine.h"

#include <cinttypes>
#include <vector>

#include "files/StrFormat.h"
#include "front/JobRunner.h"

namespace zentrova {

namespace {

// One figure of the line: its short form (empty: none, the figure is left
// out while it does not fit) and its full form.
struct Figure {
  std::string brief;
  std::string full;
  bool wide = false;  // shown in full
};

std::string SecondsEach(double seconds) {
  return seconds >= 100 ? StrFormat("%.0f", seconds) : StrFormat("%.3g", seconds);
}

// P (10^15) per day: three figures, whole ones from 1000 on.
std::string PerDay(double perSecond) {
  const double perDay = perSecond * 86400 / 1e15;
  return perDay >= 1000 ? StrFormat("%.0f P/day", perDay) : StrFormat("%.3g P/day", perDay);
}

// A time span in at most 8 characters: "hh:mm:ss", or "NdHHh" from a day on.
std::string BriefDuration(double seconds) {
  if (seconds < 86400) return FormatDuration(seconds);
  const auto hours = static_cast<int64_t>(seconds / 3600 + 0.5);
  return StrFormat("%" PRId64 "d%02" PRId64 "h", hours / 24, hours % 24);
}

std::string Join(const std::vector<Figure>& figures, const char* between) {
  std::string line;
  for (const Figure& f : figures) {
    const std::string& text = f.wide ? f.full : f.brief;
    if (text.empty()) continue;
    if (!line.empty()) line += between;
    line += text;
  }
  return line;
}

}  // namespace

std::string StatusLine(const StatusFigures& s, size_t columns) {
  enum { kBases, kP, kRate, kGrowth, kToPMax, kPerDay, kFactors, kSaved, kCount };
  std::vector<Figure> f(kCount);
  if (s.basesLeft >= 0) {
    f[kBases].full = StrFormat("b's left %" PRId64, s.basesLeft);
    f[kBases].brief = f[kBases].full;
    if (s.expectedLeft >= 0) {
      f[kBases].full += StrFormat(" (expected %.0f)", s.expectedLeft);
      f[kBases].brief = StrFormat("left %" PRId64 "/%.0f", s.basesLeft, s.expectedLeft);
    }
  }
  f[kP].brief = f[kP].full = "p " + s.p;
  f[kRate].full = StrFormat("%.0f p/s", s.pPerSecond);
  if (s.pGrowth > 0) {
    f[kGrowth].full = StrFormat("(p grows %.3g/s, %.3g/day)", s.pGrowth, s.pGrowth * 86400);
    f[kPerDay].brief = f[kPerDay].full = PerDay(s.pGrowth);
  }
  if (s.secondsToPMax >= 0) {
    f[kToPMax].full = "to p-max " + FormatDuration(s.secondsToPMax);
    f[kToPMax].brief = "p-max " + BriefDuration(s.secondsToPMax);
  }
  if (s.factorSeconds > 0) {
    const std::string window =
        StrFormat("last %" PRId64 " factor%s in %s", s.factors, s.factors == 1 ? "" : "s",
                  FormatDuration(s.factorSeconds).c_str());
    if (s.factors > 0) {
      const double each = s.factorSeconds / static_cast<double>(s.factors);
      f[kFactors].full = window + ", one per " + SecondsEach(each) + " s";
      f[kFactors].brief = SecondsEach(each) + " s/factor";
    } else {
      f[kFactors].full = "no factor in " + FormatDuration(s.factorSeconds);
      f[kFactors].brief = "no factor yet";
    }
  }
  if (!s.saved.empty()) f[kSaved].full = "saved " + s.saved;

  if (columns == 0) {
    for (Figure& figure : f) figure.wide = true;
    return Join(f, "  ");
  }
  const size_t room = columns > 1 ? columns - 1 : 0;  // the cursor stays on the line
  // The key figures' short forms, apart by one blank where two do not fit.
  const char* between = Join(f, "  ").size() <= room ? "  " : " ";
  // Lengthened in this order while the line fits: the forms that say more
  // about the key figures first, then the others by use.
  for (const int i : {kBases, kToPMax, kFactors, kRate, kSaved, kGrowth}) {
    if (f[i].full.empty() || f[i].full == f[i].brief) continue;
    f[i].wide = true;
    if (Join(f, between).size() > room) f[i].wide = false;
  }
  std::string line = Join(f, between);
  if (line.size() > room) line.resize(room);
  return line;
}

}  // namespace zentrova
