// The manual page and the bash completion that the program makes of itself,
// against its --help (an independent rendering of the same options) and
// against bash itself completing what a user types.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"

namespace zentrova {
namespace {

// The subcommands --help lists, and the long options a --help lists.
std::vector<std::string> HelpSubcommands() {
  const std::string help = test::RunCli("--help").output;
  std::vector<std::string> names;
  std::istringstream lines(help.substr(help.find("Subcommands:")));
  std::string line;
  const std::regex entry("^  ([a-z]+) +.*");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, entry)) names.push_back(m[1]);
  }
  return names;
}

std::set<std::string> HelpOptions(const std::string& subcommand) {
  const std::string help = test::RunCli(subcommand + " --help").output;
  std::set<std::string> options;
  const std::regex option("^  (?:-[a-z],)?(--[a-z-]+)");
  std::istringstream lines(help.substr(help.find("Options:")));
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, option)) options.insert(m[1]);
  }
  return options;
}

std::string Roff(std::string text) {
  std::string out;
  for (const char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

TEST(ManPage, HasASectionPerSubcommandWithEveryOptionOfItsHelp) {
  const test::CliResult page = test::RunCli("manpage");
  ASSERT_EQ(page.exitCode, 0);
  EXPECT_EQ(page.output.rfind(".\\\"", 0), 0u);  // a roff comment first
  EXPECT_TRUE(test::Has(page, ".TH ZENTROVA 1 "));
  const std::vector<std::string> subcommands = HelpSubcommands();
  ASSERT_EQ(subcommands.size(), 8u) << test::RunCli("--help").output;
  for (const std::string& sub : subcommands) {
    SCOPED_TRACE(sub);
    const std::string heading = ".SS \"zentrova " + sub + " [OPTIONS]\"";
    const size_t at = page.output.find(heading);
    ASSERT_NE(at, std::string::npos);
    const size_t end = std::min(page.output.find(".SS", at + 1), page.output.find(".SH", at + 1));
    const std::string section = page.output.substr(at, end - at);
    for (const std::string& option : HelpOptions(sub)) {
      EXPECT_NE(section.find(".B " + Roff(option)), std::string::npos) << option;
    }
  }
  // The hidden tools of the build are not the user's.
  EXPECT_FALSE(test::Has(page, ".SS \"zentrova manpage"));
  EXPECT_FALSE(test::Has(page, ".SS \"zentrova completion"));
}

// What bash offers for a command line typed up to the cursor (the last word
// as typed so far), with the script the program prints.
std::vector<std::string> Complete(const std::string& script, const std::string& folder,
                                  const std::vector<std::string>& words) {
  std::string array;
  for (const std::string& w : words) array += " '" + w + "'";
  const std::string command =
      "cd '" + folder + "' && bash -c 'source \"$0\"; COMP_WORDS=(" + std::string(ZENTROVA_CLI) +
      array.substr(0) + "); COMP_CWORD=" + std::to_string(words.size()) +
      "; _zentrova_complete; printf \"%s\\n\" \"${COMPREPLY[@]}\"' " + script;
  std::vector<std::string> offered;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return offered;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string word(line);
    while (!word.empty() && word.back() == '\n') word.pop_back();
    if (!word.empty()) offered.push_back(word);
  }
  ::pclose(pipe);
  return offered;
}

TEST(BashCompletion, OffersWhatTheCommandLineTakes) {
  test::ScratchDir dir;
  const test::CliResult script = test::RunCli("completion bash");
  ASSERT_EQ(script.exitCode, 0);
  test::WriteFile(dir / "zentrova.bash", script.output);
  std::filesystem::create_directory(dir.Path() / "sieves");
  test::WriteFile(dir / "sieved.txt", "");
  test::WriteFile((dir.Path() / "sieves" / "c.txt").string(), "");
  struct Case {
    std::vector<std::string> words;    // after the program's name, the last one being typed
    std::vector<std::string> offered;  // exactly, in any order; empty: nothing
    std::vector<std::string> lacks;    // never offered
  };
  const Case cases[] = {
      {{""}, {}, {"manpage", "completion"}},  // filled in below: the subcommands, the options
      {{"re"}, {"resume", "rebuild", "report"}, {}},
      {{"new", "--"}, {}, {}},  // filled in below: every option of new --help
      {{"new", "--exponent", ""}, {}, {}},
      {{"resume", "--sieve-in", "sie"}, {"sieved.txt", "sieves"}, {}},
      {{"pack", "--dir", "sie"}, {"sieves"}, {"sieved.txt"}},
      {{"new", "--isa", ""}, {"auto", "scalar", "avx2", "avx512", "list"}, {}},
      {{"bench", "--gpu-kernel", "mont"}, {"mont64", "mont32x2", "mont32x3"}, {}},
      {{"new", "--device", "c"}, {"cpu"}, {}},
  };
  for (Case c : cases) {
    std::string typed;
    for (const std::string& w : c.words) typed += " " + w;
    SCOPED_TRACE("zentrova" + typed);
    if (c.words == std::vector<std::string>{"new", "--"}) {
      for (const std::string& o : HelpOptions("new")) c.offered.push_back(o);
    }
    if (c.words == std::vector<std::string>{""}) {
      c.offered = HelpSubcommands();
      for (const std::string& o : HelpOptions("")) c.offered.push_back(o);
    }
    std::vector<std::string> offered =
        Complete(dir / "zentrova.bash", dir.Path().string(), c.words);
    std::sort(offered.begin(), offered.end());
    std::sort(c.offered.begin(), c.offered.end());
    EXPECT_EQ(offered, c.offered);
    for (const std::string& word : c.lacks) {
      EXPECT_EQ(std::count(offered.begin(), offered.end(), word), 0) << word;
    }
  }
}

// --device offers the devices 'bench --device list' names (PoCL's, here).
TEST(BashCompletion, DeviceOffersTheListedDevices) {
  const test::CliResult list = test::RunCli("bench --device list");
  std::smatch m;
  const std::regex id("(?:^|\\n)(opencl:[0-9]+) ");
  if (!std::regex_search(list.output, m, id)) GTEST_SKIP() << "no OpenCL device here";
  test::ScratchDir dir;
  test::WriteFile(dir / "zentrova.bash", test::RunCli("completion bash").output);
  const std::vector<std::string> offered =
      Complete(dir / "zentrova.bash", dir.Path().string(), {"bench", "--device", "opencl"});
  EXPECT_NE(std::find(offered.begin(), offered.end(), m[1].str()), offered.end()) << list.output;
}

}  // namespace
}  // namespace zentrova
