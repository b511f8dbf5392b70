// The zentrova program as a user runs it: options, the form's checks with
// their texts, exit codes, overwrite protection, Ctrl-C during a run, the
// version, and a run ended by its stop rate.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "files/CandidateFiles.h"
#include "files/OutputLock.h"
#include "files/PNumber.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;

using Result = test::CliResult;
using test::Has;
using test::RunCli;

std::string NewArgs(const ScratchDir& dir, const std::string& extra) {
  return "new --exponent 65536 --bmin 1200000 --bmax 1200998 --factors-out " + (dir / "f.txt") +
         " --sieve-out " + (dir / "c.txt") + " " + extra;
}

TEST(Cli, HelpExplainsEverySubcommandWithExamples) {
  const Result top = RunCli("--help");
  EXPECT_EQ(top.exitCode, 0);
  for (const char* word : {"new", "resume", "bench", "Examples:", "Exit codes"}) {
    EXPECT_TRUE(Has(top, word)) << word;
  }
  const Result help = RunCli("new --help");
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--exponent", "--bmin", "--bmax", "--factors-out", "--sieve-out",
                             "--save-minutes", "--no-simd", "--p-max", "--p-min", "--threads",
                             "--isa", "--force", "Example:"}) {
    EXPECT_TRUE(Has(help, option)) << option;
  }
}

// A candidate file sieved by another program, missing the bases it struck:
// the refusal names the option that continues it, --help explains it, and
// with it the wide resume runs and says how many bases it took as struck.
TEST(Cli, MissingAsStruckContinuesACandidateFileOfAnotherSieve) {
  const Result help = RunCli("resume --help");
  EXPECT_TRUE(Has(help, "--missing-as-struck")) << help.output;
  EXPECT_TRUE(Has(help, "another program")) << help.output;
  ScratchDir dir;
  test::WriteFile(dir / "c.txt", "ABC $a^$b+1 // 1000\n2 16\n4 16\n10 16\n12 16\n");
  const std::string args = "resume --wide --sieve-in " + (dir / "c.txt") + " --factors-out " +
                           (dir / "f.txt") + " --sieve-out " + (dir / "c2.txt") + " --p-max 1e4";
  const Result refused = RunCli(args);
  EXPECT_EQ(refused.exitCode, 1) << refused.output;
  EXPECT_TRUE(Has(refused, "Base 6 is not in " + (dir / "c.txt"))) << refused.output;
  EXPECT_TRUE(Has(refused, "--missing-as-struck).  Nothing was sieved.")) << refused.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "c2.txt"));
  const Result run = RunCli(args + " --missing-as-struck");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Has(run, "2 bases of the range 2 to 12 (the first 6) are not in " + (dir / "c.txt") +
                           ", and there is no factor file: taken as struck elsewhere, as "
                           "--missing-as-struck asks."))
      << run.output;
}

TEST(Cli, UsageErrorsExitWithTwoAndTheFormsTexts) {
  ScratchDir dir;
  struct Case {
    std::string args;
    std::string text;
  };
  const Case cases[] = {
      {"", "zentrova:"},
      {"frobnicate", "zentrova:"},
      {"new --exponent 12 --bmin 2 --bmax 10 --factors-out " + (dir / "f") + " --sieve-out " +
           (dir / "c"),
       "Exponent 12 is not a proper power of 2 for GFN testing."},
      {"new --exponent 8 --bmin 0 --bmax 10 --factors-out " + (dir / "f") + " --sieve-out " +
           (dir / "c"),
       "A minimum b value is required."},
      {"new --exponent 8 --bmin 10 --bmax 10 --factors-out " + (dir / "f") + " --sieve-out " +
           (dir / "c"),
       "The maximum b value must be greater than the minimum B value."},
      {"new --exponent 8 --bmin 2 --bmax 10 --factors-out '' --sieve-out " + (dir / "c"),
       "A factoring output file name is required."},
      {"new --exponent 8 --bmin 2 --bmax 99999999999 --factors-out a --sieve-out b", "--bmax"},
      {NewArgs(dir, "--p-max 12abc"), "--p-max"},
      {NewArgs(dir, "--p-max 1e30"), "--p-max"},
      {NewArgs(dir, "--threads 0"), "--threads"},
      {NewArgs(dir, "--isa sse9"), "--isa"},
      {NewArgs(dir, "--stop-rate -1"),
       "--stop-rate: The stop rate must be from 1e-06 to 1e+09 seconds, or 0 for none."},
      {NewArgs(dir, "--stop-rate nan"), "--stop-rate: The stop rate must be from"},
      {NewArgs(dir, "--stop-rate 2e9"), "--stop-rate: The stop rate must be from"},
      {NewArgs(dir, "--stop-rate soon"), "--stop-rate"},
      // An empty p is no p (taken as none, the run would never end).
      {NewArgs(dir, "--p-max ''"), "--p-max: an empty value is no p"},
      {NewArgs(dir, "--p-min '' --p-max 1e9"), "--p-min: an empty value is no p"},
      {"resume --sieve-in " + (dir / "c") + " --factors-out " + (dir / "f") + " --sieve-out " +
           (dir / "c") + " --p-max ''",
       "--p-max: an empty value is no p"},
      {"pack --dir " + dir.Path().string() + " --exponent 65536 --p-max ''",
       "--p-max: an empty value is no p"},
      {"bench --p-max ''", "--p-max: an empty value is no p"},
      {"resume --sieve-in " + (dir / "missing.txt") + " --factors-out " + (dir / "f") +
           " --sieve-out " + (dir / "c"),
       "Input File " + (dir / "missing.txt") + " does not exist."},
  };
  for (const Case& c : cases) {
    const Result r = RunCli(c.args);
    EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.output;
    EXPECT_TRUE(Has(r, c.text)) << c.args << "\n" << r.output;
  }
}

// --stop-rate 0 means no stop rate, as its refusal of a bad value says:
// the run goes to its p limit as one without the option does.
TEST(Cli, StopRateZeroIsNone) {
  ScratchDir dir;
  const Result run = RunCli(NewArgs(dir, "--p-max 2e8 --stop-rate 0"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Has(run, "Reached the p limit 200000000.")) << run.output;
  EXPECT_FALSE(Has(run, "Stopping:")) << run.output;
}

TEST(Cli, SievesToPMaxAndRefusesToOverwriteWithoutForce) {
  ScratchDir dir;
  const Result run = RunCli(NewArgs(dir, "--p-max 2e8 --threads 2"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Has(run, "Factors and candidates consistent from 1200000 to 1200998."));
  const std::string factors = ReadFile(dir / "f.txt");
  const std::string cands = ReadFile(dir / "c.txt");
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(cands, depth));
  EXPECT_LE(depth, 200000000);
  EXPECT_GT(depth, 199000000);

  const Result again = RunCli(NewArgs(dir, "--p-max 3e8"));
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_TRUE(Has(again, "--force"));
  EXPECT_EQ(ReadFile(dir / "f.txt"), factors);  // untouched
  EXPECT_EQ(ReadFile(dir / "c.txt"), cands);

  // Resuming in place replaces both files once the new ones are complete.
  const Result resumed = RunCli("resume --factors-in " + (dir / "f.txt") + " --sieve-in " +
                             (dir / "c.txt") + " --factors-out " + (dir / "f.txt") +
                             " --sieve-out " + (dir / "c.txt") + " --p-max 3e8 --force");
  ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "c.txt"), depth));
  EXPECT_GT(depth, 299000000);
}

// A resume in place through symbolic links (the files kept in another
// folder, the links where the user works): the links stay links and their
// files hold what one run to the same depth writes, in both modes. The
// saves used to replace the links with new files, leaving the targets old.
TEST(Cli, ResumeInPlaceThroughSymbolicLinksSavesWhereTheLinksLead) {
  for (const std::string mode : {"", " --wide"}) {
    SCOPED_TRACE(mode.empty() ? "normal" : "wide");
    ScratchDir dir, whole;
    std::filesystem::create_directories(dir.Path() / "data");
    const std::string range = mode + " --exponent 65536 --bmin 1200000 --bmax 1200998";
    ASSERT_EQ(RunCli("new" + range + " --factors-out " + (dir / "data/f.txt") + " --sieve-out " +
                     (dir / "data/c.txt") + " --p-max 2e8")
                  .exitCode,
              0);
    ASSERT_EQ(RunCli("new" + range + " --factors-out " + (whole / "f.txt") + " --sieve-out " +
                     (whole / "c.txt") + " --p-max 4e8")
                  .exitCode,
              0);
    std::filesystem::create_symlink("data/f.txt", dir / "f.txt");
    std::filesystem::create_symlink("data/c.txt", dir / "c.txt");
    const Result r = RunCli("resume" + mode + " --factors-in " + (dir / "f.txt") + " --sieve-in " +
                            (dir / "c.txt") + " --factors-out " + (dir / "f.txt") +
                            " --sieve-out " + (dir / "c.txt") + " --p-max 4e8 --force");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "f.txt"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "c.txt"));
    EXPECT_EQ(ReadFile(dir / "data/c.txt"), ReadFile(whole / "c.txt"));
    std::string factors = ReadFile(dir / "data/f.txt");
    if (mode.empty()) {
      EXPECT_EQ(test::WithoutTimeStamp(factors), test::WithoutTimeStamp(ReadFile(whole / "f.txt")));
    } else {
      const size_t marker = factors.find("\nContinuing Sieve\n\n");
      ASSERT_NE(marker, std::string::npos);
      EXPECT_EQ(factors.erase(marker, 19), ReadFile(whole / "f.txt"));
    }
    // Nothing else appeared beside either: no temporary file, no lock left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path() / "data"),
                            std::filesystem::directory_iterator()),
              2);
  }
}

TEST(Cli, ResumeWithoutFactorFileWarnsAndAJobFailureExitsWithOne) {
  ScratchDir dir;
  test::WriteFile(dir / "in.txt", "ABC $a^$b+1 // 0\n100 8\n104 8\n102 8\n102 8\n");
  const Result r = RunCli("resume --sieve-in " + (dir / "in.txt") + " --factors-out " +
                       (dir / "f.txt") + " --sieve-out " + (dir / "c.txt") + " --p-max 1000");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Has(r, "Without a factoring input file"));
  EXPECT_TRUE(Has(r, "base 102 appears more than once"));
}

TEST(Cli, InterruptStopsAfterTheCurrentBatchAndSaves) {
  ScratchDir dir;
  const std::string command = std::string(ZENTROVA_CLI);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::freopen((dir / "out.log").c_str(), "w", stdout);
    std::freopen((dir / "err.log").c_str(), "w", stderr);
    const std::string f = dir / "f.txt";
    const std::string c = dir / "c.txt";
    ::execl(command.c_str(), command.c_str(), "new", "--exponent", "1024", "--bmin", "2",
            "--bmax", "2000000", "--factors-out", f.c_str(), "--sieve-out", c.c_str(),
            "--threads", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(dir / "out.log") << ReadFile(dir / "err.log");
  const std::string out = ReadFile(dir / "out.log");
  EXPECT_NE(out.find("Stop request received."), std::string::npos) << out;
  EXPECT_NE(out.find("Factors and candidates consistent from 2 to 2000000."), std::string::npos)
      << out;
  UInt128 depth = 0;
  EXPECT_TRUE(ParseCandidateHeader(ReadFile(dir / "c.txt"), depth));
}

TEST(Cli, BenchListsInstructionSetsAndRuns) {
  const Result list = RunCli("bench --isa list");
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_TRUE(Has(list, "kernel scalar  available"));
  const Result bench = RunCli("bench --p-max 2e7 --threads 1");
  EXPECT_EQ(bench.exitCode, 0) << bench.output;
  EXPECT_TRUE(Has(bench, "Loop time was "));
  EXPECT_TRUE(Has(bench, "p per second."));
  EXPECT_TRUE(Has(bench, "Done."));
}

TEST(Cli, VersionNamesTheBuildAndExitsWithZero) {
  const Result r = RunCli("--version");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // Each field on a line of its own, in this order.
  const char* const fields[] = {"zentrova ", "commit ", "build type ", "kernels scalar",
                                "OpenCL ", "MPI "};
  std::istringstream lines(r.output);
  std::string line;
  for (const char* field : fields) {
    ASSERT_TRUE(std::getline(lines, line)) << "no line for '" << field << "':\n" << r.output;
    EXPECT_EQ(line.rfind(field, 0), 0u) << line;
    EXPECT_GT(line.size(), std::string(field).size()) << "no value: " << line;
  }
}

// The lines of a file that hold `marker`, in order.
std::vector<std::string> LinesWith(const std::string& text, const std::string& marker) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(marker) != std::string::npos) out.push_back(line);
  }
  return out;
}

TEST(Cli, StopRateEndsARunWhosePairResumesToTheUninterruptedFiles) {
  // The stop rate is so small that the run must stop at its first look after
  // bases * rate seconds (no more factors than bases can come before), long
  // before --p-max, which an uninterrupted run takes a second or more to reach.
  struct Case {
    const char* mode;
    std::string range;
    const char* stopRate;
    const char* shown;  // as the log line writes it
    const char* pMax;
  };
  const Case cases[] = {
      {"", "--exponent 1024 --bmin 2 --bmax 2000", "0.00005", "5e-05", "5e10"},
      {"--wide", "--exponent 1024 --bmin 2 --bmax 20000", "0.000005", "5e-06", "3e10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ScratchDir stopped, whole;
    const auto files = [](const ScratchDir& dir, const char* in) {
      const std::string outs =
          " --factors-out " + (dir / "f.txt") + " --sieve-out " + (dir / "c.txt");
      if (in == nullptr) return outs;
      return " --factors-in " + (dir / "f.txt") + " --sieve-in " + (dir / "c.txt") + outs;
    };
    const std::string common = std::string(c.mode) + " --threads 2 --p-max " + c.pMax;
    const Result first =
        RunCli("new " + c.range + files(stopped, nullptr) + " " + common + " --stop-rate " + c.stopRate);
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_TRUE(Has(first, "Stopping: one factor per ")) << first.output;
    EXPECT_TRUE(Has(first, std::string("above --stop-rate ") + c.shown + " s.")) << first.output;
    EXPECT_TRUE(Has(first, "Stop request received.")) << first.output;
    EXPECT_FALSE(Has(first, "Reached the p limit")) << first.output;
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(ReadFile(stopped / "c.txt"), depth));

    const Result resumed = RunCli("resume" + files(stopped, "in") + " " + common + " --force");
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(Has(resumed, "Reached the p limit")) << resumed.output;
    const Result uninterrupted = RunCli("new " + c.range + files(whole, nullptr) + " " + common);
    ASSERT_EQ(uninterrupted.exitCode, 0) << uninterrupted.output;
    UInt128 wholeDepth = 0;
    ASSERT_TRUE(ParseCandidateHeader(ReadFile(whole / "c.txt"), wholeDepth));
    EXPECT_LT(depth, wholeDepth);

    EXPECT_EQ(ReadFile(stopped / "c.txt"), ReadFile(whole / "c.txt"));
    const std::string factors = ReadFile(stopped / "f.txt"), wholeFactors = ReadFile(whole / "f.txt");
    if (std::string(c.mode).empty()) {
      EXPECT_EQ(test::WithoutTimeStamp(factors), test::WithoutTimeStamp(wholeFactors));
    } else {
      // Appended in increasing p; the resume adds its "Continuing" line.
      EXPECT_EQ(LinesWith(factors, "factor :"), LinesWith(wholeFactors, "factor :"));
    }
  }
}

}  // namespace
}  // namespace zentrova

namespace zentrova {
namespace {

// The OpenCL loader is opened at run time: without it every CPU job runs,
// and a GPU asked for is refused with a line that says OpenCL is missing.
TEST(CliNoOpenCl, AMachineWithoutOpenClRunsOnTheCpuAndSaysWhyNoGpu) {
  test::ScratchDir dir;
  ::setenv("ZENTROVA_OPENCL_LIBRARY", "/nonexistent/libOpenCL.so.1", 1);
  const std::string outputs =
      " --factors-out " + dir / "f.txt" + " --sieve-out " + dir / "c.txt" + " --force";
  const test::CliResult cpu =
      test::RunCli("new --exponent 16 --bmin 2 --bmax 100 --p-max 1e6" + outputs);
  const test::CliResult gpu =
      test::RunCli("new --exponent 16 --bmin 2 --bmax 100 --p-max 1e6 --device gpu" + outputs);
  const test::CliResult any =
      test::RunCli("new --exponent 16 --bmin 2 --bmax 100 --p-max 1e6 --device auto" + outputs);
  ::unsetenv("ZENTROVA_OPENCL_LIBRARY");
  EXPECT_EQ(cpu.exitCode, 0) << cpu.output;
  EXPECT_NE(gpu.exitCode, 0);
  EXPECT_TRUE(test::Has(gpu, "No OpenCL is installed (/nonexistent/libOpenCL.so.1 was not found)"))
      << gpu.output;
  EXPECT_EQ(any.exitCode, 0) << any.output;
  EXPECT_TRUE(test::Has(any, "No OpenCL is installed")) << any.output;
  EXPECT_TRUE(test::Has(any, "Running on the CPU.")) << any.output;
}

}  // namespace
}  // namespace zentrova

namespace zentrova {
namespace {

// A resume whose outputs are its inputs replaces them without --force; any
// other existing output still needs it. Usage lines name the program, not
// the path it was started by.
TEST(CliResumeInPlace, NeedsNoForceWhileAnyOtherExistingOutputDoes) {
  test::ScratchDir dir;
  const std::string f = dir / "f.txt", c = dir / "c.txt", other = dir / "other.txt";
  const test::CliResult made = test::RunCli(
      "new --exponent 16 --bmin 2 --bmax 300 --p-max 1e6 --factors-out " + f + " --sieve-out " + c);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  test::WriteFile(other, "keep me\n");
  struct Case {
    std::string factorsOut, sieveOut;
    int exitCode;
  };
  for (const Case& k : {Case{f, c, 0}, Case{f, other, 2}, Case{other, c, 2},
                        Case{dir / "./f.txt", c, 0}}) {
    SCOPED_TRACE(k.factorsOut + " " + k.sieveOut);
    const test::CliResult r =
        test::RunCli("resume --factors-in " + f + " --sieve-in " + c + " --factors-out " +
                     k.factorsOut + " --sieve-out " + k.sieveOut + " --p-max 2e6");
    EXPECT_EQ(r.exitCode, k.exitCode) << r.output;
    if (k.exitCode == 2) {
      EXPECT_TRUE(test::Has(r, "Output File " + other + " already exists; add --force"));
    }
  }
  EXPECT_EQ(test::ReadFile(other), "keep me\n");
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(test::ReadFile(c), depth));
  EXPECT_GT(depth, UInt128{1000000});

  const test::CliResult help = test::RunCli("resume --help");
  EXPECT_TRUE(test::Has(help, "Usage: zentrova resume [OPTIONS]")) << help.output;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A usage error of any subcommand, found while its options are read or
// while its job is made, is said once with the --help hint and exits 2.
TEST(CliUsage, EachSubcommandSaysItsUsageErrorOnce) {
  test::ScratchDir dir;
  const std::string f = dir / "f.txt", c = dir / "c.txt";
  struct Case {
    std::string args, text;
  };
  const Case cases[] = {
      {"new --exponent 16 --bmin 2 --bmax 300 --factors-out " + f + " --sieve-out " + c +
           " --isa sse9",
       "--isa: unknown instruction set 'sse9'"},
      {"new --exponent 16 --bmin 2 --bmax 300 --factors-out " + f + " --sieve-out " + c +
           " --p-min 5e6 --p-max 1e6",
       "--p-min must not be above --p-max."},
      {"resume --sieve-in " + c + " --factors-out " + f + " --sieve-out " + c + " --packed-dir " +
           (dir / "none"),
       "--packed-dir: folder " + (dir / "none") + " does not exist."},
      {"bench --p-min 1.5", "--p-min: '1.5' is not a whole number from 1 to 2^94."},
      // A usage error of the device benchmark, once a job failure (1).
      {"bench --device cpu --exponent 3", "Exponent 3 is not a proper power of 2 for GFN testing."},
      {"pack --dir " + dir.Path().string() + " --exponent 16 --file-bytes 3",
       "--file-bytes: '3' is not a whole number of at least"},
      {"merge --factors-in a --sieve-in b --p-min 1 --factors-out " + f + " --sieve-out " + f,
       "--factors-out and --sieve-out name the same file."},
      {"tbf --sieve-in " + (dir / "none.txt") + " --sieve-out " + c +
           " --exponent 16 --bmin 2 --bmax 300",
       "Input File " + (dir / "none.txt") + " does not exist."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args);
    const test::CliResult r = test::RunCli(k.args);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_EQ(Occurrences(r.output, "zentrova: " + k.text), 1u) << r.output;
    EXPECT_EQ(Occurrences(r.output, "Run 'zentrova --help' for more information."), 1u) << r.output;
  }
}

// An output that another run is writing is refused before any check, as
// the desktop program refuses it: even an existing file without --force
// gets that answer (not the question of replacing it), and nothing is run.
TEST(CliOutputInUse, IsRefusedBeforeTheChecks) {
  test::ScratchDir dir;
  const std::string f = dir / "f.txt", c = dir / "c.txt";
  const test::CliResult made = test::RunCli(
      "new --exponent 16 --bmin 2 --bmax 300 --p-max 1e6 --factors-out " + f + " --sieve-out " + c);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string log = dir / "log.txt", report = dir / "r.txt", sorted = dir / "s.txt";
  test::WriteFile(log, "");
  test::WriteFile(report, "an earlier report\n");
  test::WriteFile(sorted, "an earlier file\n");
  struct Case {
    std::string args, held;
  };
  const Case cases[] = {
      {"new --exponent 16 --bmin 2 --bmax 300 --p-max 2e6 --factors-out " + f + " --sieve-out " + c,
       c},
      {"resume --factors-in " + f + " --sieve-in " + c + " --factors-out " + f + " --sieve-out " + c +
           " --p-max 2e6",
       f},
      {"rebuild --factors-in " + f + " --factors-out " + sorted + " --sieve-out " + (dir / "n.txt") +
           " --exponent 16 --bmin 2 --bmax 300",
       sorted},
      {"report --factors-in " + f + " --proth-log " + log + " --report " + report, report},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args);
    const std::string before = test::ReadFile(k.held);
    OutputLock running;
    std::string error;
    ASSERT_TRUE(running.Acquire(k.held, error)) << error;
    const test::CliResult r = test::RunCli(k.args);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_TRUE(test::Has(r, "zentrova: Output file " + k.held + " is in use by another run (" +
                                 k.held + ".lock is locked).  Nothing was run."))
        << r.output;
    EXPECT_FALSE(test::Has(r, "already exists")) << r.output;
    EXPECT_EQ(test::ReadFile(k.held), before);
  }
}

// A resume of files already sieved to or past --p-max says so and sieves
// nothing, in both modes: the candidates are unchanged, the factor lines too.
TEST(CliResumePastPMax, SaysSoAndSievesNothing) {
  struct Case {
    const char* mode;
    const char* pMax;
    const char* said;
  };
  const Case cases[] = {
      {"", "5e6", "at or past the p limit 5000000."},
      {"", "1e7", "no candidate p is left up to the p limit 10000000."},
      {"--wide", "5e6", "at or past the p limit 5000000."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.pMax);
    test::ScratchDir dir;
    const std::string f = dir / "f.txt", c1 = dir / "c.txt";
    const test::CliResult made =
        test::RunCli(std::string("new ") + c.mode + " --exponent 16 --bmin 2 --bmax 3000 " +
                     "--p-max 1e7 --factors-out " + f + " --sieve-out " + c1);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string factors = test::ReadFile(f), cands = test::ReadFile(c1);
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(cands, depth));
    ASSERT_LE(depth, UInt128{10000000});
    const test::CliResult r =
        test::RunCli(std::string("resume ") + c.mode + " --factors-in " + f + " --sieve-in " + c1 +
                     " --factors-out " + f + " --sieve-out " + c1 + " --p-max " + c.pMax);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(test::Has(r, "Nothing to sieve: the files are sieved to p = " + PToString(depth) +
                                 ", "))
        << r.output;
    EXPECT_TRUE(test::Has(r, c.said)) << r.output;
    EXPECT_FALSE(test::Has(r, "Reached the p limit")) << r.output;
    EXPECT_EQ(test::ReadFile(c1), cands);
    if (std::string(c.mode).empty()) {
      EXPECT_EQ(test::WithoutTimeStamp(test::ReadFile(f)), test::WithoutTimeStamp(factors));
    } else {
      EXPECT_EQ(LinesWith(test::ReadFile(f), "factor :"), LinesWith(factors, "factor :"));
    }
  }
}

// A normal sieve of odd bases (b Min odd: the range steps by two) warns
// once and runs; even bases do not warn; the wide mode refuses odd bases.
TEST(CliOddBases, NormalModeWarnsOnce) {
  struct Case {
    std::string args;
    int warnings;
    int exitCode = 0;
  };
  test::ScratchDir dir;
  const std::string outs =
      " --p-max 1e6 --force --factors-out " + (dir / "f.txt") + " --sieve-out " + (dir / "c.txt");
  const Case cases[] = {
      {"new --exponent 16 --bmin 3 --bmax 301" + outs, 1},
      {"new --exponent 16 --bmin 2 --bmax 300" + outs, 0},
      {"new --wide --exponent 16 --bmin 3 --bmax 301" + outs, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const test::CliResult r = test::RunCli(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_EQ(Occurrences(r.output, "b Min 3 is odd"), static_cast<size_t>(c.warnings)) << r.output;
    if (c.warnings > 0 && c.exitCode == 0) {
      EXPECT_TRUE(test::Has(r, "Warning: b Min 3 is odd, so every base of the range is odd, and "
                               "b^N+1 is even for odd b")) << r.output;
    }
  }
}

}  // namespace
}  // namespace zentrova
