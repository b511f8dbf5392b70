// The new and resume jobs of the normal mode, end to end: real jobs on small
// ranges, the files they write read back and checked against brute force.
#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <sstream>
#include <tuple>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
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
  job.m_threads = threads;
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
  job.m_threads = 1;
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
  constexpr uint64_t kP = 30000000000;  // beyond the first batch's reach
  ScratchDir dir;
  // Stopped before it starts: the loop finishes its first batch, then saves.
  SieveJob job = NewJob(dir, 0);
  const test::JobRun stopped = RunJob(job, [](CGfnThread& t) { t.RequestStop(); });
  ASSERT_FALSE(stopped.failed);
  EXPECT_TRUE(Contains(stopped.log, "Stop request received."));
  EXPECT_TRUE(Contains(stopped.log, "Factors and candidates consistent from 1200000 to 1200998."));
  UInt128 depth = 0;
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
  // 7^2+1 = 2*5*5, 9^2+1 = 2*41, 11^2+1 = 2*61, 13^2+1 = 2*5*17: every factor
  // is a wheel prime itself.
  ScratchDir dir;
  SieveJob job;
  job.m_nBMin = 7;
  job.m_nBMax = 13;
  job.m_nExponent = 2;
  job.m_nLn = 1;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed);
  const std::vector<std::string> tail(run.log.end() - 5, run.log.end());
  EXPECT_EQ(tail[0], "Stopping because less than 0 candidates are left in the list.");
  EXPECT_EQ(tail[1], "Stop request received.");
  EXPECT_EQ(ReadFile(dir / "c.txt"), "ABC $a^$b+1 // 61\n");
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "f.txt")),
            "GFN Factors b^n+1, b=7 to 13, n=2.  Tested to factor 61\n7^2+1 has factor 5\n"
            "9^2+1 has factor 41\n11^2+1 has factor 61\n13^2+1 has factor 5\n");
  EXPECT_EQ(tail[4], "Factors and candidates consistent from 7 to 13.");
}

TEST(NormalJobs, APrimeBToTheNPlusOneIsNotStruckByItself) {
  // 2^16+1 = 65537, 2^2+1 = 5, 4^2+1 = 17 and 6^2+1 = 37 are prime: they
  // divide themselves, which strikes nothing; 8^2+1 = 5 * 13 is struck.
  ScratchDir dir;
  SieveJob job;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  for (const auto& [n, ln, bMin, bMax, kept] :
       std::vector<std::tuple<int32_t, int32_t, int32_t, int32_t, std::string>>{
           {16, 4, 2, 2, "2 16\n"}, {2, 1, 2, 8, "2 2\n4 2\n6 2\n"}}) {
    job.m_nBMin = bMin;
    job.m_nBMax = bMax;
    job.m_nExponent = n;
    job.m_nLn = ln;
    job.m_pMax = 100000;
    ASSERT_FALSE(RunJob(job).failed);
    const std::string cands = ReadFile(dir / "c.txt");
    EXPECT_EQ(cands.substr(cands.find('\n') + 1), kept) << n;
  }
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

// The top of the range: k stops below kKLimit (p near 2^83 for N = 2^20),
// after the last candidates below it were sieved with the two-word kernels.
TEST(NormalJobs, StopsBeforeKReachesItsLimit) {
  ScratchDir dir;
  SieveJob job;
  job.m_nBMin = 1000;
  job.m_nBMax = 1010;
  job.m_nExponent = 1 << 20;
  job.m_nLn = 20;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  const UInt128 top = static_cast<UInt128>(kKLimit) * (uint64_t{1} << 21) + 1;
  job.m_pMin = static_cast<UInt128>(kKLimit - 400) * (uint64_t{1} << 21) + 1;
  const test::JobRun run = RunJob(job);
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "c.txt"), depth));
  EXPECT_GE(depth, job.m_pMin);
  EXPECT_LT(depth, top);
  EXPECT_TRUE(Contains(run.log, "Stopping before p = " + PToString(top) +
                                    ": k must stay below 2^63 - 256."));
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

// A p beyond every sieve's reach is named as such, never wrapped round to a
// small one (2^64 + 7 read as 7 would pass for a factor of something).
TEST_F(ResumeBadInput, PBeyondTheLargestSieveIsRefusedAsSuch) {
  const std::string beyond = "19807040628566084398385987585";  // 2^94 + 1
  const std::string huge = "340282366920938463463374607431768211457";  // 2^128 + 1
  const std::string good = "ABC $a^$b+1 // 3000\n100 8\n104 8\n";
  struct Case {
    std::string factors, cands, line;
  };
  const Case cases[] = {
      {std::string(kHeader) + "102^8+1 has factor " + beyond + "\n", good,
       Name("fin.txt") + " line 2: p = " + beyond +
           " is not below 2^94, the largest p of any sieve.  Nothing was sieved."},
      {std::string(kHeader) + "102^8+1 has factor " + huge + "\n", good,
       Name("fin.txt") + " line 2: a p of more than 128 bits, or a negative one, is not below "
                         "2^94, the largest p of any sieve.  Nothing was sieved."},
      {"", "ABC $a^$b+1 // " + beyond + "\n100 8\n104 8\n",
       "The depth of " + Name("cin.txt") + ": p = " + beyond +
           " is not below 2^94, the largest p of any sieve.  Nothing was sieved."},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> log = Resume(c.factors, c.cands);
    EXPECT_TRUE(Contains(log, c.line)) << c.line << "\n" << log.back();
  }
}

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
  log = Resume(std::string(kHeader) + "104^8+1 has factor 1201\n", good);
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
            "GFN Factors b^n+1, b=7 to 9, n=2.  Tested to factor 0 : x.\n7^2+1 has factor 5\n"
            "9^2+1 has factor 41\n");
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
  EXPECT_TRUE(Contains(run.log, "Factors and candidates consistent from 7 to 9."));
}

// --- resumes in place from files that a crash, a full disk or an editor left --

class ResumeInPlace : public ::testing::Test {
 protected:
  static constexpr uint64_t kP1 = 400000000;
  static constexpr uint64_t kP2 = 1500000000;

  void SetUp() override {
    ASSERT_FALSE(RunJob(NewJob(m_first, kP1)).failed);
    ASSERT_FALSE(RunJob(NewJob(m_whole, kP2)).failed);
  }
  // Resumes from fin.txt and cin.txt in m_dir, writing over them.
  test::JobRun Resume(uint64_t pMax) {
    SieveJob job = ResumeJob(m_dir, m_dir / "fin.txt", m_dir / "cin.txt", "", pMax);
    job.m_strFactorOut = m_dir / "fin.txt";
    job.m_strSieveOut = m_dir / "cin.txt";
    return RunJob(job);
  }
  // A refused resume leaves both files exactly as they were.
  void ExpectRefusedAndUntouched(const std::string& factors, const std::string& cands,
                                 const std::string& message) {
    WriteFile(m_dir / "fin.txt", factors);
    WriteFile(m_dir / "cin.txt", cands);
    const test::JobRun run = Resume(kP2);
    EXPECT_TRUE(run.failed);
    EXPECT_TRUE(Contains(run.log, message)) << run.log.back();
    EXPECT_EQ(ReadFile(m_dir / "fin.txt"), factors);
    EXPECT_EQ(ReadFile(m_dir / "cin.txt"), cands);
  }
  std::string Factors1() const { return ReadFile(m_first / "factors.txt"); }
  std::string Cands1() const { return ReadFile(m_first / "cands.txt"); }
  // The first run's files continued to kP2 must equal one run to kP2.
  void ExpectEqualsOneRun() {
    EXPECT_EQ(WithoutTimeStamp(ReadFile(m_dir / "fin.txt")),
              WithoutTimeStamp(ReadFile(m_whole / "factors.txt")));
    EXPECT_EQ(ReadFile(m_dir / "cin.txt"), ReadFile(m_whole / "cands.txt"));
  }

  ScratchDir m_first, m_whole, m_dir;
};

TEST_F(ResumeInPlace, CrOnlyAndCrLfLineEndsResumeLikeTheOriginal) {
  for (const char* end : {"\r", "\r\n"}) {
    std::string factors = Factors1(), cands = Cands1();
    for (std::string* text : {&factors, &cands}) {
      std::string converted;
      for (char c : *text) c == '\n' ? converted += end : converted += c;
      *text = converted;
    }
    WriteFile(m_dir / "fin.txt", factors);
    WriteFile(m_dir / "cin.txt", cands);
    const test::JobRun run = Resume(kP2);
    ASSERT_FALSE(run.failed) << run.log.back();
    ExpectEqualsOneRun();
  }
}

TEST_F(ResumeInPlace, FilesThatLostLinesOrDisagreeAreRefusedBeforeAnythingIsWritten) {
  const std::string factors = Factors1(), cands = Cands1();
  const std::string fin = m_dir / "fin.txt", cin = m_dir / "cin.txt";
  // Cut short at a line end, and in the middle of a line.
  const size_t cut = factors.rfind('\n', factors.size() / 2) + 1;
  const std::string firstMissing = factors.substr(cut, factors.find('^', cut) - cut);
  ExpectRefusedAndUntouched(factors.substr(0, cut), cands,
                            "Base " + firstMissing + " is in neither " + fin + " nor " + cin +
                                ": the files do not make a pair (one may be cut short; bases struck "
                                "by another program's sieve are taken as such with "
                                "--missing-as-struck).  Nothing was sieved.");
  const size_t lines = static_cast<size_t>(std::count(factors.begin(), factors.begin() + cut, '\n'));
  ExpectRefusedAndUntouched(factors.substr(0, cut + 30), cands,
                            fin + " line " + std::to_string(lines + 1) + ": " +
                                factors.substr(cut + 27, 3) + " does not divide " + firstMissing +
                                "^65536+1.  Nothing was sieved.");
  const size_t candCut = cands.rfind('\n', cands.size() - 2) + 1;
  ExpectRefusedAndUntouched(factors, cands.substr(0, candCut),
                            "Base " + cands.substr(candCut, 7) + " is in neither " + fin + " nor " +
                                cin + ": the files do not make a pair (one may be cut short; bases "
                                      "struck by another program's sieve are taken as such with "
                                      "--missing-as-struck).  Nothing was sieved.");
  // A header exponent that its lines do not have.
  std::string n16 = factors;
  n16.replace(n16.find("n=65536"), 7, "n=16");
  ExpectRefusedAndUntouched(n16, cands,
                            fin + " line 2: exponent 65536 does not match the exponent 16 of the "
                                  "files.  Nothing was sieved.");
  // A factor that does not divide its b^N+1 (another candidate p).
  std::string wrong = factors;
  const size_t has = wrong.find("has factor ") + 11;
  const size_t eol = wrong.find('\n', has);
  const uint64_t p = std::stoull(wrong.substr(has, eol - has));
  wrong.replace(has, eol - has, std::to_string(p + 2 * 65536));
  ExpectRefusedAndUntouched(wrong, cands,
                            fin + " line 2: " + std::to_string(p + 2 * 65536) + " does not divide " +
                                wrong.substr(wrong.find('\n') + 1, 7) + "^65536+1.  Nothing was "
                                                                        "sieved.");
  // Text that holds no candidate at all, without a factor file.
  WriteFile(cin, "\x01\x02garbage\nmore garbage\n");
  SieveJob job = ResumeJob(m_dir, "", cin, "", kP2);
  const test::JobRun run = RunJob(job);
  EXPECT_TRUE(run.failed);
  EXPECT_TRUE(Contains(run.log, cin + " line 1: not a line of a candidate file (\"<b> <N>\" or "
                                          "the header \"ABC $a^$b+1 // <p>\").  Nothing was "
                                          "sieved."));
  EXPECT_FALSE(CTextFile::FileExists(m_dir / "cands.txt"));
  // A folder in place of a file.
  job.m_strSieveIn = m_dir.Path().string();
  EXPECT_TRUE(Contains(RunJob(job).log, "Unable to open input sieve file " + job.m_strSieveIn + "."));
}

// A factor file that is only its header beside an empty candidate file holds
// no base of its range: refused as a pair with factors and no candidates is,
// before either file is written (it used to write both, then fail).
TEST_F(ResumeInPlace, AHeaderAloneBesideAnEmptyCandidateFileIsNoPair) {
  const std::string factors = Factors1();
  const std::string header = factors.substr(0, factors.find('\n') + 1);
  const std::string fin = m_dir / "fin.txt", cin = m_dir / "cin.txt";
  const std::string refusal = "Base 1200000 is in neither " + fin + " nor " + cin +
                              ": the files do not make a pair (one may be cut short; bases "
                              "struck by another program's sieve are taken as such with "
                              "--missing-as-struck).  Nothing was sieved.";
  const std::string cands1 = Cands1();
  const std::string candHeader = cands1.substr(0, cands1.find('\n') + 1);
  for (const std::string& cands : {std::string(), std::string("\n"), std::string(1, '\0'),
                                   std::string("\r\n"), candHeader}) {
    SCOPED_TRACE("candidate file of " + std::to_string(cands.size()) + " bytes");
    for (const std::string& f : {header, header + "\n"}) {
      // A blank or NUL line is refused by the readers themselves, before the
      // pair is looked at; either way nothing is written.
      const bool blankFactorLine = f.size() > header.size();
      const bool blankCandLine = !cands.empty() && cands != candHeader;
      const std::string message =
          blankFactorLine ? fin + " line 2: not a line of a factor file (\"<b>^<N>+1 has factor "
                                  "<p>\" or the \"GFN Factors\" header).  Nothing was sieved."
          : blankCandLine ? cin + " line 1: not a line of a candidate file (\"<b> <N>\" or the "
                                  "header \"ABC $a^$b+1 // <p>\").  Nothing was sieved."
                          : refusal;
      ExpectRefusedAndUntouched(f, cands, message);
      const test::JobRun run = Resume(kP2);
      for (const std::string& line : run.log) {
        EXPECT_EQ(line.find("written"), std::string::npos) << line;
        EXPECT_EQ(line.find("Missing entry"), std::string::npos) << line;
      }
    }
  }
}

// A pair whose files lack bases that another program's sieve struck: with
// --missing-as-struck those bases are taken as struck (their number said),
// and the resume gives the files of one run over the bases left.
TEST_F(ResumeInPlace, MissingAsStruckTakesTheBasesInNeitherFileAsStruck) {
  const auto kept = [](int32_t b) { return (b - kBMin) % 10 != 4; };
  const auto keptLines = [&](const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (std::isdigit(static_cast<unsigned char>(line[0])) && !kept(std::stoi(line))) continue;
      out += line + "\n";
    }
    return out;
  };
  const std::string factors = keptLines(Factors1()), cands = keptLines(Cands1());
  int missing = 0;
  for (int32_t b = kBMin; b <= kBMax; b += 2) missing += kept(b) ? 0 : 1;
  WriteFile(m_dir / "fin.txt", factors);
  WriteFile(m_dir / "cin.txt", cands);
  SieveJob job = ResumeJob(m_dir, m_dir / "fin.txt", m_dir / "cin.txt", "", kP2);
  job.m_strFactorOut = m_dir / "fin.txt";
  job.m_strSieveOut = m_dir / "cin.txt";
  job.m_missingStruck = true;
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed) << run.log.back();
  EXPECT_TRUE(Contains(run.log, std::to_string(missing) +
                                    " bases of the range 1200000 to 1200998 (the first 1200004) "
                                    "are in neither " + (m_dir / "fin.txt") + " nor " +
                                    (m_dir / "cin.txt") +
                                    ": taken as struck elsewhere, as --missing-as-struck asks."));
  EXPECT_EQ(WithoutTimeStamp(ReadFile(m_dir / "fin.txt")),
            keptLines(WithoutTimeStamp(ReadFile(m_whole / "factors.txt"))));
  EXPECT_EQ(ReadFile(m_dir / "cin.txt"), keptLines(ReadFile(m_whole / "cands.txt")));
}

TEST_F(ResumeInPlace, AFactorFileSavedDeeperThanItsCandidateFileResumesFromTheCandidateDepth) {
  // What a kill between the two renames of a save leaves: the factor file of
  // the later save beside the candidate file of the earlier one.
  ScratchDir later;
  constexpr uint64_t kMiddle = 900000000;
  ASSERT_FALSE(RunJob(NewJob(later, kMiddle)).failed);
  const std::string deeper = ReadFile(later / "factors.txt");
  WriteFile(m_dir / "fin.txt", deeper);
  WriteFile(m_dir / "cin.txt", Cands1());
  const test::JobRun run = Resume(kP2);
  ASSERT_FALSE(run.failed) << run.log.back();
  const auto struck = [](const std::string& text) { return std::count(text.begin(), text.end(), '^'); };
  const auto late = struck(deeper) - struck(Factors1());
  ASSERT_GT(late, 0);
  const auto depth = [](const std::string& cands) { return cands.substr(15, cands.find('\n') - 15); };
  const std::string depth1 = depth(Cands1());
  EXPECT_TRUE(Contains(run.log, "Factor file " + (m_dir / "fin.txt") + " reaches p = " +
                                    depth(ReadFile(later / "cands.txt")) + ", sieve file " +
                                    (m_dir / "cin.txt") + " only p = " + depth1 +
                                    ": the last save was cut short.  " + std::to_string(late) +
                                    " bases factored in between are taken from the factor file; "
                                    "sieving continues from p = " +
                                    depth1 + "."));
  ExpectEqualsOneRun();
  // The other way round no save order produces: refused as before.
  ExpectRefusedAndUntouched(Factors1(), ReadFile(later / "cands.txt"),
                            "Factor file " + (m_dir / "fin.txt") + " and sieve file " +
                                (m_dir / "cin.txt") + " were terminated at different k values.");
}

}  // namespace
}  // namespace zentrova
