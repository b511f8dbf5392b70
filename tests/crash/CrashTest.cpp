// The program killed at random moments and resumed, over and over, must end
// with the same files as a run that was never interrupted; a save that cannot
// be written (file size limit, full disk) must leave the previous files as
// they were and end the job with exit code 1.
//
// Each kill test takes its seed from ZENTROVA_CRASH_SEED (else a fixed one)
// and its number of kills from ZENTROVA_CRASH_KILLS (else a short run for
// ctest); scripts/crash-soak.sh runs them long. Every kill is printed with its
// delay, so a failure can be followed step by step.
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;
using test::ReadFile;
using test::ScratchDir;
using test::WithoutTimeStamp;

// One run of the program, started with fork/exec: stdout and stderr go to
// files, SIGXFSZ is ignored (a write past RLIMIT_FSIZE fails with EFBIG), and
// fileLimit, when set, caps every file it writes. A run still going when the
// object dies is killed.
class Program {
 public:
  Program(const Args& args, const fs::path& log, rlim_t fileLimit = RLIM_INFINITY)
      : m_out(log.string() + ".out"), m_err(log.string() + ".err") {
    std::vector<char*> argv{const_cast<char*>(ZENTROVA_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if ((m_pid = ::fork()) < 0) throw std::runtime_error(std::strerror(errno));
    if (m_pid > 0) return;
    ::signal(SIGXFSZ, SIG_IGN);
    const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    ::close(out);
    ::close(err);
    const rlimit limit{fileLimit, fileLimit};
    if (fileLimit != RLIM_INFINITY) ::setrlimit(RLIMIT_FSIZE, &limit);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ~Program() {
    Signal(SIGKILL);
    if (!Ended()) ::waitpid(m_pid, &m_status, 0);
  }

  bool Ended() {
    if (!m_ended) m_ended = ::waitpid(m_pid, &m_status, WNOHANG) == m_pid;
    return m_ended;
  }
  // True once it has ended; false when `time` passed first.
  bool Wait(Clock::duration time = 5min) {
    for (const auto deadline = Clock::now() + time; !Ended(); std::this_thread::sleep_for(1ms)) {
      if (Clock::now() >= deadline) return false;
    }
    return true;
  }
  void Signal(int signal) {
    if (!Ended()) ::kill(m_pid, signal);
  }
  bool Exited(int code) const {
    return m_ended && WIFEXITED(m_status) && WEXITSTATUS(m_status) == code;
  }
  bool KilledBy(int signal) const {
    return m_ended && WIFSIGNALED(m_status) && WTERMSIG(m_status) == signal;
  }
  std::string Output() const { return ReadFile(m_out) + ReadFile(m_err); }
  std::string Describe() const {
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
};

// Runs the program to its end; it must exit 0.
::testing::AssertionResult RunsToEnd(const Args& args, const fs::path& log) {
  Program p(args, log);
  if (p.Wait() && p.Exited(0)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "run " << log.filename() << ": " << p.Report();
}

// The job's files in a folder by name and size; with `leftovers`, instead
// what interrupted saves leave: temporary files ("name.tmp.XXXXXX",
// "name.tmp") and locks.
std::map<std::string, uint64_t> Files(const fs::path& dir, bool leftovers = false) {
  std::map<std::string, uint64_t> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    const bool left = name.find(".tmp.") != std::string::npos || name.ends_with(".tmp") ||
                      name.ends_with(".lock");
    if (left == leftovers && (left || e.is_regular_file())) {
      files[name] = e.is_regular_file() ? e.file_size() : 0;
    }
  }
  return files;
}

void ExpectNoLeftovers(const fs::path& dir) {
  const auto left = Files(dir, true);
  EXPECT_TRUE(left.empty()) << left.size() << " temporary or lock files left, first "
                            << left.begin()->first;
}

// The lines of a text; with `only`, just those that contain it.
std::vector<std::string> Lines(const std::string& text, const char* only = "") {
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find('\n', at), text.size());
    if (!*only || text.find(only, at) < end) lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// Where two lists of lines part (they differ, or the texts they came from).
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return "differs at line " + std::to_string(i + 1) + " of " + std::to_string(a.size()) +
         " (want " + std::to_string(b.size()) + "): got '" + (i < a.size() ? a[i] : "<end>") +
         "', want '" + (i < b.size() ? b[i] : "<end>") + "'";
}

void ExpectSameText(const std::string& got, const std::string& want, const std::string& what) {
  EXPECT_TRUE(got == want) << what << " " << FirstDifference(Lines(got), Lines(want));
}

enum class Job { kNormal, kWide, kPack };
const char* const kPackFileBytes = "4000";

// The job's next command in folder d: a sieve starts with `new` and resumes
// the pair there once there is one; pack continues from the files there.
// saveOften (--save-minutes 0) saves the pair at every status tick, so that
// kills land in those saves too.
Args Command(Job job, const fs::path& d, const char* pMax, bool saveOften = false) {
  if (job == Job::kPack) {
    return {"pack",         "--dir",       d, "--exponent", "1024", "--p-max", pMax,
            "--file-bytes", kPackFileBytes};
  }
  const bool wide = job == Job::kWide;
  const std::string f = (d / "f.txt").string(), c = (d / "c.txt").string();
  Args a{fs::exists(c) ? "resume" : "new"};
  if (wide) a.push_back("--wide");
  if (a[0] == "new") {
    a.insert(a.end(), {"--exponent", "65536", "--bmin", wide ? "1000000" : "1200000", "--bmax",
                       wide ? "1200000" : "1201998"});
  } else {
    if (!wide) a.insert(a.end(), {"--factors-in", f});
    a.insert(a.end(), {"--sieve-in", c});
  }
  a.insert(a.end(),
           {"--factors-out", f, "--sieve-out", c, "--p-max", pMax, "--force", "--threads", "2"});
  if (saveOften) a.insert(a.end(), {"--save-minutes", "0"});
  return a;
}

// The job's files in `got` as in `want`, and no temporary or lock file. A
// normal pair is byte for byte the same but for the time of writing in the
// factor header. The wide sieve's factor file is compared by its factor
// lines: in order, none lost, none twice.
// A pack folder has the same files, byte for byte.
void ExpectSameFiles(Job job, const fs::path& got, const fs::path& want) {
  ExpectNoLeftovers(got);
  if (job == Job::kPack) {
    const auto files = Files(got), wanted = Files(want);
    for (const auto& [name, size] : wanted) EXPECT_TRUE(files.count(name)) << name << " is missing";
    for (const auto& [name, size] : files) EXPECT_TRUE(wanted.count(name)) << name << " is extra";
    int shown = 0;  // the first five files that differ
    for (const auto& [name, size] : wanted) {
      const std::string a = ReadFile(got / name), b = ReadFile(want / name);
      if (!files.count(name) || a == b || ++shown > 5) continue;
      ADD_FAILURE() << name << " differs from byte "
                    << std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin()
                    << " (sizes " << a.size() << " and " << b.size() << ")";
    }
    return;
  }
  ExpectSameText(ReadFile(got / "c.txt"), ReadFile(want / "c.txt"), "candidate file");
  const std::string factors = ReadFile(got / "f.txt"), wantedFactors = ReadFile(want / "f.txt");
  if (job == Job::kNormal) {
    ExpectSameText(WithoutTimeStamp(factors), WithoutTimeStamp(wantedFactors),
                   "factor file (time stamp left out)");
    return;
  }
  const auto lines = Lines(factors, "factor :"), wanted = Lines(wantedFactors, "factor :");
  auto sorted = lines;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  EXPECT_TRUE(twice == sorted.end()) << "a factor line appears more than once: '" << *twice << "'";
  EXPECT_TRUE(lines == wanted) << "factor lines " << FirstDifference(lines, wanted);
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Runs the job to pMax once uninterrupted, then kills it again and again,
// resuming after each kill: SIGKILL at a random moment, or SIGTERM and a
// SIGKILL soon after the program announces its final save, so that it lands
// in the save. After every kill the files there before are still there and
// whole. A run that finishes before its kill comes completes a cycle: its
// folder must match the uninterrupted run's, and the next cycle starts from
// nothing. After the last kill the job runs to its end and is checked the same
// way.
void SurviveKills(Job job, const char* name, uint64_t defaultSeed, const char* pMax) {
  const uint64_t seed = EnvNumber("ZENTROVA_CRASH_SEED", defaultSeed);
  const int kills = static_cast<int>(EnvNumber("ZENTROVA_CRASH_KILLS", 8));
  const bool text = job != Job::kPack;  // then every output ends with a newline
  const std::string saveMark = text ? "Stop request received." : "Stop requested";
  std::mt19937_64 rng(seed);
  auto draw = [&](int64_t max) { return std::uniform_int_distribution<int64_t>(0, max)(rng); };
  ScratchDir scratch;
  const fs::path ref = scratch / "ref", run = scratch / "run", logs = scratch / "log";
  for (const fs::path& d : {ref, run, logs}) fs::create_directories(d);

  const auto start = Clock::now();
  ASSERT_TRUE(RunsToEnd(Command(job, ref, pMax, true), logs / "ref"));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ExpectNoLeftovers(ref);
  std::printf("%s: seed %llu (ZENTROVA_CRASH_SEED replays it), %d kills, uninterrupted %.2f s\n",
              name, static_cast<unsigned long long>(seed), kills, seconds);

  for (int i = 1; i <= kills; ++i) {
    SCOPED_TRACE("kill " + std::to_string(i));
    const Args args = Command(job, run, pMax, true);
    const auto before = Files(run);
    const bool term = (rng() & 1) != 0;
    const auto delay = std::chrono::milliseconds(draw(static_cast<int64_t>(seconds * 1000)));
    // A save takes a few milliseconds: half the kills after SIGTERM come
    // within 3 ms of the announcement, the others within 30 ms.
    const auto grace = std::chrono::microseconds(draw((rng() & 1) != 0 ? 3000 : 30000));

    Program step(args, logs / std::to_string(i));
    const bool signalled = !step.Wait(delay);
    if (signalled && term) {
      step.Signal(SIGTERM);
      for (const auto giveUp = Clock::now() + 30s;
           !step.Ended() && Clock::now() < giveUp &&
           step.Output().find(saveMark) == std::string::npos;) {
        std::this_thread::sleep_for(200us);
      }
      std::this_thread::sleep_for(grace);
    }
    if (signalled) step.Signal(SIGKILL);
    ASSERT_TRUE(step.Wait(60s)) << "the run did not end";
    const bool finished = !signalled && step.Exited(0);
    const auto after = Files(run);
    std::string plan =
        (term ? "SIGTERM at " : "SIGKILL at ") + std::to_string(delay.count()) + " ms";
    if (term) plan += ", SIGKILL " + std::to_string(grace.count()) + " us after '" + saveMark + "'";
    std::printf("kill %d/%d: %s, %s -> %s; %zu files, %zu temporary/lock%s\n", i, kills,
                args[0].c_str(), plan.c_str(), step.Describe().c_str(), after.size(),
                Files(run, true).size(), finished ? "; finished first: checked, next cycle" : "");
    std::fflush(stdout);

    // A SIGTERM that comes before the program is up ends it like a kill.
    EXPECT_TRUE(step.KilledBy(SIGKILL) || step.Exited(0) || (term && step.KilledBy(SIGTERM)))
        << step.Report();
    for (const auto& [file, size] : before) {
      EXPECT_TRUE(after.count(file)) << file << " (" << size << " bytes before) is gone";
    }
    for (const auto& [file, size] : after) {
      EXPECT_GT(size, 0u) << file << " is empty";
      if (!text || size == 0) continue;
      const std::string content = ReadFile(run / file);
      EXPECT_EQ(content.back(), '\n')
          << file << " ends inside a line: '" << content.substr(content.rfind('\n') + 1, 80) << "'";
    }
    if (finished) {
      ExpectSameFiles(job, run, ref);
      fs::remove_all(run);
      fs::create_directories(run);
    }
    if (::testing::Test::HasFailure()) return;
  }

  if (fs::is_empty(run)) return;  // a cycle has just been checked
  ASSERT_TRUE(RunsToEnd(Command(job, run, pMax, true), logs / "last")) << "after the last kill";
  ExpectSameFiles(job, run, ref);
}

// The uninterrupted runs take about 1.5 s on two cores for each sieve (the
// wide one finding factors to the end) and 0.2 s for pack (about 220 files).
TEST(Crash, NormalSieveKilledAndResumedEndsLikeAnUninterruptedRun) {
  SurviveKills(Job::kNormal, "normal sieve", 1001, "5e12");
}

TEST(Crash, WideSieveKilledAndResumedEndsLikeAnUninterruptedRun) {
  SurviveKills(Job::kWide, "wide sieve", 2002, "8e11");
}

TEST(Crash, PackKilledAndRerunEndsLikeAnUninterruptedRun) {
  SurviveKills(Job::kPack, "pack", 3003, "1.5e10");
}

// ---------------------------------------------------------------------------
// Saves that cannot be written.

// The job's files to pMax `first` are on disk; the run that continues them to
// `then` cannot save: for a normal pair the new `tooLarge` does not fit while
// `other` would (under RLIMIT_FSIZE, or with tmpfs on a full file system of
// its own), pack meets RLIMIT_FSIZE at its next file. That run must end with
// exit 1 (not SIGBUS) naming the system's reason, and leave the pair byte
// for byte as it was (pack: every file still there) and no temporary file. Run again without the
// hindrance, it must continue to the files of a run to `then` never
// interrupted.
void ExpectFailedSaveKeepsTheFiles(const char* what, Job job, const char* first, const char* then,
                                   const char* tooLarge = "", const char* other = "",
                                   bool tmpfs = false) {
  SCOPED_TRACE(what);
  ScratchDir scratch;
  const fs::path ref = scratch / "ref", run = scratch / "run", logs = scratch / "log";
  for (const fs::path& d : {run, ref, logs}) fs::create_directories(d);
  // The tmpfs goes before the scratch folder does.
  const auto unmount = [](const fs::path* at) { ::umount2(at->c_str(), MNT_DETACH); };
  std::unique_ptr<const fs::path, decltype(unmount)> mounted(nullptr, unmount);
  if (tmpfs && ::mount("tmpfs", run.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here: " << std::strerror(errno);
  }
  if (tmpfs) mounted.reset(&run);

  ASSERT_TRUE(RunsToEnd(Command(job, run, first), logs / "first"));
  ASSERT_TRUE(RunsToEnd(Command(job, ref, then), logs / "ref"));
  std::map<std::string, std::string> before;
  for (const auto& [name, size] : Files(run)) before[name] = ReadFile(run / name);
  ASSERT_GT(before.size(), 1u);

  rlim_t fileLimit = RLIM_INFINITY;
  const auto pageUp = [](uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; };
  if (job == Job::kPack) {
    fileLimit = std::stoull(kPackFileBytes) - 1;
  } else if (!tmpfs) {
    fileLimit = fs::file_size(ref / tooLarge) - 32;  // a margin for the time stamp
    EXPECT_LT(fs::file_size(ref / other), fileLimit) << "the case does not separate the two files";
  } else {  // fill the tmpfs, then free room for `other` only
    const uint64_t room = pageUp(fs::file_size(ref / other));
    EXPECT_LT(room + 4096, pageUp(fs::file_size(ref / tooLarge)))
        << "the case does not separate the two files";
    const int fd = ::open((run / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string block(4096, 'x');
    uint64_t size = 0;
    for (ssize_t n; (n = ::write(fd, block.data(), block.size())) > 0;) size += n;
    ASSERT_GE(size, room);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size - room)), 0) << std::strerror(errno);
    ::close(fd);
  }
  Program failing(Command(job, run, then), logs / "failing", fileLimit);
  ASSERT_TRUE(failing.Wait()) << "the run did not end";
  fs::remove(run / "filler");
  EXPECT_TRUE(failing.Exited(1)) << failing.Report();
  const std::string reason = tmpfs ? "No space left on device" : "File too large";
  EXPECT_NE(failing.Output().find(reason), std::string::npos)
      << "the output does not name the reason '" << reason << "':\n"
      << failing.Output();
  // Pack fills its last, unfinished file in place: there only the names must stay.
  for (const auto& [name, text] : before) {
    if (job == Job::kPack) {
      EXPECT_TRUE(fs::exists(run / name)) << name << " is gone";
    } else {
      ExpectSameText(ReadFile(run / name), text, name + " was replaced:");
    }
  }
  ExpectNoLeftovers(run);

  ASSERT_TRUE(RunsToEnd(Command(job, run, then), logs / "again")) << "continuing after it";
  ExpectSameFiles(job, run, ref);
}

// A resume whose save meets RLIMIT_FSIZE below the new size of one file of
// the pair while the other would still fit: first the factor file (deep
// sieve, many factors), then the candidate file (shallow sieve, many
// candidates).
TEST(FullDisk, SaveBeyondTheFileSizeLimitKeepsThePreviousPairAndExitsWithOne) {
  ExpectFailedSaveKeepsTheFiles("factor file too large", Job::kNormal, "1e11", "2e11", "f.txt",
                                "c.txt");
  ExpectFailedSaveKeepsTheFiles("candidate file too large", Job::kNormal, "1e6", "1e7", "c.txt",
                                "f.txt");
}

// The same on a file system that is really full: room for the new candidate
// file only.
TEST(FullDisk, SaveOnAFullTmpfsKeepsThePreviousPairAndExitsWithOne) {
  ExpectFailedSaveKeepsTheFiles("factor file does not fit", Job::kNormal, "1e11", "2e11", "f.txt",
                                "c.txt", true);
}

// A pack that meets RLIMIT_FSIZE at its next new file stops cleanly, and a
// later pack without the limit continues to the same files as an
// uninterrupted one.
TEST(FullDisk, PackBeyondTheFileSizeLimitStopsCleanlyAndALaterPackContinues) {
  ExpectFailedSaveKeepsTheFiles("pack", Job::kPack, "2e9", "1e10");
}

}  // namespace
}  // namespace zentrova
