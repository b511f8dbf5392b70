// The checks Start makes before a job is handed over: their order, their
// texts, the questions asked and the file operations done, per job choice.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "front/StartChecks.h"
#include "files/CandidateFiles.h"

namespace zentrova {
namespace {

constexpr const char* kResumeQuestion =
    "Without a factoring input file, the factoring output file will not contain all the factors "
    "previously found.\r\nThe input file must be an output file from a previous run.\r\nDo you "
    "wish to continue without a factoring input file?";
constexpr const char* kRebuildWarning =
    "In normal mode (not wide math mode), a rebuild from factors can take a very long time with a "
    "b range wider than 100000.\r\nDo you wish to continue?";

// A host that answers from a script and writes down what it was asked to do,
// in order: "ask <caption>: <text>", "tell: <text>", "create <path>". It
// has no way to delete a file: Start never does.
class FakeHost : public FormHost {
 public:
  std::set<std::string> files;        // what exists
  std::set<std::string> uncreatable;  // creation tests that fail
  std::deque<bool> answers;           // Yes/No, in order
  std::vector<std::string> events;

  bool AskYesNo(const std::string& text, const std::string& caption, Question kind) override {
    // Overwrite questions carry the file's name as their caption.
    EXPECT_EQ(kind == Question::kOverwrite, caption != "Question" && caption != "Warning");
    events.push_back("ask " + caption + ": " + text);
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << text;
      return false;
    }
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Tell(const std::string& text) override { events.push_back("tell: " + text); }
  bool FileExists(const std::string& path) override { return files.count(path) > 0; }
  bool CreateFile(const std::string& path) override {
    events.push_back("create " + path);
    return uncreatable.count(path) == 0;
  }
};

std::string Ask(const std::string& caption, const std::string& text) {
  return "ask " + caption + ": " + text;
}
std::string Overwrite(const std::string& file) {
  return Ask(file, "Output File " + file + " already exists, overwrite it?");
}
std::string Tell(const std::string& text) {
  return "tell: " + text;
}

using Events = std::vector<std::string>;

// Every name filled in and a valid range, so each test changes only what it checks.
FormParams FullParams(int32_t choice) {
  FormParams p;
  p.jobChoice = choice;
  p.factorIn = "fin.txt";
  p.factorOut = "fout.txt";
  p.sieveIn = "sin.txt";
  p.sieveOut = "sout.txt";
  p.prothLog = "proth.log";
  p.report = "report.txt";
  p.bMin = 2;
  p.bMax = 1000;
  p.exponent = 1024;
  return p;
}

// --- new sieve -------------------------------------------------------------------

TEST(StartChecksNewSieve, AcceptedWithCreationTestsAndClearedInputNames) {
  FormParams p = FullParams(0);
  FakeHost host;
  host.files = {"fin.txt", "sin.txt"};  // inputs are not looked at
  EXPECT_TRUE(RunStartChecks(p, host));
  EXPECT_EQ(host.events, (Events{"create fout.txt", "create sout.txt"}));
  EXPECT_EQ(p.ln, 10);
  EXPECT_EQ(p.exponent, 1024);
  EXPECT_EQ(p.factorIn, "");
  EXPECT_EQ(p.sieveIn, "");
  EXPECT_EQ(p.prothLog, "");
  EXPECT_EQ(p.report, "");
  EXPECT_EQ(p.factorOut, "fout.txt");
  EXPECT_EQ(p.sieveOut, "sout.txt");
}

TEST(StartChecksNewSieve, OutputNamesAreRequiredFactorOutputFirst) {
  {
    FormParams p = FullParams(0);
    p.factorOut.clear();
    p.sieveOut.clear();
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("A factoring output file name is required.")}));
  }
  {
    FormParams p = FullParams(0);
    p.sieveOut.clear();
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("An output file name is required.")}));
  }
}

TEST(StartChecksNewSieve, OverwriteQuestionsFactorOutputFirst) {
  {
    FormParams p = FullParams(0);
    FakeHost host;
    host.files = {"fout.txt", "sout.txt"};
    host.answers = {true, true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("fout.txt"), "create fout.txt",
                                   Overwrite("sout.txt"), "create sout.txt"}));
  }
  {
    // No keeps the file and ends Start without a further word.
    FormParams p = FullParams(0);
    FakeHost host;
    host.files = {"fout.txt", "sout.txt"};
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("fout.txt")}));
    EXPECT_EQ(host.files, (std::set<std::string>{"fout.txt", "sout.txt"}));
  }
  {
    FormParams p = FullParams(0);
    FakeHost host;
    host.files = {"sout.txt"};
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create fout.txt", Overwrite("sout.txt")}));
    EXPECT_EQ(host.files, (std::set<std::string>{"sout.txt"}));
  }
}

// Yes only confirms: the output is replaced by the job's own save, so a later
// refusal leaves it as it was.
TEST(StartChecksNewSieve, ExistingOutputStaysWhenALaterCheckFails) {
  FormParams p = FullParams(0);
  p.exponent = 12;
  FakeHost host;
  host.files = {"fout.txt"};
  host.answers = {true};
  EXPECT_FALSE(RunStartChecks(p, host));
  EXPECT_EQ(host.events,
            (Events{Overwrite("fout.txt"), "create fout.txt", "create sout.txt",
                    Tell("Exponent 12 is not a proper power of 2 for GFN testing.")}));
  EXPECT_EQ(host.files, (std::set<std::string>{"fout.txt"}));
}

TEST(StartChecksNewSieve, FailedCreationTestEndsStart) {
  {
    FormParams p = FullParams(0);
    FakeHost host;
    host.uncreatable = {"sout.txt"};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create fout.txt", "create sout.txt",
                                   Tell("Output File sout.txt cannot be created.")}));
  }
  {
    FormParams p = FullParams(0);
    FakeHost host;
    host.files = {"fout.txt"};
    host.answers = {true};
    host.uncreatable = {"fout.txt"};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("fout.txt"), "create fout.txt",
                                   Tell("Output File fout.txt cannot be created.")}));
  }
}

TEST(StartChecksNewSieve, ExponentMustBeAPowerOfTwo) {
  const struct {
    int32_t exponent;
    int32_t ln;
  } good[] = {{2, 1}, {4, 2}, {32, 5}, {65536, 16}, {1073741824, 30}};
  for (const auto& g : good) {
    SCOPED_TRACE(g.exponent);
    FormParams p = FullParams(0);
    p.exponent = g.exponent;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(p.ln, g.ln);
    EXPECT_EQ(ExponentLog2(g.exponent), g.ln);
  }
  for (int32_t bad : {1, 0, -4, 3, 12, 6, 1000, 1073741823, 2147483647, -2147483647 - 1}) {
    SCOPED_TRACE(bad);
    FormParams p = FullParams(0);
    p.exponent = bad;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create fout.txt", "create sout.txt",
                                   Tell("Exponent " + std::to_string(bad) +
                                        " is not a proper power of 2 for GFN testing.")}));
    EXPECT_EQ(p.ln, 0);
    EXPECT_EQ(ExponentLog2(bad), 0);
  }
}

TEST(StartChecksNewSieve, RangeChecks) {
  const struct {
    int32_t bMin, bMax;
    const char* text;
  } cases[] = {
      {0, 0, "A minimum b value is required."},
      {0, 100, "A minimum b value is required."},
      {-6, 100, "A minimum b value is required."},
      {10, 0, "A maximum b value is required"},
      {10, -2, "A maximum b value is required"},
      {10, 10, "The maximum b value must be greater than the minimum B value."},
      {10, 8, "The maximum b value must be greater than the minimum B value."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bMin) + ".." + std::to_string(c.bMax));
    FormParams p = FullParams(0);
    p.bMin = c.bMin;
    p.bMax = c.bMax;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create fout.txt", "create sout.txt", Tell(c.text)}));
  }
  {
    // The exponent is checked before the range.
    FormParams p = FullParams(0);
    p.bMin = 0;
    p.exponent = 3;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(), Tell("Exponent 3 is not a proper power of 2 for GFN testing."));
    EXPECT_EQ(host.events.size(), 3u);
  }
  {
    FormParams p = FullParams(0);
    p.bMin = 3;
    p.bMax = 4;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
  }
}

// The wide walk strikes even bases only, and b^N+1 is even for every odd b:
// a wide sieve of odd bases is refused after the range checks; the normal
// mode sieves either parity.
TEST(StartChecksNewSieve, WideModeRefusesAnOddBMin) {
  const std::string odd3 =
      "b Min 3 is odd: the wide mode sieves even bases only, and b^N+1 is even for every odd b, "
      "so a range of odd bases holds no prime.";
  const struct {
    int32_t wideMath, bMin, bMax;
    std::string refusal;  // empty: accepted
  } cases[] = {
      {1, 3, 1001, odd3},
      {1, 3, 4, odd3},
      {1, 2147483645, 2147483647,
       "b Min 2147483645 is odd: the wide mode sieves even bases only, and b^N+1 is even for "
       "every odd b, so a range of odd bases holds no prime."},
      {1, 2, 1001, ""},
      {0, 3, 1001, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.wideMath) + " " + std::to_string(c.bMin));
    FormParams p = FullParams(0);
    p.wideMath = c.wideMath;
    p.bMin = c.bMin;
    p.bMax = c.bMax;
    FakeHost host;
    EXPECT_EQ(RunStartChecks(p, host), c.refusal.empty());
    Events want{"create fout.txt", "create sout.txt"};
    if (!c.refusal.empty()) want.push_back(Tell(c.refusal));
    EXPECT_EQ(host.events, want);
  }
}

TEST(StartChecksNewSieve, PackedKExponentMustMatch) {
  {
    FormParams p = FullParams(0);
    p.packedKDir = "packed";
    p.packedKExponent = 2048;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(),
              Tell("The packed K file exponent and the main menu exponent do not match."));
  }
  {
    FormParams p = FullParams(0);
    p.packedKDir = "packed";
    p.packedKExponent = 1024;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(p.exponent, 1024);
  }
  {
    // Without a packed K folder its exponent does not matter.
    FormParams p = FullParams(0);
    p.packedKExponent = 2048;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
  }
}

// --- resume --------------------------------------------------------------------------

TEST(StartChecksResume, QuestionWithoutFactorInputInNormalMode) {
  {
    FormParams p = FullParams(1);
    p.factorIn.clear();
    FakeHost host;
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Ask("Question", kResumeQuestion)}));
  }
  {
    FormParams p = FullParams(1);
    p.factorIn.clear();
    FakeHost host;
    host.files = {"sin.txt"};
    host.answers = {true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events,
              (Events{Ask("Question", kResumeQuestion), "create fout.txt", "create sout.txt"}));
  }
  {
    // Asked before the other names are looked at.
    FormParams p = FullParams(1);
    p.factorIn.clear();
    p.sieveIn.clear();
    FakeHost host;
    host.answers = {true};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events,
              (Events{Ask("Question", kResumeQuestion), Tell("An input file name is required.")}));
  }
  {
    // Not asked in wide math mode.
    FormParams p = FullParams(1);
    p.factorIn.clear();
    p.wideMath = 1;
    FakeHost host;
    host.files = {"sin.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create sout.txt"}));
  }
}

TEST(StartChecksResume, RequiredNamesAndInputFiles) {
  const struct {
    const char* name;
    void (*change)(FormParams&);
    std::set<std::string> files;
    const char* text;
  } cases[] = {
      {"no sieve input",
       [](FormParams& p) { p.sieveIn.clear(); },
       {"fin.txt", "sin.txt"},
       "An input file name is required."},
      {"no factor output",
       [](FormParams& p) { p.factorOut.clear(); },
       {"fin.txt", "sin.txt"},
       "A factoring output file name is required."},
      {"no sieve output",
       [](FormParams& p) { p.sieveOut.clear(); },
       {"fin.txt", "sin.txt"},
       "An output file name is required."},
      {"factor input missing",
       [](FormParams&) {},
       {"sin.txt"},
       "Input File fin.txt does not exist."},
      {"both inputs missing", [](FormParams&) {}, {}, "Input File fin.txt does not exist."},
      {"sieve input missing",
       [](FormParams&) {},
       {"fin.txt"},
       "Input File sin.txt does not exist."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormParams p = FullParams(1);
    c.change(p);
    FakeHost host;
    host.files = c.files;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell(c.text)}));
  }
  {
    // In wide math mode the factor input is not needed.
    FormParams p = FullParams(1);
    p.wideMath = 1;
    p.factorIn.clear();
    FakeHost host;
    host.files = {"sin.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
  }
  {
    // But one that is named must be there, as in normal mode (the wide job
    // reads it): refused before the sieve input is looked at.
    FormParams p = FullParams(1);
    p.wideMath = 1;
    FakeHost host;
    host.files = {};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("Input File fin.txt does not exist.")}));
    host.files = {"fin.txt", "sin.txt"};
    host.events.clear();
    EXPECT_TRUE(RunStartChecks(p, host));
  }
}

TEST(StartChecksResume, OverwriteChecksAndClearedNames) {
  {
    FormParams p = FullParams(1);
    FakeHost host;
    host.files = {"fin.txt", "sin.txt", "fout.txt", "sout.txt"};
    host.answers = {true, true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("fout.txt"), "create fout.txt",
                                   Overwrite("sout.txt"), "create sout.txt"}));
    EXPECT_EQ(p.prothLog, "");
    EXPECT_EQ(p.report, "");
    EXPECT_EQ(p.factorIn, "fin.txt");
    EXPECT_EQ(p.sieveIn, "sin.txt");
    EXPECT_EQ(p.exponent, 1024);
  }
  {
    // Wide math mode writes no factor output, so it is neither asked about nor created.
    FormParams p = FullParams(1);
    p.wideMath = 1;
    FakeHost host;
    host.files = {"fin.txt", "sin.txt", "fout.txt", "sout.txt"};
    host.answers = {true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("sout.txt"), "create sout.txt"}));
    EXPECT_EQ(host.files, (std::set<std::string>{"fin.txt", "sin.txt", "fout.txt", "sout.txt"}));
  }
  {
    FormParams p = FullParams(1);
    FakeHost host;
    host.files = {"fin.txt", "sin.txt"};
    host.uncreatable = {"fout.txt"};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events,
              (Events{"create fout.txt", Tell("Output File fout.txt cannot be created.")}));
  }
}

TEST(StartChecksResume, PackedKExponentReplacesTheMenuExponent) {
  {
    FormParams p = FullParams(1);
    p.packedKDir = "packed";
    p.packedKExponent = 4096;
    FakeHost host;
    host.files = {"fin.txt", "sin.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(p.exponent, 4096);
  }
  {
    FormParams p = FullParams(1);
    p.packedKExponent = 4096;
    FakeHost host;
    host.files = {"fin.txt", "sin.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(p.exponent, 1024);
  }
}

// --- report ---------------------------------------------------------------------------

TEST(StartChecksReport, RequiredNamesAndInputs) {
  const struct {
    const char* name;
    void (*change)(FormParams&);
    std::set<std::string> files;
    const char* text;
  } cases[] = {
      {"no factor input",
       [](FormParams& p) { p.factorIn.clear(); },
       {"fin.txt", "proth.log"},
       "A factoring input file name is required."},
      {"no proth log",
       [](FormParams& p) { p.prothLog.clear(); },
       {"fin.txt", "proth.log"},
       "An proth log file name is required."},
      {"no report",
       [](FormParams& p) { p.report.clear(); },
       {"fin.txt", "proth.log"},
       "A report output file name is required."},
      {"proth log missing",
       [](FormParams&) {},
       {"fin.txt"},
       "Input File proth.log does not exist."},
      {"factor input missing",
       [](FormParams&) {},
       {"proth.log"},
       "Input File fin.txt does not exist."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormParams p = FullParams(2);
    c.change(p);
    FakeHost host;
    host.files = c.files;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell(c.text)}));
  }
}

TEST(StartChecksReport, OverwriteQuestionAndClearedNames) {
  {
    FormParams p = FullParams(2);
    FakeHost host;
    host.files = {"fin.txt", "proth.log", "report.txt"};
    host.answers = {true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("report.txt")}));
    EXPECT_EQ(p.sieveIn, "");
    EXPECT_EQ(p.factorOut, "");
    EXPECT_EQ(p.sieveOut, "");
    EXPECT_EQ(p.factorIn, "fin.txt");
    EXPECT_EQ(p.prothLog, "proth.log");
    EXPECT_EQ(p.report, "report.txt");
  }
  {
    FormParams p = FullParams(2);
    FakeHost host;
    host.files = {"fin.txt", "proth.log", "report.txt"};
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("report.txt")}));
    EXPECT_EQ(host.files.count("report.txt"), 1u);
  }
  {
    // Neither the exponent nor the range matters to a report.
    FormParams p = FullParams(2);
    p.exponent = 3;
    p.bMin = 0;
    p.bMax = 0;
    FakeHost host;
    host.files = {"fin.txt", "proth.log"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_TRUE(host.events.empty());
  }
}

// --- build from factors ------------------------------------------------------------

TEST(StartChecksBuildFromFactors, RequiredNamesAndChecks) {
  {
    FormParams p = FullParams(3);
    p.factorIn.clear();
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("A factoring input file name is required.")}));
  }
  {
    FormParams p = FullParams(3);
    p.factorOut.clear();
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("A factoring output file name is required.")}));
  }
  {
    FormParams p = FullParams(3);
    p.sieveOut.clear();
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("An output file name is required.")}));
  }
  {
    // Wide math mode needs no factor output and does not touch an existing one.
    FormParams p = FullParams(3);
    p.wideMath = 1;
    p.factorOut.clear();
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create sout.txt"}));
  }
  {
    FormParams p = FullParams(3);
    p.wideMath = 1;
    FakeHost host;
    host.files = {"fout.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create sout.txt"}));
  }
  {
    FormParams p = FullParams(3);
    FakeHost host;
    host.files = {"fout.txt", "sout.txt"};
    host.answers = {true, true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Overwrite("fout.txt"), "create fout.txt",
                                   Overwrite("sout.txt"), "create sout.txt"}));
    EXPECT_EQ(p.ln, 10);
    EXPECT_EQ(p.sieveIn, "");
    EXPECT_EQ(p.prothLog, "");
    EXPECT_EQ(p.report, "");
    EXPECT_EQ(p.factorIn, "fin.txt");
  }
  {
    FormParams p = FullParams(3);
    p.exponent = 96;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(), Tell("Exponent 96 is not a proper power of 2 for GFN testing."));
  }
  {
    FormParams p = FullParams(3);
    p.bMax = p.bMin;
    FakeHost host;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(),
              Tell("The maximum b value must be greater than the minimum B value."));
  }
}

TEST(StartChecksBuildFromFactors, WarningForWideRangesInNormalMode) {
  {
    FormParams p = FullParams(3);
    p.bMin = 2;
    p.bMax = 100002;
    FakeHost host;
    host.answers = {true};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events,
              (Events{"create fout.txt", "create sout.txt", Ask("Warning", kRebuildWarning)}));
  }
  {
    FormParams p = FullParams(3);
    p.bMin = 2;
    p.bMax = 100002;
    FakeHost host;
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(), Ask("Warning", kRebuildWarning));
  }
  {
    // The widest range the form allows: no overflow in the width.
    FormParams p = FullParams(3);
    p.bMin = 1;
    p.bMax = 2147483647;
    FakeHost host;
    host.answers = {false};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events.back(), Ask("Warning", kRebuildWarning));
  }
  {
    FormParams p = FullParams(3);
    p.bMin = 2;
    p.bMax = 100001;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create fout.txt", "create sout.txt"}));
  }
  {
    FormParams p = FullParams(3);
    p.bMin = 2;
    p.bMax = 1000000;
    p.wideMath = 1;
    FakeHost host;
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{"create sout.txt"}));
  }
}

// --- resume wide ------------------------------------------------------------------------

TEST(StartChecksResumeWide, RequiredNamesAndInputFiles) {
  const struct {
    const char* name;
    int32_t wideMath;
    void (*change)(FormParams&);
    std::set<std::string> files;
    const char* text;
  } cases[] = {
      {"no factor input",
       0,
       [](FormParams& p) { p.factorIn.clear(); },
       {"sin.txt"},
       "A factoring input file name is required."},
      {"no sieve input",
       0,
       [](FormParams& p) { p.sieveIn.clear(); },
       {"fin.txt"},
       "An input file name is required."},
      {"no factor output",
       0,
       [](FormParams& p) { p.factorOut.clear(); },
       {"fin.txt", "sin.txt"},
       "A factoring output file name is required."},
      {"no sieve output",
       1,
       [](FormParams& p) { p.sieveOut.clear(); },
       {"fin.txt", "sin.txt"},
       "An output file name is required."},
      {"factor input missing",
       0,
       [](FormParams&) {},
       {"sin.txt"},
       "Input File fin.txt does not exist."},
      {"sieve input missing",
       0,
       [](FormParams&) {},
       {"fin.txt"},
       "Input File sin.txt does not exist."},
      {"sieve input missing, wide",
       1,
       [](FormParams&) {},
       {"fin.txt"},
       "Input File sin.txt does not exist."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormParams p = FullParams(4);
    p.wideMath = c.wideMath;
    c.change(p);
    FakeHost host;
    host.files = c.files;
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell(c.text)}));
  }
}

TEST(StartChecksResumeWide, NoOverwriteQuestionsAndPackedKExponent) {
  {
    FormParams p = FullParams(4);
    FakeHost host;
    host.files = {"fin.txt", "sin.txt", "fout.txt", "sout.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_TRUE(host.events.empty());
    EXPECT_EQ(p.prothLog, "");
    EXPECT_EQ(p.report, "");
    EXPECT_EQ(p.factorIn, "fin.txt");
    EXPECT_EQ(p.sieveIn, "sin.txt");
    EXPECT_EQ(p.exponent, 1024);
  }
  {
    // Wide math mode: no factor input needed, missing or not.
    FormParams p = FullParams(4);
    p.wideMath = 1;
    p.factorIn.clear();
    p.packedKDir = "packed";
    p.packedKExponent = 8192;
    FakeHost host;
    host.files = {"sin.txt"};
    EXPECT_TRUE(RunStartChecks(p, host));
    EXPECT_TRUE(host.events.empty());
    EXPECT_EQ(p.exponent, 8192);
  }
}

// --- choice -----------------------------------------------------------------------------

TEST(StartChecks, OneFileNamedForTwoRolesIsRefusedBeforeAnyQuestion) {
  struct Case {
    int32_t choice;
    std::string FormParams::*a;
    std::string FormParams::*b;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0, &FormParams::factorOut, &FormParams::sieveOut,
       "The factoring output file and the output file are the same file x.txt."},
      {1, &FormParams::factorOut, &FormParams::sieveOut,
       "The factoring output file and the output file are the same file x.txt."},
      {1, &FormParams::factorIn, &FormParams::sieveOut,
       "The factoring input file and the output file are the same file x.txt."},
      {1, &FormParams::sieveIn, &FormParams::factorOut,
       "The input file and the factoring output file are the same file x.txt."},
      {2, &FormParams::prothLog, &FormParams::report,
       "The proth log file and the report output file are the same file x.txt."},
      {2, &FormParams::factorIn, &FormParams::report,
       "The factoring input file and the report output file are the same file x.txt."},
      {3, &FormParams::factorOut, &FormParams::sieveOut,
       "The factoring output file and the output file are the same file x.txt."},
      {3, &FormParams::factorIn, &FormParams::sieveOut,
       "The factoring input file and the output file are the same file x.txt."},
  };
  for (const Case& c : cases) {
    FormParams p = FullParams(c.choice);
    p.*c.a = "x.txt";
    p.*c.b = "./x.txt";
    FakeHost host;
    host.files = {"fin.txt", "sin.txt", "proth.log", "x.txt", "./x.txt"};
    EXPECT_FALSE(RunStartChecks(p, host)) << c.text;
    EXPECT_EQ(host.events, (Events{Tell(c.text)}));
  }
  // A resume in place names each file for its own role twice: accepted.
  FormParams p = FullParams(1);
  p.factorOut = p.factorIn;
  p.sieveOut = p.sieveIn;
  FakeHost host;
  host.files = {"fin.txt", "sin.txt"};
  host.answers = {true, true};
  EXPECT_TRUE(RunStartChecks(p, host));
}

TEST(StartChecks, InvalidChoiceIsRefused) {
  for (int32_t choice : {-1, 5, 100}) {
    SCOPED_TRACE(choice);
    FormParams p = FullParams(choice);
    FakeHost host;
    host.files = {"fin.txt", "sin.txt", "proth.log"};
    EXPECT_FALSE(RunStartChecks(p, host));
    EXPECT_EQ(host.events, (Events{Tell("Invalid Sieve Type selected.")}));
    EXPECT_EQ(p.factorIn, "fin.txt");
  }
}

// The job gets the command code of its choice and only the names its job
// reads: a stale field of the form (an input name left from another choice)
// must not reach the job, whose output claims would look at it.
TEST(StartChecks, HandOverCopiesWhatTheChosenJobReads) {
  struct Case {
    int32_t choice;
    const char *factorIn, *factorOut, *sieveIn, *sieveOut, *prothLog, *report;
    int32_t bMin, bMax, exponent, ln;
  };
  const Case cases[] = {
      {kChoiceNewSieve, "", "fout.txt", "", "sout.txt", "", "", 2, 1000, 1024, 10},
      {kChoiceResumeSieve, "fin.txt", "fout.txt", "sin.txt", "sout.txt", "", "", 0, 0, 1024, 0},
      {kChoiceReport, "fin.txt", "", "", "", "proth.log", "report.txt", 0, 0, 0, 0},
      {kChoiceBuildFromFactors, "fin.txt", "fout.txt", "", "sout.txt", "", "", 2, 1000, 1024, 10},
      {kChoiceResumeWide, "fin.txt", "fout.txt", "sin.txt", "sout.txt", "", "", 0, 0, 1024, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.choice);
    FormParams p = FullParams(c.choice);
    p.ln = 10;
    SieveJob job;
    HandOver(p, job);
    EXPECT_EQ(job.m_nCommand, c.choice);
    EXPECT_EQ(job.m_strFactorIn, c.factorIn);
    EXPECT_EQ(job.m_strFactorOut, c.factorOut);
    EXPECT_EQ(job.m_strSieveIn, c.sieveIn);
    EXPECT_EQ(job.m_strSieveOut, c.sieveOut);
    EXPECT_EQ(job.m_strProthLog, c.prothLog);
    EXPECT_EQ(job.m_strReport, c.report);
    EXPECT_EQ(job.m_nBMin, c.bMin);
    EXPECT_EQ(job.m_nBMax, c.bMax);
    EXPECT_EQ(job.m_nExponent, c.exponent);
    EXPECT_EQ(job.m_nLn, c.ln);
  }
}

}  // namespace
}  // namespace zentrova
