// The new and resume jobs of the normal mode, end to end: real jobs on small
// ranges, the files they write read back and checked against brute force.
#include <gtest/gtest.h>

#include <cinttypes>
#include <sstream>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/TextFile.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::Contains;
using test::ReadFile;
using test::RunJob;
using test::ScratchDir;
using test::WithoutTimeStamp;
using test::WriteFile;

constexpr int32_t kBMin = 1200000;
constexpr int32_t kBMax = 1200998;
constexpr int32_t kN = 65536;

SieveJob NewJob(const ScratchDir& dir, uint64_t pMax, int threads = 1) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = kBMin;
  job.m_nBMax = kBMax;
  job.m_nExponent = kN;
  job.m_nLn = 16;
  job.m_strFactorOut = dir / "factors.txt";
  job.m_strSieveOut = dir / "cands.txt";
  job.m_pMax = pMax;
  job.m_nThreads = threads;
  return job;
}

SieveJob ResumeJob(const ScratchDir& dir, const std::string& factorsIn, const std::string& sieveIn,
                   const std::string& suffix, uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strFactorIn = factorsIn;
  job.m_strSieveIn = sieveIn;
  job.m_strFactorOut = dir / ("factors" + suffix + ".txt");
  job.m_strSieveOut = dir / ("cands" + suffix + ".txt");
  job.m_pMax = pMax;
  job.m_nThreads = 1;
  return job;
}

std::string ExpectedFiles(const std::vector<int32_t>& bases, const test::BruteForce& bf,
                          std::string* candidates) {
  std::ostringstream factors;
  std::ostringstream cands;
  factors << "GFN Factors b^n+1, b=" << kBMin << " to " << kBMax << ", n=" << kN
          << ".  Tested to factor " << bf.lastCandidate << "\n";
  cands << "ABC $a^$b+1 // " << bf.lastCandidate << "\n";
  for (size_t i = 0; i < bases.size(); ++i) {
    if (bf.factorOf[i] != 0) {
      factors << bases[i] << "^" << kN << "+1 has factor " << bf.factorOf[i] << "\n";
    } else {
      cands << bases[i] << " " << kN << "\n";
    }
  }
  *candidates = cands.str();
  return factors.str();
}

std::vector<int32_t> RangeBases() {
  std::vector<int32_t> bases;
  for (int32_t b = kBMin; b <= kBMax; b += 2) bases.push_back(b);
  return bases;
}

TEST(NormalJobs, NewSieveMatchesBruteForceAndResumeEqualsOneRun) {
  ScratchDir dir;
  constexpr uint64_t kP1 = 400000000;
  constexpr uint64_t kP2 = 1500000000;
  const std::vector<int32_t> bases = RangeBases();

  const test::JobRun first = RunJob(NewJob(dir, kP1));
  ASSERT_FALSE(first.failed);
  const test::BruteForce bf1 = test::SmallestFactors(bases, kN, kP1);
  std::string expectedCands;
  const std::string expectedFactors = ExpectedFiles(bases, bf1, &expectedCands);
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors.txt")), expectedFactors);
  EXPECT_EQ(ReadFile(dir / "cands.txt"), expectedCands);
  EXPECT_TRUE(Contains(first.log, "Factors and candidates consistent from 1200000 to 1200998."));
  EXPECT_TRUE(Contains(first.log, "Stop request received."));
  EXPECT_EQ(first.messages.back(), "@");

  // Resume to a larger p equals one uninterrupted run to it.
  const test::JobRun resumed =
      RunJob(ResumeJob(dir, dir / "factors.txt", dir / "cands.txt", "2", kP2));
  ASSERT_FALSE(resumed.failed);
  EXPECT_TRUE(Contains(resumed.messages, "& 1200000 1200998 65536"));
  const int struck = static_cast<int>(std::count_if(bf1.factorOf.begin(), bf1.factorOf.end(),
                                                    [](uint64_t p) { return p != 0; }));
  EXPECT_TRUE(Contains(resumed.log, std::to_string(struck) + " factors loaded from " +
                                        (dir / "factors.txt") + "."));

  ScratchDir whole;
  ASSERT_FALSE(RunJob(NewJob(whole, kP2)).failed);
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors2.txt")),
            WithoutTimeStamp(ReadFile(whole / "factors.txt")));
  EXPECT_EQ(ReadFile(dir / "cands2.txt"), ReadFile(whole / "cands.txt"));

  const test::BruteForce bf2 = test::SmallestFactors(bases, kN, kP2);
  const std::string expected2 = ExpectedFiles(bases, bf2, &expectedCands);
  EXPECT_EQ(WithoutTimeStamp(ReadFile(whole / "factors.txt")), expected2);
  EXPECT_EQ(ReadFile(whole / "cands.txt"), expectedCands);
}

TEST(NormalJobs, FilesAreIdenticalForAnyThreadCountAndKernel) {
  constexpr uint64_t kP = 600000000;
  ScratchDir one;
  ASSERT_FALSE(RunJob(NewJob(one, kP, 1)).failed);
  for (int threads : {2, 8}) {
    for (int noSimd : {0, 1}) {
      ScratchDir dir;
      SieveJob job = NewJob(dir, kP, threads);
      job.m_bNoSSE2 = noSimd;
      ASSERT_FALSE(RunJob(job).failed);
      EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors.txt")),
                WithoutTimeStamp(ReadFile(one / "factors.txt")))
          << threads << " threads, noSimd " << noSimd;
      EXPECT_EQ(ReadFile(dir / "cands.txt"), ReadFile(one / "cands.txt"));
    }
  }
}

TEST(NormalJobs, StopLeavesConsistentFilesThatResumeCorrectly) {
  constexpr uint64_t kP = 3000000000;
  ScratchDir dir;
  // Stopped before it starts: the loop finishes its first batch, then saves.
  SieveJob job = NewJob(dir, 0);
  const test::JobRun stopped = RunJob(job, [](CGfnThread& t) { t.RequestStop(); });
  ASSERT_FALSE(stopped.failed);
  EXPECT_TRUE(Contains(stopped.log, "Stop request received."));
  EXPECT_TRUE(Contains(stopped.log, "Factors and candidates consistent from 1200000 to 1200998."));
  int64_t depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "cands.txt"), depth));
  EXPECT_GT(depth, 0);
  EXPECT_LT(depth, static_cast<int64_t>(kP));

  ASSERT_FALSE(RunJob(ResumeJob(dir, dir / "factors.txt", dir / "cands.txt", "2", kP)).failed);
  ScratchDir whole;
  ASSERT_FALSE(RunJob(NewJob(whole, kP)).failed);
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors2.txt")),
            WithoutTimeStamp(ReadFile(whole / "factors.txt")));
  EXPECT_EQ(ReadFile(dir / "cands2.txt"), ReadFile(whole / "cands.txt"));
}

TEST(NormalJobs, NewSieveTakesBasesOfBMinsParityUpToBMax) {
  struct Case {
    int32_t bMin, bMax;
    std::string expected;
  };
  for (const Case& c : {Case{100, 106, "100 8\n102 8\n104 8\n106 8\n"},
                        Case{100, 105, "100 8\n102 8\n104 8\n"},
                        Case{101, 106, "101 8\n103 8\n105 8\n"}}) {
    ScratchDir dir;
    SieveJob job;
    job.m_nBMin = c.bMin;
    job.m_nBMax = c.bMax;
    job.m_nExponent = 8;
    job.m_nLn = 3;
    job.m_strFactorOut = dir / "f.txt";
    job.m_strSieveOut = dir / "c.txt";
    job.m_pMax = 16;  // below the first candidate p = 17: nothing is sieved
    const test::JobRun run = RunJob(job);
    EXPECT_EQ(ReadFile(dir / "c.txt"), "ABC $a^$b+1 // 0\n" + c.expected);
  }
}

TEST(NormalJobs, SmallWheelPrimesStrikeAndAnEmptyListEndsTheLoop) {
  // 2^2+1 = 5 and 4^2+1 = 17: both factors are wheel primes themselves.
  ScratchDir dir;
  SieveJob job;
  job.m_nBMin = 2;
  job.m_nBMax = 4;
  job.m_nExponent = 2;
  job.m_nLn = 1;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed);
  const std::vector<std::string> tail(run.log.end() - 5, run.log.end());
  EXPECT_EQ(tail[0], "Stopping because less than 0 candidates are left in the list.");
  EXPECT_EQ(tail[1], "Stop request received.");
  EXPECT_EQ(ReadFile(dir / "c.txt"), "ABC $a^$b+1 // 17\n");
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "f.txt")),
            "GFN Factors b^n+1, b=2 to 4, n=2.  Tested to factor 17\n2^2+1 has factor 5\n"
            "4^2+1 has factor 17\n");
  EXPECT_EQ(tail[4], "Factors and candidates consistent from 2 to 4.");
}

TEST(NormalJobs, PMinStartsAtTheFirstCandidateAtOrAboveIt) {
  ScratchDir dir;
  constexpr uint64_t kPMin = 300000001;
  constexpr uint64_t kPMax = 700000000;
  SieveJob job = NewJob(dir, kPMax);
  job.m_pMin = kPMin;
  ASSERT_FALSE(RunJob(job).failed);
  const std::vector<int32_t> bases = RangeBases();
  const test::BruteForce bf = test::SmallestFactors(bases, kN, kPMax, kPMin);
  std::string expectedCands;
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors.txt")),
            ExpectedFiles(bases, bf, &expectedCands));
  EXPECT_EQ(ReadFile(dir / "cands.txt"), expectedCands);
}

TEST(NormalJobs, StopsBeforePReaches2To61) {
  ScratchDir dir;
  SieveJob job;
  job.m_nBMin = 1000;
  job.m_nBMax = 1010;
  job.m_nExponent = 1 << 20;
  job.m_nLn = 20;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  job.m_pMin = (uint64_t{1} << 61) - (uint64_t{400} << 21);
  const test::JobRun run = RunJob(job);
  int64_t depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "c.txt"), depth));
  EXPECT_GE(static_cast<uint64_t>(depth), job.m_pMin);
  EXPECT_LT(static_cast<uint64_t>(depth), uint64_t{1} << 61);
  bool limitLine = false;
  for (const std::string& line : run.log) {
    limitLine |= line.rfind("Stopping before p = ", 0) == 0 &&
                 line.find("below 2^61") != std::string::npos;
  }
  EXPECT_TRUE(limitLine);
  EXPECT_TRUE(Contains(run.log, "Stop request received."));
}

// --- resume from damaged or hostile files ------------------------------------

class ResumeBadInput : public ::testing::Test {
 protected:
  // Runs a resume from the given texts and checks that it failed cleanly,
  // writing nothing; returns the log.
  std::vector<std::string> Resume(const std::string& factors, const std::string& cands) {
    if (!factors.empty()) WriteFile(m_dir / "fin.txt", factors);
    WriteFile(m_dir / "cin.txt", cands);
    SieveJob job;
    job.m_nCommand = kCmdResumeSieve;
    job.m_strFactorIn = factors.empty() ? "" : m_dir / "fin.txt";
    job.m_strSieveIn = m_dir / "cin.txt";
    job.m_strFactorOut = m_dir / "fout.txt";
    job.m_strSieveOut = m_dir / "cout.txt";
    job.m_pMax = 1000000;
    const test::JobRun run = RunJob(job);
    EXPECT_TRUE(run.failed);
    EXPECT_FALSE(CTextFile::FileExists(m_dir / "fout.txt"));
    EXPECT_FALSE(CTextFile::FileExists(m_dir / "cout.txt"));
    EXPECT_EQ(run.messages.back(), "@");
    return run.log;
  }
  std::string Name(const std::string& file) const { return m_dir / file; }

  ScratchDir m_dir;
};

const char* kHeader =
    "GFN Factors b^n+1, b=100 to 110, n=8.  Tested to factor 3000 : May 01, 2026  10:00:00.\n";

TEST_F(ResumeBadInput, MissingFiles) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strFactorIn = Name("nope.txt");
  job.m_strSieveIn = Name("cin.txt");
  job.m_strFactorOut = Name("fout.txt");
  job.m_strSieveOut = Name("cout.txt");
  test::JobRun run = RunJob(job);
  EXPECT_TRUE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Unable to open input factor file " + Name("nope.txt") + "."));
  job.m_strFactorIn.clear();
  run = RunJob(job);
  EXPECT_TRUE(Contains(run.log, "Unable to open input sieve file " + Name("cin.txt") + "."));
  EXPECT_FALSE(CTextFile::FileExists(Name("cout.txt")));
}

TEST_F(ResumeBadInput, BasesOutsideTheRangeOfTheOtherParityOrRepeated) {
  const std::string good = "ABC $a^$b+1 // 3000\n100 8\n104 8\n";
  auto log = Resume(kHeader, good + "98 8\n");
  EXPECT_TRUE(Contains(log, Name("cin.txt") + " line 4: base 98 is outside the range 100 to 110." +
                                "  Nothing was sieved."));
  // Candidates widen b Max; factor records must lie inside the range.
  log = Resume(std::string(kHeader) + "120^8+1 has factor 17\n", good);
  EXPECT_TRUE(Contains(log, Name("fin.txt") + " line 2: base 120 is outside the range 100 to 110." +
                                "  Nothing was sieved."));
  log = Resume(kHeader, good + "105 8\n");
  EXPECT_TRUE(Contains(log, Name("cin.txt") +
                                " line 4: base 105 does not have the parity of b Min 100.  Nothing "
                                "was sieved."));
  log = Resume(kHeader, good + "104 8\n");
  EXPECT_TRUE(Contains(log, Name("cin.txt") + " line 4: base 104 appears more than once.  Nothing "
                                              "was sieved."));
  // A base both struck and still a candidate.
  log = Resume(std::string(kHeader) + "104^8+1 has factor 17\n", good);
  EXPECT_TRUE(Contains(log, Name("cin.txt") + " line 3: base 104 appears more than once.  Nothing "
                                              "was sieved."));
  // Without a factor file the range comes from the candidates: an unsorted
  // file puts a base below b Min.
  log = Resume("", "ABC $a^$b+1 // 3000\n104 8\n100 8\n");
  EXPECT_TRUE(Contains(log, Name("cin.txt") + " line 3: base 100 is outside the range 104 to 104." +
                                "  Nothing was sieved."));
}

TEST_F(ResumeBadInput, DepthMismatchAndBadExponent) {
  auto log = Resume(kHeader, "ABC $a^$b+1 // 3001\n100 8\n");
  EXPECT_TRUE(Contains(log, "Factor file " + Name("fin.txt") + " and sieve file " +
                                Name("cin.txt") + " were terminated at different k values."));
  const std::vector<std::string> log12 = Resume("", "ABC $a^$b+1 // 3000\n100 12\n102 12\n");
  EXPECT_EQ(log12.back(), "Exponent 12 is not a proper power of 2 for GFN testing.");
  EXPECT_EQ(log12[log12.size() - 2], "2 b candidates loaded from " + Name("cin.txt") + ".");
}

TEST_F(ResumeBadInput, GarbageNeverCrashes) {
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary.push_back(static_cast<char>((i * 7919) & 0xff));
  Resume("", binary);
  Resume(binary, "ABC $a^$b+1 // 3000\n100 8\n");
  const auto log = Resume("", "100 8\n" + std::string(100000, '9') + " 8\n");
  EXPECT_TRUE(Contains(log, Name("cin.txt") + " line 2: the base does not fit in 32 bits.  Nothing "
                                              "was sieved."));
  Resume("", "ABC $a^$b+1 // 99999999999999999999999\n-5 8\n0 8\n");
}

TEST(NormalJobs, ResumeWithoutFactorFileSkipsTheCheckAndReadsTheRange) {
  ScratchDir dir;
  WriteFile(dir / "cin.txt", "ABC $a^$b+1 // 0\r\n100\r\n102 8\r\n106 8\r\n");
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strSieveIn = dir / "cin.txt";
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  job.m_pMax = 16;
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.messages, "& 100 106 8"));
  EXPECT_EQ(ReadFile(dir / "c.txt"), "ABC $a^$b+1 // 0\n100 8\n102 8\n106 8\n");
  for (const std::string& line : run.log) {
    EXPECT_EQ(line.find("consistent"), std::string::npos) << line;
  }
}

TEST(NormalJobs, ResumeOfAnEmptyCandidateFileRunsOneRound) {
  ScratchDir dir;
  WriteFile(dir / "cin.txt", "ABC $a^$b+1 // 0\n");
  WriteFile(dir / "fin.txt",
            "GFN Factors b^n+1, b=2 to 4, n=2.  Tested to factor 0 : x.\n2^2+1 has factor 5\n"
            "4^2+1 has factor 17\n");
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strFactorIn = dir / "fin.txt";
  job.m_strSieveIn = dir / "cin.txt";
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Stopping because less than 0 candidates are left in the list."));
  EXPECT_EQ(ReadFile(dir / "c.txt"), "ABC $a^$b+1 // 5\n");
  EXPECT_TRUE(Contains(run.log, "Factors and candidates consistent from 2 to 4."));
}

}  // namespace
}  // namespace zentrova
