// The program killed at random moments and resumed, over and over, must end
// with the same files as a run that was never interrupted; a save that cannot
// be written (file size limit, full disk) must leave the previous files as
// they were and end the job with exit code 1.
//
// Each kill test takes its seed from ZENTROVA_CRASH_SEED (else a fixed one)
// and its number of kills from ZENTROVA_CRASH_KILLS (else a short run for
// ctest); scripts/crash-soak.sh runs them long. Every kill is printed with its
// delay, so a failure can be followed step by step.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"

namespace zentrova {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;
using test::ReadFile;
using test::ScratchDir;

constexpr int kDefaultKills = 8;

// One run of the program, started with fork/exec: stdout and stderr go to
// files, SIGXFSZ is ignored (a write past RLIMIT_FSIZE fails with EFBIG), and
// fileLimit, when set, caps every file it writes. A run still going when the
// object dies is killed.
class Program {
 public:
  Program(const Args& args, const fs::path& log, rlim_t fileLimit = RLIM_INFINITY)
      : m_out(log.string() + ".out"), m_err(log.string() + ".err") {
    std::vector<std::string> all{ZENTROVA_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    m_start = Clock::now();
    m_pid = ::fork();
    if (m_pid == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0) ::_exit(126);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::close(out);
      ::close(err);
      if (fileLimit != RLIM_INFINITY) {
        const rlimit limit{fileLimit, fileLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~Program() {
    if (m_pid > 0 && !Ended()) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &m_status, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Ended() {
    if (!m_ended && m_pid > 0 && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
      m_ended = true;
      m_end = Clock::now();
    }
    return m_ended || m_pid <= 0;
  }
  // True once it has ended; false when the deadline passed first.
  bool WaitUntil(Clock::time_point deadline) {
    while (!Ended()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  bool Finish(int seconds = 300) { return WaitUntil(Clock::now() + std::chrono::seconds(seconds)); }
  void Signal(int signal) {
    if (!Ended()) ::kill(m_pid, signal);
  }

  Clock::time_point Start() const { return m_start; }
  double Seconds() const { return std::chrono::duration<double>(m_end - m_start).count(); }
  bool Exited(int code) const { return m_ended && WIFEXITED(m_status) && WEXITSTATUS(m_status) == code; }
  bool Killed() const { return m_ended && WIFSIGNALED(m_status) && WTERMSIG(m_status) == SIGKILL; }
  std::string Output() const { return ReadFile(m_out) + ReadFile(m_err); }
  const std::string& OutPath() const { return m_out; }
  std::string Describe() const {
    if (m_pid < 0) return "not started";
    if (!m_ended) return "still running";
    if (WIFEXITED(m_status)) return "exit " + std::to_string(WEXITSTATUS(m_status));
    return "signal " + std::to_string(WTERMSIG(m_status)) + " (" + ::strsignal(WTERMSIG(m_status)) +
           ")";
  }
  // What a failed expectation shows.
  std::string Report() const { return Describe() + "\n--- output ---\n" + Output(); }

 private:
  std::string m_out, m_err;
  pid_t m_pid = -1;
  int m_status = 0;
  bool m_ended = false;
  Clock::time_point m_start, m_end;
};

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A save's temporary file ("name.tmp.XXXXXX", "name.tmp") or a lock file.
bool IsLeftover(const std::string& name) {
  return name.find(".tmp.") != std::string::npos || EndsWith(name, ".tmp") ||
         EndsWith(name, ".lock");
}

// The job's files in a folder, by name, without temporary and lock files.
std::map<std::string, uint64_t> Outputs(const fs::path& dir) {
  std::map<std::string, uint64_t> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && !IsLeftover(name)) files[name] = e.file_size();
  }
  return files;
}

std::vector<std::string> Leftovers(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (IsLeftover(e.path().filename().string())) names.push_back(e.path().filename().string());
  }
  return names;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Empty when equal; else the first line that differs.
std::string Difference(const std::string& got, const std::string& want) {
  if (got == want) return "";
  const std::vector<std::string> a = Lines(got), b = Lines(want);
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return "differs at line " + std::to_string(i + 1) + " of " + std::to_string(a.size()) + " (want " +
         std::to_string(b.size()) + "): got '" + (i < a.size() ? a[i] : "<end>") + "', want '" +
         (i < b.size() ? b[i] : "<end>") + "'";
}

// The normal factor file without the time of writing at the end of its header.
std::string WithoutTimeStamp(const std::string& factors) {
  const size_t eol = factors.find('\n');
  const size_t stamp = factors.rfind(" : ", eol);
  if (stamp == std::string::npos) return factors;
  return factors.substr(0, stamp) + factors.substr(eol == std::string::npos ? factors.size() : eol);
}

std::vector<std::string> FactorLines(const std::string& factors) {
  std::vector<std::string> lines;
  for (std::string& line : Lines(factors)) {
    if (line.find("factor :") != std::string::npos) lines.push_back(std::move(line));
  }
  return lines;
}

// A one-line view of a folder for the trace of a kill test.
std::string Summary(const fs::path& dir, bool text) {
  const auto files = Outputs(dir);
  std::string s;
  if (!text) {
    uint64_t bytes = 0;
    for (const auto& [name, size] : files) bytes += size;
    s = std::to_string(files.size()) + " files, " + std::to_string(bytes) + " bytes";
  } else {
    for (const auto& [name, size] : files) {
      const std::string text = ReadFile((dir / name).string());
      s += name + " " + std::to_string(size) + " B '" + FirstLine(text).substr(0, 60) + "'";
      const std::vector<std::string> lines = FactorLines(text);
      if (!lines.empty()) {
        const size_t distinct = std::set<std::string>(lines.begin(), lines.end()).size();
        s += " " + std::to_string(lines.size()) + " factor lines, " +
             std::to_string(lines.size() - distinct) + " repeated";
      }
      s += "; ";
    }
  }
  const auto left = Leftovers(dir);
  if (!left.empty()) s += " + " + std::to_string(left.size()) + " temporary/lock files";
  return s;
}

// ---------------------------------------------------------------------------
// The job kinds of the kill tests.

struct JobKind {
  const char* name;
  uint64_t seed;
  bool text;             // outputs are text files, ending with a newline
  const char* saveMark;  // logged just before the final save
  // The next command in a folder: a new job while there is nothing to resume.
  std::function<Args(const fs::path&)> next;
  // The interrupted run's folder against the uninterrupted one's.
  std::function<void(const fs::path& got, const fs::path& want)> compare;
};

const char* const kNormalPMax = "5e12";  // about 1.5 s uninterrupted on two cores
const char* const kWidePMax = "8e11";    // about 1.5 s, with factors found to the end
const char* const kPackPMax = "1.5e10";  // about 220 files of 4000 bytes
const char* const kPackFileBytes = "4000";

Args NormalNext(const fs::path& d) {
  const std::string f = (d / "f.txt").string(), c = (d / "c.txt").string();
  const Args run{"--p-max", kNormalPMax, "--force", "--threads", "2", "--save-minutes", "0"};
  Args args = fs::exists(c) ? Args{"resume", "--factors-in", f, "--sieve-in", c, "--factors-out", f,
                                   "--sieve-out", c}
                            : Args{"new", "--exponent", "65536", "--bmin", "1200000", "--bmax",
                                   "1201998", "--factors-out", f, "--sieve-out", c};
  args.insert(args.end(), run.begin(), run.end());
  return args;
}

void NormalCompare(const fs::path& got, const fs::path& want) {
  const std::string diffC = Difference(ReadFile(got / "c.txt"), ReadFile(want / "c.txt"));
  EXPECT_TRUE(diffC.empty()) << "candidate file " << diffC;
  const std::string diffF = Difference(WithoutTimeStamp(ReadFile(got / "f.txt")),
                                       WithoutTimeStamp(ReadFile(want / "f.txt")));
  EXPECT_TRUE(diffF.empty()) << "factor file (time stamp left out) " << diffF;
}

Args WideNext(const fs::path& d) {
  const std::string f = (d / "f.txt").string(), c = (d / "c.txt").string();
  const Args run{"--p-max", kWidePMax, "--force", "--threads", "2", "--save-minutes", "0"};
  Args args = fs::exists(c) ? Args{"resume", "--wide", "--sieve-in", c, "--factors-out", f,
                                   "--sieve-out", c}
                            : Args{"new", "--wide", "--exponent", "65536", "--bmin", "1000000",
                                   "--bmax", "1200000", "--factors-out", f, "--sieve-out", c};
  args.insert(args.end(), run.begin(), run.end());
  return args;
}

void WideCompare(const fs::path& got, const fs::path& want) {
  const std::string diffC = Difference(ReadFile(got / "c.txt"), ReadFile(want / "c.txt"));
  EXPECT_TRUE(diffC.empty()) << "candidate file " << diffC;
  const std::vector<std::string> lines = FactorLines(ReadFile(got / "f.txt"));
  const std::vector<std::string> wanted = FactorLines(ReadFile(want / "f.txt"));
  std::set<std::string> seen;
  std::vector<std::string> repeated;
  for (const std::string& line : lines) {
    if (!seen.insert(line).second) repeated.push_back(line);
  }
  EXPECT_TRUE(repeated.empty()) << repeated.size() << " factor lines appear more than once, first '"
                                << repeated.front() << "'";
  size_t i = 0;
  while (i < lines.size() && i < wanted.size() && lines[i] == wanted[i]) ++i;
  EXPECT_TRUE(lines == wanted) << "factor lines: " << lines.size() << " (want " << wanted.size()
                               << "), first difference at factor line " << i + 1 << ": got '"
                               << (i < lines.size() ? lines[i] : "<end>") << "', want '"
                               << (i < wanted.size() ? wanted[i] : "<end>") << "'";
}

Args PackNext(const fs::path& d) {
  return {"pack", "--dir", d.string(), "--exponent", "1024", "--p-max", kPackPMax, "--file-bytes",
          kPackFileBytes};
}

void PackCompare(const fs::path& got, const fs::path& want) {
  const auto files = Outputs(got), wanted = Outputs(want);
  for (const auto& [name, size] : wanted) {
    EXPECT_TRUE(files.count(name)) << name << " is missing";
  }
  for (const auto& [name, size] : files) {
    EXPECT_TRUE(wanted.count(name)) << name << " (" << size << " bytes) should not be there";
  }
  int shown = 0;
  for (const auto& [name, size] : wanted) {
    if (!files.count(name)) continue;
    const std::string a = ReadFile((got / name).string()), b = ReadFile((want / name).string());
    if (a == b) continue;
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    ADD_FAILURE() << name << " differs from byte " << at << " (sizes " << a.size() << " and "
                  << b.size() << ")";
    if (++shown == 5) break;
  }
}

const JobKind kNormal{"normal sieve", 1001, true, "Stop request received.", NormalNext,
                      NormalCompare};
const JobKind kWide{"wide sieve", 2002, true, "Stop request received.", WideNext, WideCompare};
const JobKind kPack{"pack", 3003, false, "Stop requested", PackNext, PackCompare};

// A finished run's folder: no temporary or lock file, and the job's files as
// the uninterrupted run left them.
void ExpectLikeUninterrupted(const JobKind& kind, const fs::path& run, const fs::path& ref) {
  const auto left = Leftovers(run);
  EXPECT_TRUE(left.empty()) << left.size() << " temporary or lock files left, first " << left.front();
  kind.compare(run, ref);
}

// Runs the job once uninterrupted, then kills it again and again, resuming
// after each kill: SIGKILL at a random moment, or SIGTERM and a SIGKILL soon
// after the program announces its final save, so that it lands in the save.
// After every kill the files there before are still there and whole. A run
// that finishes before its kill comes completes a cycle: its folder must
// match the uninterrupted run's, and the next cycle starts from nothing.
// After the last kill the job runs to its end and is checked the same way.
void SurviveKills(const JobKind& kind) {
  const uint64_t seed = EnvNumber("ZENTROVA_CRASH_SEED", kind.seed);
  const int kills = static_cast<int>(EnvNumber("ZENTROVA_CRASH_KILLS", kDefaultKills));
  std::mt19937_64 rng(seed);
  ScratchDir scratch;
  const fs::path ref = scratch.Path() / "ref", run = scratch.Path() / "run",
                 logs = scratch.Path() / "log";
  for (const fs::path& d : {ref, run, logs}) fs::create_directories(d);

  Program whole(kind.next(ref), logs / "ref");
  ASSERT_TRUE(whole.Finish()) << "the uninterrupted run did not end";
  ASSERT_TRUE(whole.Exited(0)) << whole.Report();
  const double seconds = whole.Seconds();
  EXPECT_TRUE(Leftovers(ref).empty()) << "the uninterrupted run left " << Leftovers(ref).front();
  std::printf("%s: seed %llu (ZENTROVA_CRASH_SEED replays it), %d kills, uninterrupted %.2f s\n",
              kind.name, static_cast<unsigned long long>(seed), kills, seconds);
  std::fflush(stdout);

  for (int i = 1; i <= kills; ++i) {
    const Args args = kind.next(run);
    const auto before = Outputs(run);
    const bool term = (rng() & 1) != 0;
    const auto delay = std::chrono::milliseconds(
        std::uniform_int_distribution<int64_t>(0, static_cast<int64_t>(seconds * 1000))(rng));
    // A save takes a few milliseconds: half the kills after SIGTERM come
    // within 3 ms of the announcement, the others within 30 ms.
    const int graceLimit = (rng() & 1) != 0 ? 3000 : 30000;
    const auto grace =
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, graceLimit)(rng));
    std::string plan = (term ? "SIGTERM at " : "SIGKILL at ") + std::to_string(delay.count()) + " ms";
    if (term) {
      plan += ", SIGKILL " + std::to_string(grace.count()) + " us after '" + kind.saveMark + "'";
    }

    Program step(args, logs / std::to_string(i));
    const bool signalled = !step.WaitUntil(step.Start() + delay);
    if (signalled) {
      if (term) {
        step.Signal(SIGTERM);
        const auto giveUp = Clock::now() + std::chrono::seconds(30);
        while (!step.Ended() && Clock::now() < giveUp &&
               ReadFile(step.OutPath()).find(kind.saveMark) == std::string::npos) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(grace);
      }
      step.Signal(SIGKILL);
    }
    ASSERT_TRUE(step.Finish(60)) << "kill " << i << ": the run did not end";
    std::printf("kill %d/%d: %s, %s -> %s; %s\n", i, kills, args[0].c_str(), plan.c_str(),
                step.Describe().c_str(), Summary(run, kind.text).c_str());
    std::fflush(stdout);

    EXPECT_TRUE(step.Killed() || step.Exited(0)) << "kill " << i << ": " << step.Report();
    const auto after = Outputs(run);
    for (const auto& [name, size] : before) {
      EXPECT_TRUE(after.count(name)) << "kill " << i << ": " << name << " (" << size
                                     << " bytes before) is gone";
    }
    for (const auto& [name, size] : after) {
      EXPECT_GT(size, 0u) << "kill " << i << ": " << name << " is empty";
      if (kind.text && size > 0) {
        const std::string text = ReadFile((run / name).string());
        EXPECT_EQ(text.back(), '\n') << "kill " << i << ": " << name << " ends inside a line: '"
                                     << text.substr(text.rfind('\n') + 1, 80) << "'";
      }
    }
    if (!signalled && step.Exited(0)) {
      std::printf("kill %d/%d: the run finished first; its files are checked, the next cycle starts\n",
                  i, kills);
      std::fflush(stdout);
      ExpectLikeUninterrupted(kind, run, ref);
      fs::remove_all(run);
      fs::create_directories(run);
    }
    if (::testing::Test::HasFailure()) return;
  }

  if (Outputs(run).empty() && Leftovers(run).empty()) return;  // a cycle has just been checked
  Program last(kind.next(run), logs / "last");
  ASSERT_TRUE(last.Finish()) << "the last run did not end";
  ASSERT_TRUE(last.Exited(0)) << "the run after the last kill: " << last.Report();
  ExpectLikeUninterrupted(kind, run, ref);
}

TEST(Crash, NormalSieveKilledAndResumedEndsLikeAnUninterruptedRun) { SurviveKills(kNormal); }

TEST(Crash, WideSieveKilledAndResumedEndsLikeAnUninterruptedRun) { SurviveKills(kWide); }

TEST(Crash, PackKilledAndRerunEndsLikeAnUninterruptedRun) { SurviveKills(kPack); }

// ---------------------------------------------------------------------------
// Saves that cannot be written.

struct FullSave {
  const char* name;
  const char* pFirst;    // the pair on disk
  const char* pResume;   // the resume whose save fails
  const char* tooLarge;  // the file whose new version does not fit
  const char* other;     // the one that would fit
};

Args NormalResume(const fs::path& d, const char* pMax) {
  const std::string f = (d / "f.txt").string(), c = (d / "c.txt").string();
  return {"resume", "--factors-in", f, "--sieve-in", c, "--factors-out", f, "--sieve-out", c,
          "--p-max", pMax, "--force", "--threads", "2"};
}

// A folder on a tmpfs of its own, unmounted at the end.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const fs::path& at) : m_at(at) {
    fs::create_directories(at);
    m_mounted = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k") == 0;
    if (!m_mounted) m_error = std::strerror(errno);
  }
  ~SmallTmpfs() {
    if (m_mounted) ::umount2(m_at.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return m_mounted; }
  const std::string& Error() const { return m_error; }

  // Fills the file system, then frees about `room` bytes again.
  void LeaveRoom(uint64_t room) {
    const std::string filler = (m_at / "filler").string();
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string block(4096, 'x');
    uint64_t size = 0;
    ssize_t n;
    while ((n = ::write(fd, block.data(), block.size())) > 0) size += static_cast<uint64_t>(n);
    ASSERT_GE(size, room);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size - room)), 0) << std::strerror(errno);
    ::close(fd);
  }
  void RemoveFiller() { fs::remove(m_at / "filler"); }

 private:
  fs::path m_at;
  bool m_mounted = false;
  std::string m_error;
};

uint64_t PageUp(uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; }

// What keeps one file of the pair from fitting: `apply` gets the sizes the
// resume will save (the file that must not fit, the other) and returns the
// RLIMIT_FSIZE for the run; `lift` undoes the rest afterwards.
struct Hindrance {
  std::string reason;  // the system's text the program must show
  std::function<rlim_t(uint64_t tooLarge, uint64_t other)> apply;
  std::function<void()> lift = [] {};
};

// Writes the pair to c.pFirst in `run`, learns the sizes the resume to
// c.pResume saves (in a copy), then runs that resume hindered: it must end
// with exit 1 and the reason, leaving both files byte for byte as they were
// and no temporary file; unhindered again, the pair resumes to the same files
// as the copy.
void FailedSaveKeepsThePair(const FullSave& c, const fs::path& run, const fs::path& scratch,
                            const Hindrance& h) {
  SCOPED_TRACE(c.name);
  const fs::path probe = scratch / "probe", logs = scratch / "log";
  fs::create_directories(logs);
  const std::string f = (run / "f.txt").string(), cand = (run / "c.txt").string();
  Program first({"new", "--exponent", "65536", "--bmin", "1200000", "--bmax", "1201998",
                 "--factors-out", f, "--sieve-out", cand, "--p-max", c.pFirst, "--force",
                 "--threads", "2"},
                logs / "first");
  ASSERT_TRUE(first.Finish() && first.Exited(0)) << first.Report();

  fs::copy(run, probe);
  Program dry(NormalResume(probe, c.pResume), logs / "probe");
  ASSERT_TRUE(dry.Finish() && dry.Exited(0)) << dry.Report();
  const uint64_t tooLarge = fs::file_size(probe / c.tooLarge);
  const uint64_t other = fs::file_size(probe / c.other);

  const std::string factors = ReadFile(f), candidates = ReadFile(cand);
  const rlim_t fileLimit = h.apply(tooLarge, other);
  if (::testing::Test::HasFatalFailure()) return;
  Program failing(NormalResume(run, c.pResume), logs / "failing", fileLimit);
  ASSERT_TRUE(failing.Finish()) << "the run did not end";
  h.lift();
  EXPECT_TRUE(failing.Exited(1)) << failing.Report();
  EXPECT_NE(failing.Output().find(h.reason), std::string::npos)
      << "the output does not name the reason '" << h.reason << "':\n" << failing.Output();
  EXPECT_TRUE(Difference(ReadFile(f), factors).empty())
      << "the factor file was replaced: " << Difference(ReadFile(f), factors);
  EXPECT_TRUE(Difference(ReadFile(cand), candidates).empty())
      << "the candidate file was replaced: " << Difference(ReadFile(cand), candidates);
  const auto left = Leftovers(run);
  EXPECT_TRUE(left.empty()) << "left behind: " << left.front();

  Program again(NormalResume(run, c.pResume), logs / "again");
  ASSERT_TRUE(again.Finish()) << "the run did not end";
  EXPECT_TRUE(again.Exited(0)) << "resuming the pair left behind: " << again.Report();
  EXPECT_TRUE(Difference(ReadFile(cand), ReadFile((probe / "c.txt").string())).empty())
      << "candidate file after resuming the pair left behind "
      << Difference(ReadFile(cand), ReadFile((probe / "c.txt").string()));
  EXPECT_TRUE(Difference(WithoutTimeStamp(ReadFile(f)),
                         WithoutTimeStamp(ReadFile((probe / "f.txt").string())))
                  .empty())
      << "factor file after resuming the pair left behind "
      << Difference(WithoutTimeStamp(ReadFile(f)),
                    WithoutTimeStamp(ReadFile((probe / "f.txt").string())));
}

// A resume whose save meets RLIMIT_FSIZE below the new size of one file of
// the pair while the other would still fit: first the factor file (deep
// sieve, many factors), then the candidate file (shallow sieve, many
// candidates).
TEST(FullDisk, SaveBeyondTheFileSizeLimitKeepsThePreviousPairAndExitsWithOne) {
  const FullSave cases[] = {
      {"factor file too large", "1e11", "2e11", "f.txt", "c.txt"},
      {"candidate file too large", "1e6", "1e7", "c.txt", "f.txt"},
  };
  const Hindrance limit{"File too large", [](uint64_t tooLarge, uint64_t other) {
                          const uint64_t bytes = tooLarge - 32;  // a margin for the time stamp
                          EXPECT_LT(other, bytes) << "the case does not separate the two files";
                          return static_cast<rlim_t>(bytes);
                        }};
  for (const FullSave& c : cases) {
    ScratchDir scratch;
    fs::create_directories(scratch.Path() / "run");
    FailedSaveKeepsThePair(c, scratch.Path() / "run", scratch.Path(), limit);
  }
}

// The same on a file system that is really full: room for the new candidate
// file only.
TEST(FullDisk, SaveOnAFullTmpfsKeepsThePreviousPairAndExitsWithOne) {
  ScratchDir scratch;
  SmallTmpfs disk(scratch.Path() / "run");
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here: " << disk.Error();
  const Hindrance full{"No space left on device",
                       [&](uint64_t tooLarge, uint64_t other) {
                         EXPECT_LT(PageUp(other) + 4096, PageUp(tooLarge))
                             << "the case does not separate the two files";
                         disk.LeaveRoom(PageUp(other));
                         return RLIM_INFINITY;
                       },
                       [&] { disk.RemoveFiller(); }};
  FailedSaveKeepsThePair({"factor file does not fit", "1e11", "2e11", "f.txt", "c.txt"},
                         scratch.Path() / "run", scratch.Path(), full);
}

// A pack that meets RLIMIT_FSIZE at its next new file ends with exit 1 and
// the reason (not with SIGBUS), and a later pack without the limit continues
// to the same files as an uninterrupted one.
TEST(FullDisk, PackBeyondTheFileSizeLimitStopsCleanlyAndALaterPackContinues) {
  ScratchDir scratch;
  const fs::path ref = scratch.Path() / "ref", run = scratch.Path() / "run",
                 logs = scratch.Path() / "log";
  for (const fs::path& d : {ref, run, logs}) fs::create_directories(d);
  auto pack = [](const fs::path& d, const char* pMax) {
    return Args{"pack", "--dir", d.string(), "--exponent", "1024", "--p-max", pMax,
                "--file-bytes", kPackFileBytes};
  };
  Program whole(pack(ref, "1e10"), logs / "ref");
  ASSERT_TRUE(whole.Finish() && whole.Exited(0)) << whole.Report();
  Program first(pack(run, "2e9"), logs / "first");
  ASSERT_TRUE(first.Finish() && first.Exited(0)) << first.Report();
  const auto before = Outputs(run);
  ASSERT_GT(before.size(), 1u);

  Program limited(pack(run, "1e10"), logs / "limited",
                  static_cast<rlim_t>(std::stoull(kPackFileBytes) - 1));
  ASSERT_TRUE(limited.Finish()) << "the run did not end";
  EXPECT_TRUE(limited.Exited(1)) << limited.Report();
  EXPECT_NE(limited.Output().find("File too large"), std::string::npos) << limited.Output();
  const auto after = Outputs(run);
  for (const auto& [name, size] : before) {
    EXPECT_TRUE(after.count(name)) << name << " is gone";
  }

  Program rest(pack(run, "1e10"), logs / "rest");
  ASSERT_TRUE(rest.Finish()) << "the run did not end";
  ASSERT_TRUE(rest.Exited(0)) << rest.Report();
  const auto left = Leftovers(run);
  EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
  PackCompare(run, ref);
}

}  // namespace
}  // namespace zentrova
