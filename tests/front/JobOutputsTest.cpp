// The files each job writes and reads beside them, the pairings refused,
// and the claims a front end makes before its checks: the same files the
// engine will claim when the job starts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/OutputLock.h"
#include "front/StartChecks.h"
#include "sieve/JobOutputs.h"

namespace zentrova {
namespace {

// "role=name/kind" per file, in order.
std::string Describe(const std::vector<JobFile>& files) {
  std::string text;
  for (const JobFile& f : files) {
    text += std::string(text.empty() ? "" : " ") + f.role + "=" + f.name + "/" + f.kind;
  }
  return text;
}

SieveJob JobNamingEveryFile(int32_t command) {
  SieveJob job;
  job.m_nCommand = command;
  job.m_strFactorIn = "fi";
  job.m_strFactorOut = "fo";
  job.m_strSieveIn = "si";
  job.m_strSieveOut = "so";
  job.m_strReport = "rep";
  job.m_strProthLog = "log";
  return job;
}

TEST(JobOutputs, EveryJobWritesWhatItsMessagesSay) {
  const std::string sieveIns = "factor input=fi/f sieve input=si/s";
  struct Case {
    int32_t command;
    bool wide;
    std::string outputs, inputs;
  };
  const Case cases[] = {
      {kCmdNewSieve, false, "factor output=fo/f sieve output=so/s", sieveIns},
      {kCmdNewSieve, true, "factor output=fo/f sieve output=so/s", sieveIns},
      {kCmdResumeSieve, false, "factor output=fo/f sieve output=so/s", sieveIns},
      {kCmdResumeSieve, true, "factor output=fo/f sieve output=so/s", sieveIns},
      {kCmdBuildFromFactors, false, "factor output=fo/f sieve output=so/s", sieveIns},
      // A wide rebuild writes the candidate file only.
      {kCmdBuildFromFactors, true, "sieve output=so/s", sieveIns},
      {kCmdReport, false, "report=rep/r", "factor input=fi/f proth log=log/l"},
      {kCmdToBeFactored, false, "sieve output=so/s", "sieve input=si/i"},
      // These write no file a user names: nothing to claim.
      {kCmdResumeWide, true, "", ""},
      {kCmdBench, false, "", ""},
      {kCmdCreatePackedK, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << c.command << (c.wide ? " wide" : ""));
    const JobFiles files = JobOutputs(JobNamingEveryFile(c.command), c.wide);
    EXPECT_EQ(Describe(files.outputs), c.outputs);
    EXPECT_EQ(Describe(files.inputs), c.inputs);
  }
}

TEST(JobOutputs, AnOutputMayReplaceOnlyTheInputOfItsOwnKind) {
  struct Case {
    int32_t command;
    std::string factorIn, factorOut, sieveIn, sieveOut;
    std::string clash;  // empty: none
  };
  const Case cases[] = {
      {kCmdResumeSieve, "f", "f", "c", "c", ""},  // a resume in place
      {kCmdResumeSieve, "f", "g", "c", "d", ""},
      {kCmdNewSieve, "", "f", "", "f",
       "The factor output file and the sieve output file are the same file f.  Nothing was run."},
      {kCmdResumeSieve, "f", "c", "c", "d",
       "The sieve input file and the factor output file are the same file c.  Nothing was run."},
      {kCmdResumeSieve, "f", "g", "c", "f",
       "The factor input file and the sieve output file are the same file f.  Nothing was run."},
      // Its input is of no kind its output has: the same name is refused.
      {kCmdToBeFactored, "", "", "c", "c",
       "The sieve input file and the sieve output file are the same file c.  Nothing was run."},
  };
  for (const Case& c : cases) {
    SieveJob job;
    job.m_nCommand = c.command;
    job.m_strFactorIn = c.factorIn;
    job.m_strFactorOut = c.factorOut;
    job.m_strSieveIn = c.sieveIn;
    job.m_strSieveOut = c.sieveOut;
    EXPECT_EQ(JobFilesClash(JobOutputs(job, false)), c.clash) << c.factorOut << " " << c.sieveOut;
  }
  SieveJob report;
  report.m_nCommand = kCmdReport;
  report.m_strFactorIn = "f";
  report.m_strReport = report.m_strFactorIn;
  EXPECT_EQ(JobFilesClash(JobOutputs(report, false)),
            "The factor input file and the report file are the same file f.  Nothing was run.");
}

// Which of the form's files another run can no longer claim while the claims
// are held, per job choice: what the engine itself claims at the job's start.
TEST(ClaimStartOutputs, ClaimsTheFilesTheJobWillWrite) {
  test::ScratchDir dir;
  struct Case {
    int32_t choice;
    int32_t wideMath;
    std::string held;  // of fo, so, rep: the ones claimed
  };
  const Case cases[] = {
      {kChoiceNewSieve, 0, "fo so"},        {kChoiceNewSieve, 1, "fo so"},
      {kChoiceResumeSieve, 0, "fo so"},     {kChoiceBuildFromFactors, 0, "fo so"},
      {kChoiceBuildFromFactors, 1, "so"},   {kChoiceReport, 0, "rep"},
      {kChoiceResumeWide, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "choice " << c.choice << " wide " << c.wideMath);
    FormParams form;
    form.jobChoice = c.choice;
    form.wideMath = c.wideMath;
    form.factorIn = dir / "fi";
    form.factorOut = dir / "fo";
    form.sieveIn = dir / "si";
    form.sieveOut = dir / "so";
    form.report = dir / "rep";
    form.prothLog = dir / "log";
    std::vector<std::unique_ptr<OutputLock>> claims;
    std::string refusal;
    ASSERT_TRUE(ClaimStartOutputs(form, claims, refusal)) << refusal;
    std::string held;
    for (const char* name : {"fo", "so", "rep"}) {
      OutputLock other;
      std::string error;
      if (!other.Acquire(dir / name, error)) {
        EXPECT_TRUE(other.HeldByAnotherRun()) << error;
        held += std::string(held.empty() ? "" : " ") + name;
      }
    }
    EXPECT_EQ(held, c.held);
  }
}

TEST(ClaimStartOutputs, AnOutputInUseRefusesAndKeepsNoClaim) {
  test::ScratchDir dir;
  OutputLock running;  // a sieve already writing the candidate file
  std::string error;
  ASSERT_TRUE(running.Acquire(dir / "so", error)) << error;
  FormParams form;
  form.jobChoice = kChoiceNewSieve;
  form.factorOut = dir / "fo";
  form.sieveOut = dir / "so";
  std::vector<std::unique_ptr<OutputLock>> claims;
  std::string refusal;
  EXPECT_FALSE(ClaimStartOutputs(form, claims, refusal));
  EXPECT_EQ(refusal, "Output file " + (dir / "so") + " is in use by another run (" + (dir / "so") +
                         ".lock is locked).");
  EXPECT_TRUE(claims.empty());
  OutputLock factorFile;  // the factor output was claimed first, then let go
  EXPECT_TRUE(factorFile.Acquire(dir / "fo", error)) << error;
}

}  // namespace
}  // namespace zentrova
