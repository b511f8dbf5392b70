// The desktop form's rules without a display: number fields, the parameter
// file, job messages as shown, the time stamp, the title, the dialogs' checks
// and the job record of each caller.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "front/FormRules.h"

namespace zentrova {
namespace {

TEST(FormRules, IntegerFieldsTakeSigned32BitValuesOnly) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  for (const Case& c : {Case{"8192", true, 8192}, Case{" -12 ", true, -12}, Case{"+7", true, 7},
                        Case{"2147483647", true, INT32_MAX}, Case{"-2147483648", true, INT32_MIN},
                        Case{"2147483648", false, 0}, Case{"", false, 0}, Case{"12x", false, 0},
                        Case{"1e3", false, 0}, Case{"x", false, 0}}) {
    int32_t v = 0;
    EXPECT_EQ(ParseIntegerField(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(FormRules, ParameterFileKeysInOrderAndReadBack) {
  FormParams p;
  p.factorIn = "a b.txt";
  p.sieveOut = "c.txt";
  p.bMax = 1000;
  p.bMin = 2;
  p.exponent = 8192;
  p.saveMinutes = 15;
  const auto entries = ParameterEntries(p);
  std::vector<std::string> keys;
  for (const auto& e : entries) keys.push_back(e.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"FactorInputFileName", "FactorOutputFileName",
                                            "SieveInputFileName", "SieveOutputFileName",
                                            "ProthLogFileName", "ReportFileName", "BMax", "BMin",
                                            "Exponent", "SaveFileMinutes"}));
  FormParams back;
  back.report = "stale";
  for (const auto& [key, value] : entries) ApplyParameter(back, key, value);
  EXPECT_EQ(back.factorIn, "a b.txt");
  EXPECT_EQ(back.sieveOut, "c.txt");
  EXPECT_EQ(back.report, "");  // saved empty, read back empty
  EXPECT_EQ(back.bMax, 1000);
  EXPECT_EQ(back.exponent, 8192);
  EXPECT_EQ(back.saveMinutes, 15);
  ApplyParameter(back, "BMin", "junk");
  EXPECT_EQ(back.bMin, 0);
  ApplyParameter(back, "SieveInputFileName", std::string(1200, 'x'));
  EXPECT_EQ(back.sieveIn.size(), 998u);
}

TEST(FormRules, JobMessagesAsTheFormShowsThem) {
  struct Case {
    const char* text;
    ShownMessage::Kind kind;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"$ 812 997", ShownMessage::kStatistics, {"812", "997"}},
      {"$ 812", ShownMessage::kStatistics, {}},
      {"$ 7 1234,567890123456", ShownMessage::kStatistics, {"7", "1234,567890123456"}},
      {"& 2 1000 8192", ShownMessage::kParameters, {"2", "1000", "8192"}},
      {"& 2 1000", ShownMessage::kParameters, {"2"}},
      {"& 2", ShownMessage::kParameters, {}},
      {"@", ShownMessage::kEnd, {}},
      {"", ShownMessage::kLog, {}},
      {"Stop request received.", ShownMessage::kLog, {}},
  };
  for (const Case& c : cases) {
    const ShownMessage m = ParseJobMessage(c.text);
    EXPECT_EQ(m.kind, c.kind) << c.text;
    EXPECT_EQ(m.texts, c.texts) << c.text;
  }
}

TEST(FormRules, TimeStampTitleAndChosenFolder) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_isdst = -1;
  EXPECT_EQ(LogLineWithTime("x", std::mktime(&t)), "x 03/04 07:05");
  EXPECT_EQ(LogLineWithTime("", std::mktime(&t)), " 03/04 07:05");

  const unsigned signature = (15u << 8) | (2u << 4) | 7u;
  EXPECT_EQ(ProcessorTitle("GenuineIntel", 2, signature),
            "Zentrova for Athlon and P4 - CPU=GenuineIntel Family.Model.Step=15.2.7");
  EXPECT_EQ(ProcessorTitle("AuthenticAMD", 0, signature),
            "Zentrova for Athlon and P4 - CPU=AuthenticAMD");

  EXPECT_EQ(DirectoryOfChosenPath("/home/k/AnyName.pkk"), "/home/k");
  EXPECT_EQ(DirectoryOfChosenPath("/AnyName.pkk"), "");
  EXPECT_EQ(DirectoryOfChosenPath("AnyName.pkk"), "");
}

TEST(FormRules, DialogChecksInOrder) {
  struct Packed {
    const char* dir;
    int32_t exponent;
    const char* message;
    int32_t ln;
  };
  for (const Packed& c :
       {Packed{"", 8192, "A packed file directory name is required.", -1},
        Packed{"/k", 4096, "The minimum exponent supported by this sieve is 8192.", 12},
        Packed{"/k", 100, "Exponent 100 is not a proper power of 2 for GFN testing.", 30},
        Packed{"/k", 8192, "", 13}, Packed{"/k", 1073741824, "", 30}}) {
    int32_t ln = -1;
    EXPECT_EQ(CheckPackedKDialog(c.dir, c.exponent, ln), c.message) << c.exponent;
    EXPECT_EQ(ln, c.ln) << c.exponent;
  }
  ToBeFactoredInput in;
  EXPECT_EQ(CheckToBeFactoredDialog(in), "An output file name is required.");
  in.outputFile = "o";
  EXPECT_EQ(CheckToBeFactoredDialog(in), "An input file name is required.");
  in.inputFile = "i";
  EXPECT_EQ(CheckToBeFactoredDialog(in), "A b Min value must be specified.");
  in.bMin = 10;
  EXPECT_EQ(CheckToBeFactoredDialog(in), "A b Max value must be specified.");
  in.bMax = 5;
  EXPECT_EQ(CheckToBeFactoredDialog(in), "A exponent value must be specified.");
  in.exponent = 3;
  EXPECT_EQ(CheckToBeFactoredDialog(in), "");
}

TEST(FormRules, JobRecordOfEachCaller) {
  FormRun form;
  form.params.factorOut = "f.txt";
  form.params.sieveIn = "in.txt";
  form.params.sieveOut = "c.txt";
  form.params.bMin = 2;
  form.params.bMax = 100;
  form.params.exponent = 16384;
  form.params.ln = 14;
  form.params.wideMath = 1;
  form.params.saveMinutes = 5;
  form.params.packedKDir = "/k";
  form.disableSse2 = true;

  SieveJob bench;
  EXPECT_EQ(JobForCommand(form, kCmdBench, bench), 0);  // wide math off
  EXPECT_EQ(bench.m_nCommand, kCmdBench);
  EXPECT_EQ(bench.m_nSaveSeconds, 3600 * 60);
  EXPECT_EQ(bench.m_bNoSSE2, 0);

  SieveJob pack;
  EXPECT_EQ(JobForCommand(form, kCmdCreatePackedK, pack), 1);
  EXPECT_EQ(pack.m_nCommand, kCmdCreatePackedK);
  EXPECT_EQ(pack.m_nExponent, 16384);
  EXPECT_EQ(pack.m_nLn, 14);
  EXPECT_EQ(pack.m_strPackedKDir, "/k");
  EXPECT_EQ(pack.m_bNoSSE2, 1);  // the box was checked
  EXPECT_EQ(pack.m_nSaveSeconds, 300);

  SieveJob tbf;
  JobForCommand(form, kCmdToBeFactored, tbf);
  EXPECT_EQ(tbf.m_nCommand, kCmdToBeFactored);
  EXPECT_EQ(tbf.m_strSieveIn, "in.txt");
  EXPECT_EQ(tbf.m_strSieveOut, "c.txt");
  EXPECT_EQ(tbf.m_nBMax, 100);
  EXPECT_EQ(tbf.m_nExponent, 16384);

  form.sse2Present = false;
  form.disableSse2 = false;
  form.params.jobChoice = kChoiceNewSieve;
  SieveJob start;
  JobForCommand(form, kChoiceNewSieve, start);
  EXPECT_EQ(start.m_nCommand, kCmdNewSieve);
  EXPECT_EQ(start.m_strFactorOut, "f.txt");
  EXPECT_EQ(start.m_bNoSSE2, 1);  // no SSE2 on the processor
  EXPECT_GE(start.m_threads, 1);
}

}  // namespace
}  // namespace zentrova
