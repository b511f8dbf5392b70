// Every reader of a candidate or factor file takes a number only when it is
// whole decimal digits and nothing else, and a line only when it is one of its
// file's forms: a damaged depth, a first line that is no header, a factor
// written "17x" are refused with the file and the line named, before anything
// is written. Each damage is tried on every command that reads the file,
// through the real program, on files a real run wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"

namespace zentrova {
namespace {

using test::CliResult;
using test::Has;
using test::ReadFile;
using test::RunCli;
using test::ScratchDir;
using test::WriteFile;

// The lines of a text, each with its "\n".
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

// The text with line `n` (from 1) replaced by `with` ("\n" added), or, with
// insert, `with` put before it.
std::string Edit(const std::string& text, size_t n, const std::string& with, bool insert = false) {
  std::vector<std::string> lines = Lines(text);
  if (insert) {
    lines.insert(lines.begin() + static_cast<ptrdiff_t>(n - 1), with + "\n");
  } else {
    lines.at(n - 1) = with + "\n";
  }
  std::string out;
  for (const std::string& line : lines) out += line;
  return out;
}

class StrictReaders : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new ScratchDir();
    const ScratchDir& d = *s_dir;
    const CliResult normal = RunCli("new --exponent 16 --bmin 2 --bmax 300 --p-max 1e6 --threads 1 "
                                    "--factors-out " + d / "f.txt" + " --sieve-out " + d / "c.txt");
    ASSERT_EQ(normal.exitCode, 0) << normal.output;
    const CliResult wide = RunCli("new --wide --exponent 16 --bmin 2 --bmax 3000 --p-max 1e6 "
                                  "--threads 1 --factors-out " + d / "wf.txt" + " --sieve-out " +
                                  d / "wc.txt");
    ASSERT_EQ(wide.exitCode, 0) << wide.output;
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }

  static std::string Original(const std::string& name) { return ReadFile(*s_dir / name); }

  // Writes the damaged file (and the intact others) into a fresh folder, runs
  // each command (with the folder as {}), and checks that each refuses with
  // "<file> line <n>:" and leaves every file as it was, writing none.
  void ExpectRefused(const std::string& damagedName, const std::string& damaged, int line,
                     const std::vector<std::string>& commands) {
    ScratchDir dir;
    for (const char* name : {"f.txt", "c.txt", "wf.txt", "wc.txt"}) {
      WriteFile(dir / name, name == damagedName ? damaged : Original(name));
    }
    WriteFile(dir / "tester.log", "");
    for (std::string command : commands) {
      for (size_t at; (at = command.find("{}")) != std::string::npos;) {
        command.replace(at, 2, dir.Path().string() + "/");
      }
      SCOPED_TRACE(command);
      const CliResult r = RunCli(command);
      EXPECT_NE(r.exitCode, 0);
      EXPECT_TRUE(Has(r, dir / damagedName + " line " + std::to_string(line) + ": ")) << r.output;
      for (const char* name : {"f.txt", "c.txt", "wf.txt", "wc.txt"}) {
        EXPECT_EQ(ReadFile(dir / name), name == damagedName ? damaged : Original(name)) << name;
      }
      for (const char* out : {"fo.txt", "co.txt", "report.txt"}) {
        EXPECT_FALSE(std::filesystem::exists(dir / out)) << out;
      }
    }
  }

  static ScratchDir* s_dir;
};

ScratchDir* StrictReaders::s_dir = nullptr;

const std::vector<std::string> kNormalCandidateReaders = {
    "resume --factors-in {}f.txt --sieve-in {}c.txt --factors-out {}fo.txt --sieve-out {}co.txt "
    "--p-max 2e6",
    "resume --sieve-in {}c.txt --factors-out {}fo.txt --sieve-out {}co.txt --p-max 2e6",
    "merge --factors-in {}f.txt --sieve-in {}c.txt --p-min 1 --factors-out {}fo.txt "
    "--sieve-out {}co.txt",
};
const std::vector<std::string> kWideCandidateReaders = {
    "resume --wide --factors-in {}wf.txt --sieve-in {}wc.txt --factors-out {}fo.txt "
    "--sieve-out {}co.txt --p-max 2e6",
    "merge --wide --factors-in {}wf.txt --sieve-in {}wc.txt --p-min 1 --factors-out {}fo.txt "
    "--sieve-out {}co.txt",
};
const std::vector<std::string> kNormalFactorReaders = {
    kNormalCandidateReaders[0],
    kNormalCandidateReaders[2],
    "report --factors-in {}f.txt --proth-log {}tester.log --report {}report.txt",
};
const std::vector<std::string> kWideFactorReaders = kWideCandidateReaders;

// The sound files resume and merge: the refusals below come from the damage.
TEST_F(StrictReaders, TheIntactFilesAreAccepted) {
  for (std::string command : {kNormalCandidateReaders[0], kNormalCandidateReaders[2],
                              kWideCandidateReaders[0], kWideCandidateReaders[1]}) {
    ScratchDir dir;
    for (const char* name : {"f.txt", "c.txt", "wf.txt", "wc.txt"}) {
      WriteFile(dir / name, Original(name));
    }
    for (size_t at; (at = command.find("{}")) != std::string::npos;) {
      command.replace(at, 2, dir.Path().string() + "/");
    }
    const CliResult r = RunCli(command);
    EXPECT_EQ(r.exitCode, 0) << command << "\n" << r.output;
  }
}

TEST_F(StrictReaders, ADepthThatIsNotAWholeNumberIsRefused) {
  const std::string header = "ABC $a^$b+1 // ";
  for (const std::string& depth :
       {std::string("1.3246325827206842129e19"), std::string("0xb7d4"),
        std::string("13246325827206842129 5"), std::string(""), std::string("+5"),
        std::string("9999937x"), std::string("12\0 34", 6), std::string("1e400"),
        std::string("-999953"), std::string(" 999953")}) {
    SCOPED_TRACE("depth \"" + depth + "\"");
    ExpectRefused("c.txt", Edit(Original("c.txt"), 1, header + depth), 1, kNormalCandidateReaders);
    ExpectRefused("wc.txt", Edit(Original("wc.txt"), 1, header + depth), 1,
                  kWideCandidateReaders);
  }
}

TEST_F(StrictReaders, AFirstLineThatIsNoHeaderIsRefused) {
  for (const std::string& first :
       {std::string("hello"), std::string(""), std::string("XBC $a^$b+1 // 999953"),
        std::string("ABC $a^$b+2 // 999953"), std::string("ABC $a^$b+1 / 999953"),
        std::string(" ABC $a^$b+1 // 999953")}) {
    SCOPED_TRACE("first line \"" + first + "\"");
    ExpectRefused("c.txt", Edit(Original("c.txt"), 1, first), 1, kNormalCandidateReaders);
    ExpectRefused("wc.txt", Edit(Original("wc.txt"), 1, first), 1, kWideCandidateReaders);
  }
}

TEST_F(StrictReaders, ACandidateLineThatIsNotTwoWholeNumbersIsRefused) {
  for (const std::string& line :
       {std::string("312\0 8", 6), std::string("\0\0\0", 3), std::string("   "),
        std::string(""), std::string("8 16x"), std::string("+8 16"), std::string("8  16"),
        std::string("8 16 3"), std::string("0 16"), std::string("8 0"), std::string("8\t16")}) {
    SCOPED_TRACE("line \"" + line + "\"");
    ExpectRefused("c.txt", Edit(Original("c.txt"), 3, line, true), 3, kNormalCandidateReaders);
    ExpectRefused("wc.txt", Edit(Original("wc.txt"), 3, line, true), 3, kWideCandidateReaders);
  }
}

TEST_F(StrictReaders, AFactorLineWhoseNumbersAreNotWholeIsRefused) {
  const std::string factors = Original("f.txt");
  const std::string line2 = Lines(factors).at(1);  // "<b>^16+1 has factor <p>\n"
  const std::string good = line2.substr(0, line2.size() - 1);
  const std::string lead = good.substr(0, good.find("has factor ") + 11);
  const std::string p = good.substr(lead.size());
  for (const std::string& bad :
       {lead + p + "x", lead + p + ".0", lead + p + " ", lead + "+" + p, lead + " " + p,
        "x" + good, good.substr(0, good.find('^')) + "^16x+1 has factor " + p,
        std::string(1 << 20, '7'), std::string(""), std::string("hello")}) {
    SCOPED_TRACE("line \"" + bad.substr(0, 60) + "\"");
    ExpectRefused("f.txt", Edit(factors, 2, bad), 2, kNormalFactorReaders);
  }
  // A number of the header.
  const std::string header = Lines(factors).at(0);
  for (const auto& [from, to] : {std::pair<std::string, std::string>{", n=16.", ", n=16x."},
                                 {"b=2 to", "b=2.0 to"}, {"to 300,", "to +300,"}}) {
    std::string damaged = header;
    damaged.replace(damaged.find(from), from.size(), to);
    SCOPED_TRACE(damaged);
    ExpectRefused("f.txt", Edit(factors, 1, damaged.substr(0, damaged.size() - 1)), 1,
                  kNormalFactorReaders);
  }
}

TEST_F(StrictReaders, AWideFactorLineThatIsNoneOfTheFormatIsRefused) {
  const std::string factors = Original("wf.txt");
  // The first factor line is the third: the header, then a blank line.
  const std::string line3 = Lines(factors).at(2);
  ASSERT_EQ(line3.substr(0, 2), "1*");
  const std::string good = line3.substr(0, line3.size() - 1);
  const std::string lead = good.substr(0, good.find(": ") + 2);
  const std::string p = good.substr(lead.size());
  for (const std::string& bad : {lead + p + "x", lead + p + ".0", lead + "+" + p,
                                 "1*x" + good.substr(2), std::string("hello"),
                                 std::string(1 << 20, '7')}) {
    SCOPED_TRACE("line \"" + bad.substr(0, 60) + "\"");
    ExpectRefused("wf.txt", Edit(factors, 3, bad), 3, kWideFactorReaders);
  }
}

}  // namespace
}  // namespace zentrova

namespace zentrova {
namespace {

// A candidate file with no header at all is read from the first p, as the
// format allows, and the run says so.
TEST(StrictReadersHeaderless, ACandidateFileWithoutAnyHeaderStartsAtTheFirstPAndSaysSo) {
  test::ScratchDir dir;
  test::WriteFile(dir / "c.txt", "2 16\n4 16\n");
  const test::CliResult r =
      test::RunCli("resume --sieve-in " + dir / "c.txt" + " --factors-out " + dir / "fo.txt" +
                   " --sieve-out " + dir / "co.txt" + " --p-max 1000");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(test::Has(r, "Sieve file " + dir / "c.txt" +
                               " has no depth line \"ABC $a^$b+1 // <p>\": sieving starts at the "
                               "first p."));
  EXPECT_EQ(test::ReadFile(dir / "co.txt"), "ABC $a^$b+1 // 929\n2 16\n");
}

}  // namespace
}  // namespace zentrova
