#include "cli/ConsoleSink.h"

#include <ctime>

#include "files/StrFormat.h"
#include "front/StatusLine.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "sieve/JobMessage.h"

namespace zentrova {

ConsoleSink::ConsoleSink(std::FILE* out, std::FILE* status, UInt128 pTarget)
    : m_out(out),
      m_status(status),
      m_statusIsTty(platform::IsTerminal(status)),
      m_lineErase(m_statusIsTty && platform::EnableLineErase(status)),
      m_pTarget(pTarget),
      m_lastTime(std::chrono::steady_clock::now()) {}

std::string ConsoleSink::TimeStamp() {
  const std::tm local = platform::LocalTime(std::time(nullptr));
  char buffer[32];
  const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buffer, n);
}

std::string ConsoleSink::EraseLine() const {
  if (m_lineErase) return "\r\033[K";
  // A console without the erase command: blanks over what was shown.
  std::string blank(1, '\r');
  blank.append(m_statusShown ? m_shownLength : 0, ' ');
  blank.push_back('\r');
  return blank;
}

void ConsoleSink::ClearStatusLocked() {
  if (m_statusShown && m_statusIsTty) {
    std::fputs(EraseLine().c_str(), m_status);
    std::fflush(m_status);
  }
  m_statusShown = false;
}

void ConsoleSink::PrintStatusLocked(const std::string& text) {
  if (m_statusIsTty) {
    // Longer than the terminal is wide, the line would wrap, and \r would
    // go back to its last part only.
    std::string shown = text;
    const int columns = platform::TerminalColumns(m_status);
    if (columns > 1 && shown.size() >= static_cast<size_t>(columns)) {
      shown.resize(static_cast<size_t>(columns) - 1u);
    }
    std::fprintf(m_status, "%s%s", EraseLine().c_str(), shown.c_str());
    m_shownLength = shown.size();
    std::fflush(m_status);
    m_statusShown = true;
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (m_lastPrinted.time_since_epoch().count() == 0 || now - m_lastPrinted >= std::chrono::minutes(1)) {
    std::fprintf(m_status, "[%s] %s\n", TimeStamp().c_str(), text.c_str());
    std::fflush(m_status);
    m_lastPrinted = now;
  }
}

void ConsoleSink::Sample(const StatusSample& sample) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  const double dt = std::chrono::duration<double>(now - m_lastTime).count();
  if (dt > 0 && sample.pCount >= m_last.pCount) {
    m_pPerSecond = static_cast<double>(sample.pCount - m_last.pCount) / dt;
    if (m_last.pLast != 0 && sample.pLast >= m_last.pLast) {
      m_rangePerSecond = static_cast<double>(sample.pLast - m_last.pLast) / dt;
    }
  }
  m_last = sample;
  m_file = sample.file;
  m_run = sample.run;
  m_lastTime = now;
}

void ConsoleSink::Note(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ClearStatusLocked();
  std::fprintf(m_out, "[%s] %s\n", TimeStamp().c_str(), text.c_str());
  std::fflush(m_out);
}

void ConsoleSink::Post(std::string message) {
  const JobMessage parsed = ParseJobMessage(message);
  if (parsed.kind == JobMessage::kEnd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClearStatusLocked();
    return;
  }
  if (parsed.kind == JobMessage::kStatistics) {
    if (!parsed.numbers) return;
    const int64_t count = parsed.count;
    const UInt128 p = parsed.p;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_packTwoN != 0) {
      PrintStatusLocked(StrFormat("k %s  p %s  %.0f values/s  writing %s",
                                  PToString((p - 1) / m_packTwoN).c_str(),
                                  FormatStatusP(p).c_str(), m_pPerSecond,
                                  m_file.c_str()));
      return;
    }
    // The runner's rates cover the last minute; the sink's own, the last
    // interval, until the runner has them.
    const double pPerSecond =
        m_run.pPerSecondLastMinute > 0 ? m_run.pPerSecondLastMinute : m_pPerSecond;
    const double growth = m_run.pGrowthPerSecond > 0 ? m_run.pGrowthPerSecond : m_rangePerSecond;
    StatusFigures figures;
    figures.basesLeft = count;
    figures.expectedLeft = m_run.expectedLeft;
    figures.p = FormatStatusP(p);
    figures.pPerSecond = pPerSecond;
    figures.pGrowth = growth;
    if (growth > 0 && m_pTarget > p) {
      figures.secondsToPMax = static_cast<double>(m_pTarget - p) / growth;
    }
    figures.factors = m_run.factorsInWindow;
    figures.factorSeconds = m_run.factorWindowSeconds;
    if (m_run.savedDepth != 0) {
      const std::time_t at = static_cast<std::time_t>(m_run.savedAt);
      const std::tm local = platform::LocalTime(at);
      char clock[16];
      const size_t n = std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
      // The depth written as the job's statistics line writes p.
      figures.saved = FormatStatusP(m_run.savedDepth) + " at " + std::string(clock, n);
    }
    const int columns = m_statusIsTty ? platform::TerminalColumns(m_status) : 0;
    const std::string text = StatusLine(figures, columns > 1 ? static_cast<size_t>(columns) : 0);
    PrintStatusLocked(text);
    return;
  }
  if (parsed.kind == JobMessage::kParameters) {
    Note(StrFormat("Range read from the input files: b Min %d, b Max %d, exponent %d.", parsed.bMin,
                   parsed.bMax, parsed.exponent));
    return;
  }
  Note(message);
}

}  // namespace zentrova
