#include "sieve/StatusLine.h"

#include <cinttypes>

#include "files/Format.h"
#include "files/NumberParse.h"

namespace zentrova {

std::string FormatStatusLine(int32_t count, uint64_t p) {
  constexpr uint64_t kSplit = 1000000000000ULL;
  if (p < kSplit) return StrFormat("%c %d %" PRId64, '$', count, static_cast<int64_t>(p));
  const std::string digits = StrFormat("%" PRIu64, p);
  const std::string lead = digits.substr(0, digits.size() - 12);
  const std::string tail = digits.substr(digits.size() - 12);
  return StrFormat("%c %d %s,%s", '$', count, lead.c_str(), tail.c_str());
}

bool ParseStatusLine(const std::string& line, int64_t& count, uint64_t& p) {
  if (line.size() < 2 || line[0] != '$') return false;
  count = ParseInt64At(line, 1);
  const size_t blank = line.find(' ', 2);
  if (blank == std::string::npos) return false;
  std::string digits;
  for (size_t i = blank + 1; i < line.size(); ++i) {
    if (line[i] >= '0' && line[i] <= '9') digits.push_back(line[i]);
  }
  return ParseWholeUInt64(digits, p);
}

}  // namespace zentrova
