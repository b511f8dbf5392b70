// The command line's JobSink: log lines are printed with a time stamp; the
// statistics line becomes a live status line (rewritten in place on a
// terminal, cut to its width so that it stays one line; printed once a
// minute otherwise); "&" shows the range read from input files; "@" marks
// the end of the job.
//
// A sieve's status line is made from the runner's figures
// (front/JobRunner.h) by front/StatusLine.h, to fit the terminal's width.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "files/PNumber.h"
#include "front/JobRunner.h"
#include "sieve/JobSink.h"

namespace zentrova {

struct StatusSample {
  int64_t pCount = 0;  // candidates p sieved (or k values written) so far
  UInt128 pLast = 0;  // the last p
  std::string file;    // the packed K file being written, if any
  RunProgress run;     // the runner's figures
};

class ConsoleSink : public JobSink {
 public:
  ConsoleSink(std::FILE* out, std::FILE* status, UInt128 pTarget);

  void Post(std::string message) override;

  // The status line of the packed K creation job: k, p, values per second and
  // the file being written, instead of the sieve's figures.
  void SetPackMode(uint64_t twoN) { m_packTwoN = twoN; }

  // Called by the front end on each 5-second tick with the loop's counters,
  // before the job answers the tick, so that rates cover the last interval.
  void Sample(const StatusSample& sample);

  // A line for the user, outside the job's messages.
  void Note(const std::string& text);

  static std::string TimeStamp();

 private:
  void ClearStatusLocked();
  void PrintStatusLocked(const std::string& text);

  std::FILE* m_out;
  std::FILE* m_status;
  bool m_statusIsTty;
  bool m_lineErase;          // the terminal takes "\033[K"
  size_t m_shownLength = 0;  // of the status line on screen
  UInt128 m_pTarget;
  uint64_t m_packTwoN = 0;
  std::string m_file;
  std::mutex m_mutex;
  bool m_statusShown = false;
  // What takes the cursor back over the status line and clears it.
  std::string EraseLine() const;

  // Rates over the last interval.
  std::chrono::steady_clock::time_point m_lastTime;
  StatusSample m_last;
  double m_pPerSecond = 0;     // candidates p per second
  double m_rangePerSecond = 0;  // growth of p per second
  RunProgress m_run;            // the runner's figures at the last sample
  std::chrono::steady_clock::time_point m_lastPrinted{};
};


}  // namespace zentrova
