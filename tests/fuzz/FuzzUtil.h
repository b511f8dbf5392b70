// What the fuzz targets share: a scratch folder of this process for the files
// each run writes, whole-file reads, and a check that stops the process with
// the condition that broke (libFuzzer keeps the input as a crash).
#pragma once

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "sieve/GfnThread.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace zentrova::fuzz {

namespace fs = std::filesystem;

// /dev/shm/zentrova-fuzz-<pid> (tmpfs: a run's files never reach a disk),
// removed when the process exits. A crash leaves its folder behind, so the
// folders of processes that no longer exist are cleared on the way in.
class Scratch {
 public:
  static Scratch& Get() {
    static Scratch scratch;
    return scratch;
  }
  // Empties the folder, so that nothing of the run before is seen.
  void Reset() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_path, ec)) fs::remove_all(entry.path(), ec);
  }
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }

 private:
  Scratch() {
    const fs::path root = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    const std::string prefix = "zentrova-fuzz-";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        fs::remove_all(entry.path(), ec);
      }
    }
    m_path = root / (prefix + std::to_string(::getpid()));
    fs::remove_all(m_path, ec);
    fs::create_directories(m_path);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  fs::path m_path;
};

inline void WriteFile(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  FUZZ_CHECK(out.good());
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The input as a file of the emptied scratch folder.
inline std::string InputFile(const uint8_t* data, size_t size, const std::string& name) {
  Scratch::Get().Reset();
  const std::string path = Scratch::Get() / name;
  WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  return path;
}

// The text cut at each '\n' (kept); a last line without one is kept too.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return lines;
}

inline bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A candidate file as the writers make it: "ABC $a^$b+1 // <depth>", then
// "<b> <N>" per base, ascending, every b of bMin's parity inside the range.
// Returns the bases; depth is set from the header.
inline std::vector<int32_t> CheckCandidateOutput(const std::string& path, int64_t bMin,
                                                 int64_t bMax, int32_t exponent, UInt128& depth) {
  const std::vector<std::string> lines = Lines(ReadFile(path));
  FUZZ_CHECK(!lines.empty() && lines[0].rfind("ABC $a^$b+1 // ", 0) == 0);
  depth = ReadP(lines[0], 15);
  const std::string tail = StrFormat(" %d\n", exponent);
  std::vector<int32_t> bases;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    FUZZ_CHECK(line.size() > tail.size() &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0);
    const std::string digits = line.substr(0, line.size() - tail.size());
    FUZZ_CHECK(IsDigits(digits));
    const int64_t b = std::strtoll(digits.c_str(), nullptr, 10);
    FUZZ_CHECK(b >= bMin && b <= bMax && (b - bMin) % 2 == 0);
    FUZZ_CHECK(bases.empty() || b > bases.back());
    bases.push_back(static_cast<int32_t>(b));
  }
  return bases;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

// A job run on the calling thread, as the front ends see it afterwards.
struct JobResult {
  bool failed = false;
  JobOutcome outcome;
  std::vector<std::string> log;  // log lines only
};

// Runs the job and checks how any job ends: the end-of-job message last and
// once, and a failure never silent. Writes into the scratch folder do not
// fail, so every failure here is one the input caused, and the job must have
// told why in a line of its own.
inline JobResult RunJob(const SieveJob& job, int32_t wideMath = 0) {
  RecordingSink sink;
  CGfnThread thread(job, sink, wideMath);
  thread.Run();
  const JobResult result{thread.Failed(), thread.Outcome(), sink.LogLines()};
  const std::vector<std::string> messages = sink.Messages();
  FUZZ_CHECK(!messages.empty() && messages.back() == "@");
  FUZZ_CHECK(std::count(messages.begin(), messages.end(), "@") == 1);
  FUZZ_CHECK(result.failed == (result.outcome.end == JobEnd::kFailed));
  if (result.failed) FUZZ_CHECK(Contains(result.log, result.outcome.failure));
  return result;
}

}  // namespace zentrova::fuzz
