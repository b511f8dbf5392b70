// The job-message protocol, in one place: a job posts "$ <b's left> <p>"
// (statistics; p from 10^12 on as its leading digits, a comma and its last
// twelve digits), "& <bMin> <bMax> <N>" (the range read from input files),
// "@" (the end of the job) or a log line. Jobs format with FormatStatusLine;
// every front end reads with ParseJobMessage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/PNumber.h"

namespace zentrova {

struct JobMessage {
  enum Kind { kStatistics, kParameters, kEnd, kLog };
  Kind kind = kLog;
  // Statistics: [0] b's left, [1] current p, as posted. Parameters: b Min,
  // b Max, exponent, as far as the text holds them. Each only when present.
  std::vector<std::string> texts;
  // The same as numbers, when the texts are all there and read as such.
  bool numbers = false;
  int64_t count = 0;  // statistics: b's left
  UInt128 p = 0;      // statistics: current p
  int32_t bMin = 0, bMax = 0, exponent = 0;  // parameters
};

JobMessage ParseJobMessage(const std::string& text);

// Whether a message is a log line (not statistics, range or end of job).
inline bool IsLogLine(const std::string& message) {
  return !message.empty() && message[0] != '$' && message[0] != '&' && message != "@";
}

std::string FormatStatusLine(int32_t count, UInt128 p);
// p as the statistics line writes it: from 10^12 on, its leading digits, a
// comma and its last twelve digits.
std::string FormatStatusP(UInt128 p);

}  // namespace zentrova
