// The report, rebuild, tbf and merge subcommands as a user runs them: the
// form's checks with their texts, overwrite protection, exit codes and a
// round trip through files the `new` subcommand wrote.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "files/CandidateFiles.h"
#include "files/OutputLock.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

const std::string kData = ZENTROVA_TEST_DATA;

using Result = test::CliResult;
using test::Has;
using test::RunCli;

constexpr const char* kSampleFactors =
    "GFN Factors b^n+1, b=1200000 to 1200020, n=65536.  Tested to factor 1179649 : "
    "March 14, 2003  03:14:27.\n"
    "1200000^65536+1 has factor 14942209\n"
    "1200014^65536+1 has factor 786433\n"
    "1200020^65536+1 has factor 1179649\n";

TEST(SideCommands, HelpShowsOptionsAndAnExamplePerSubcommand) {
  const Result top = RunCli("--help");
  EXPECT_EQ(top.exitCode, 0);
  for (const char* word : {"report", "rebuild", "tbf", "merge", "zentrova report --factors-in",
                           "zentrova rebuild --factors-in", "zentrova tbf --sieve-in"}) {
    EXPECT_TRUE(Has(top, word)) << word;
  }
  struct Case {
    std::string command;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {"report", {"--factors-in", "--proth-log", "--report", "--force"}},
      {"rebuild",
       {"--factors-in", "--factors-out", "--sieve-out", "--wide", "--exponent", "--bmin", "--bmax",
        "--force"}},
      {"tbf", {"--sieve-in", "--sieve-out", "--exponent", "--bmin", "--bmax", "--force"}},
      {"merge",
       {"--factors-in", "--sieve-in", "--p-min", "--factors-out", "--sieve-out", "--wide",
        "--force"}},
  };
  for (const Case& c : cases) {
    const Result help = RunCli(c.command + " --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Has(help, "Example: zentrova " + c.command + " ")) << c.command;
    for (const std::string& option : c.options) EXPECT_TRUE(Has(help, option)) << option;
  }
}

TEST(SideCommands, UsageErrorsExitWithTwoAndTheFormsTexts) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", kSampleFactors);
  WriteFile(dir / "c.txt", "ABC $a^$b+1 // 5\n1200002 65536\n");
  const std::string f = dir / "f.txt";
  const std::string c = dir / "c.txt";
  const std::string missing = dir / "missing.txt";
  const std::string out = " --sieve-out " + (dir / "o.txt");
  const std::string range = " --exponent 65536 --bmin 1200000 --bmax 1200020";
  struct Case {
    std::string args;
    std::string text;
  };
  const Case cases[] = {
      {"report --proth-log " + c + " --report " + (dir / "r.txt"),
       "A factoring input file name is required."},
      {"report --factors-in " + f + " --report " + (dir / "r.txt"),
       "An proth log file name is required."},
      {"report --factors-in " + f + " --proth-log " + c, "A report output file name is required."},
      {"report --factors-in " + f + " --proth-log " + missing + " --report " + (dir / "r.txt"),
       "Input File " + missing + " does not exist."},
      {"report --factors-in " + missing + " --proth-log " + c + " --report " + (dir / "r.txt"),
       "Input File " + missing + " does not exist."},
      {"rebuild --factors-out " + (dir / "g.txt") + out + range,
       "A factoring input file name is required."},
      {"rebuild --factors-in " + f + out + range, "A factoring output file name is required."},
      {"rebuild --factors-in " + f + " --wide" + range, "An output file name is required."},
      {"rebuild --factors-in " + f + " --wide" + out + " --exponent 12 --bmin 2 --bmax 10",
       "Exponent 12 is not a proper power of 2 for GFN testing."},
      {"rebuild --factors-in " + f + " --wide" + out + " --exponent 8 --bmax 10",
       "A minimum b value is required."},
      {"rebuild --factors-in " + f + " --wide" + out + " --exponent 8 --bmin 10",
       "A maximum b value is required"},
      {"rebuild --factors-in " + f + " --wide" + out + " --exponent 8 --bmin 10 --bmax 10",
       "The maximum b value must be greater than the minimum B value."},
      {"rebuild --factors-in " + f + " --wide" + out + " --exponent 8 --bmin x --bmax 10",
       "--bmin"},
      {"tbf" + range, "An input file name is required."},
      {"tbf --sieve-in " + c + range, "An output file name is required."},
      {"tbf --sieve-in " + missing + out + range, "Input File " + missing + " does not exist."},
      {"tbf --sieve-in " + c + out + " --exponent 12 --bmin 2 --bmax 10",
       "Exponent 12 is not a proper power of 2 for GFN testing."},
      {"tbf --sieve-in " + c + out + " --exponent 8 --bmax 10", "A minimum b value is required."},
      {"tbf --sieve-in " + c + out + " --exponent 8 --bmin 10", "A maximum b value is required"},
      {"tbf --sieve-in " + c + out + " --exponent 8 --bmin 10 --bmax 4",
       "The maximum b value must be greater than the minimum B value."},
      {"tbf --sieve-in " + c + " --sieve-out " + (dir / "no-such-folder/o.txt") + range,
       "Output File " + (dir / "no-such-folder/o.txt") + " cannot be created."},
  };
  for (const Case& k : cases) {
    const Result r = RunCli(k.args);
    EXPECT_EQ(r.exitCode, 2) << k.args << "\n" << r.output;
    EXPECT_TRUE(Has(r, k.text)) << k.args << "\n" << r.output;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "o.txt"));
}

TEST(SideCommands, RoundTripThroughTheFilesOfANewSieve) {
  ScratchDir dir;
  const std::string f = dir / "f.txt";
  const std::string c = dir / "c.txt";
  ASSERT_EQ(RunCli("new --exponent 65536 --bmin 1200000 --bmax 1200998 --factors-out " + f +
                   " --sieve-out " + c + " --p-max 3e8")
                .exitCode,
            0);
  const std::string cands = ReadFile(c);
  const std::string range = " --exponent 65536 --bmin 1200000 --bmax 1200998";

  // rebuild, normal and wide: the same candidates, at the depth of the last
  // factor line.
  Result r = RunCli("rebuild --factors-in " + f + " --factors-out " + (dir / "f2.txt") +
                    " --sieve-out " + (dir / "c2.txt") + range);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::string rebuilt = ReadFile(dir / "c2.txt");
  EXPECT_EQ(rebuilt.substr(rebuilt.find('\n')), cands.substr(cands.find('\n')));
  const std::string factors = ReadFile(f);
  const std::string sorted = ReadFile(dir / "f2.txt");
  EXPECT_EQ(sorted.substr(sorted.find('\n')), factors.substr(factors.find('\n')));
  r = RunCli("rebuild --wide --factors-in " + f + " --sieve-out " + (dir / "c3.txt") + range);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFile(dir / "c3.txt"), rebuilt);

  // An existing output is refused without --force and left as it was.
  r = RunCli("rebuild --wide --factors-in " + f + " --sieve-out " + (dir / "c3.txt") + range);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Has(r, "--force"));
  r = RunCli("tbf --sieve-in " + c + " --sieve-out " + (dir / "c3.txt") + range);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Has(r, "Output File " + (dir / "c3.txt") + " already exists"));
  EXPECT_EQ(ReadFile(dir / "c3.txt"), rebuilt);

  // tbf of the candidate file lists exactly the struck bases; in place with --force.
  r = RunCli("tbf --sieve-in " + c + " --sieve-out " + (dir / "c3.txt") + range + " --force");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r, "Output sieve file " + (dir / "c3.txt") + " created."));
  std::string struck = "ABC $a^$b+1 // 1\n";
  FactorFileContents contents;
  ASSERT_TRUE(ReadFactorFile(f, contents));
  for (const FactorRecord& rec : contents.records) struck += std::to_string(rec.b) + " 65536\n";
  EXPECT_EQ(ReadFile(dir / "c3.txt"), struck);
}

// tbf writes what its input lacks: over its own input it would replace the
// bases it was made from. Every name of the input is refused, --force or
// not, before anything is written.
TEST(SideCommands, TbfRefusesItsOwnInputAsOutputUnderAnyName) {
  ScratchDir dir;
  std::string cands = "ABC $a^$b+1 // 5000\n";
  for (int b = 1200000; b <= 1200078; b += 2) cands += std::to_string(b) + " 65536\n";
  WriteFile(dir / "c.txt", cands);
  std::filesystem::create_directories(dir / "sub");
  std::filesystem::create_symlink(dir / "c.txt", dir / "link.txt");
  const std::string range = " --exponent 65536 --bmin 1200000 --bmax 1200098 --force";
  const std::string in = dir / "c.txt";
  const std::string relative = std::filesystem::relative(in).string();
  for (const std::string& out :
       {in, dir / "sub/../c.txt", dir / "./c.txt", dir / "link.txt", relative}) {
    const Result r = RunCli("tbf --sieve-in " + in + " --sieve-out " + out + range);
    EXPECT_EQ(r.exitCode, 2) << out << "\n" << r.output;
    EXPECT_TRUE(Has(r, "The output " + out + " is also an input.")) << r.output;
    EXPECT_FALSE(Has(r, "written")) << r.output;
    EXPECT_EQ(ReadFile(in), cands) << out;
  }
  // The link given as the input, the file as the output: refused as well.
  const Result r = RunCli("tbf --sieve-in " + (dir / "link.txt") + " --sieve-out " + in + range);
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_EQ(ReadFile(in), cands);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.txt"));
  // Another file is written as before: the 10 bases above the input's.
  const Result ok = RunCli("tbf --sieve-in " + in + " --sieve-out " + (dir / "t.txt") + range);
  ASSERT_EQ(ok.exitCode, 0) << ok.output;
  std::string lacking = "ABC $a^$b+1 // 1\n";
  for (int b = 1200080; b <= 1200098; b += 2) lacking += std::to_string(b) + " 65536\n";
  EXPECT_EQ(ReadFile(dir / "t.txt"), lacking);
}

TEST(SideCommands, ReportExitsZeroWithConsistencyMessagesAndOneOnAJobFailure) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", kSampleFactors);
  const std::string report = dir / "r.txt";
  Result r = RunCli("report --factors-in " + (dir / "f.txt") + " --proth-log " + kData +
                    "/genefer.log --report " + report);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r, "Report consistency error, found composite b=1200012, expected b=1200010."));
  EXPECT_TRUE(Has(r, "Report file " + report + " written."));
  const std::string first = ReadFile(report);
  EXPECT_EQ(first.substr(0, 36), "1200000^65536+1 has factor 14942209\n");

  r = RunCli("report --factors-in " + (dir / "f.txt") + " --proth-log " + kData +
             "/pfgw.log --report " + report);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(ReadFile(report), first);
  r = RunCli("report --factors-in " + (dir / "f.txt") + " --proth-log " + kData +
             "/pfgw.log --report " + report + " --force");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(ReadFile(report), first);

  // A factor file without a header is a job failure.
  WriteFile(dir / "bare.txt", "1200014^65536+1 has factor 786433\n");
  r = RunCli("report --factors-in " + (dir / "bare.txt") + " --proth-log " + kData +
             "/pfgw.log --report " + (dir / "r2.txt"));
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Has(r, "Factoring input error, bMin=0, bMax=0, Exponent=0."));
}

TEST(SideCommands, RebuildWarnsAboutWideRangesAndFailsOnABadFactor) {
  ScratchDir dir;
  WriteFile(dir / "empty.txt", "GFN Factors b^n+1, b=2 to 200002, n=8.  Tested to factor 0 : x.\n");
  Result r = RunCli("rebuild --factors-in " + (dir / "empty.txt") + " --factors-out " +
                    (dir / "f.txt") + " --sieve-out " + (dir / "c.txt") +
                    " --exponent 8 --bmin 2 --bmax 200002");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r, "zentrova: note: In normal mode (not wide math mode), a rebuild from factors "
                     "can take a very long time with a b range wider than 100000. Do you wish to "
                     "continue? Continuing."));
  EXPECT_TRUE(Has(r, "100001 items 0 p value written to " + (dir / "c.txt") + "."));
  const std::string candidates = ReadFile(dir / "c.txt");

  // 4^8+1 = 65537 is prime; 3 does not divide it.
  WriteFile(dir / "bad.txt", "GFN Factors b^n+1, b=2 to 10, n=8.  Tested to factor 3 : x.\n"
                            "4^8+1 has factor 65537\n6^8+1 has factor 3\n");
  r = RunCli("rebuild --factors-in " + (dir / "bad.txt") + " --factors-out " + (dir / "f.txt") +
             " --sieve-out " + (dir / "c.txt") + " --exponent 8 --bmin 2 --bmax 10 --force");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Has(r, "Factor file 3 does not divide 6*2^3+1."));
  EXPECT_FALSE(Has(r, "items 0 p value written"));
  EXPECT_EQ(ReadFile(dir / "c.txt"), candidates);
}

// A 0-byte factor file is nothing to rebuild from: exit 1 naming the file,
// and no output appears (it used to write every base at depth 0).
TEST(SideCommands, RebuildRefusesAFactorFileWithoutAHeader) {
  ScratchDir dir;
  WriteFile(dir / "empty.txt", "");
  const Result r = RunCli("rebuild --factors-in " + (dir / "empty.txt") + " --factors-out " +
                          (dir / "f.txt") + " --sieve-out " + (dir / "c.txt") +
                          " --exponent 16 --bmin 2 --bmax 20");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(Has(r, (dir / "empty.txt") + " has no factor file header")) << r.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "c.txt"));
}

// Slices of one range of p, sieved by `new` into <name>-f.txt and
// <name>-c.txt, merged into m-f.txt and m-c.txt: tiled they give the files of
// one run; untiled, or with an output or a slice in use by a run, the merge
// exits non-zero and leaves the outputs as they were.
class MergeCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    Slice("a", "", "3e6");
    Slice("b", "3000001", "9e6");
    Slice("c", "9000001", "2e7");
    Slice("whole", "", "2e7");
    Slice("early", "9000001", "15e6");  // as if stopped before its --p-max of 2e7
    Slice("d", "20000001", "21e6");     // the slice after it
    Slice("bc", "5000001", "2e7");      // overlapping b and c
  }

  void Slice(const std::string& name, const std::string& pMin, const std::string& pMax) {
    const Result r =
        RunCli("new --exponent 1024 --bmin 2 --bmax 20000 --factors-out " +
               (dir / (name + "-f.txt")) + " --sieve-out " + (dir / (name + "-c.txt")) +
               (pMin.empty() ? "" : " --p-min " + pMin) + " --p-max " + pMax);
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  // "a 1 b 3000001": slice a from --p-min 1, then b from 3000001.
  Result Merge(const std::string& slices, const std::string& more = " --force") {
    std::string args = "merge";
    std::istringstream in(slices);
    std::string name, pMin;
    while (in >> name >> pMin) {
      args += " --factors-in " + (dir / (name + "-f.txt")) + " --sieve-in " +
              (dir / (name + "-c.txt")) + " --p-min " + pMin;
    }
    return RunCli(args + " --factors-out " + (dir / "m-f.txt") + " --sieve-out " +
                  (dir / "m-c.txt") + more);
  }

  void ExpectOutputsUntouched() {
    EXPECT_EQ(ReadFile(dir / "m-f.txt"), "the factors of another merge\n");
    EXPECT_EQ(ReadFile(dir / "m-c.txt"), "the candidates of another merge\n");
  }

  ScratchDir dir;
};

TEST_F(MergeCommand, TiledSlicesGiveTheFilesOfOneRun) {
  const Result r = Merge("a 1 b 3000001 c 9000001", "");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(Has(r, "Slice 2: " + (dir / "b-f.txt") + " and " + (dir / "b-c.txt") +
                         ", from p = 3000001 to p = "));
  EXPECT_EQ(ReadFile(dir / "m-c.txt"), ReadFile(dir / "whole-c.txt"));
  const std::string merged = ReadFile(dir / "m-f.txt");
  const std::string whole = ReadFile(dir / "whole-f.txt");
  EXPECT_EQ(merged.substr(merged.find('\n')), whole.substr(whole.find('\n')));
}

TEST_F(MergeCommand, SlicesThatDoNotTileAreRefusedAndTheOutputsKept) {
  struct Case {
    std::string slices, more;
    int exitCode;
    std::string text;
  };
  const Case cases[] = {
      {"b 3000001 a 1", "", 1, "Slice 2 (" + (dir / "a-c.txt") + ") starts at p = 1, not above"},
      {"a 1 c 9000001 b 3000001", "", 1,
       "Slice 3 (" + (dir / "b-c.txt") + ") starts at p = 3000001"},
      {"a 1 b 3000001 bc 5000001", "", 1, "the slices overlap or are out of order"},
      {"a 1 c 9000001", "", 1,
       "No slice sieved the p from 3002369 to 9000000: slice 1 (" + (dir / "a-c.txt") +
           ") reached p = 2979841 and slice 2 starts at p = 9000001."},
      {"b 3000001 c 9000001", "", 1, "the first slice must start at the first p (--p-min 1)"},
      {"a 1 b 3000001 early 9000001 d 20000001", "", 1,
       "If slice 3 was stopped early, resume it with --p-max 20000000 and merge again."},
      {"a 1 b 3000001", " --p-min 9000001", 2,
       "Each slice needs --factors-in, --sieve-in and --p-min (2, 2 and 3 given)."},
      {"a 1 b 3e6+1", "", 2, "--p-min: '3e6+1' is not a whole number"},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "m-f.txt", "the factors of another merge\n");
    WriteFile(dir / "m-c.txt", "the candidates of another merge\n");
    const Result r = Merge(c.slices, c.more + " --force");
    EXPECT_EQ(r.exitCode, c.exitCode) << c.slices << "\n" << r.output;
    EXPECT_TRUE(Has(r, c.text)) << c.slices << "\n" << r.output;
    ExpectOutputsUntouched();
  }
}

TEST_F(MergeCommand, RefusedWhileAnOutputOrASliceIsInUseByARun) {
  for (const std::string held : {"m-f.txt", "m-c.txt", "b-f.txt", "a-c.txt"}) {
    WriteFile(dir / "m-f.txt", "the factors of another merge\n");
    WriteFile(dir / "m-c.txt", "the candidates of another merge\n");
    OutputLock run;  // as a sieve holds its outputs
    std::string error;
    ASSERT_TRUE(run.Acquire(dir / held, error)) << error;
    const Result r = Merge("a 1 b 3000001");
    EXPECT_EQ(r.exitCode, 1) << held << "\n" << r.output;
    EXPECT_TRUE(Has(r, (held[0] == 'm' ? "Output file " : "Input file ") + (dir / held) +
                           " is in use by another run (" + (dir / held) + ".lock is locked)"))
        << r.output;
    EXPECT_TRUE(Has(r, "Nothing was merged.")) << r.output;
    ExpectOutputsUntouched();
  }
  const Result r = Merge("a 1 b 3000001");
  EXPECT_EQ(r.exitCode, 0) << r.output;
}

}  // namespace
}  // namespace zentrova
