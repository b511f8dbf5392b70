// The runner's typed progress against the files the job wrote: a sieve
// stopped through the runner reports the depth and count of its final save,
// the bases it struck (also as the factors of its window), and its rate, in
// both modes; resumed from those files, it learns the range from them. A
// sieve whose removal rate falls has a current rate that follows it.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "front/JobRunner.h"
#include "front/SurvivorEstimate.h"
#include "sieve/JobContext.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

TEST(JobRunner, ProgressMatchesTheSavedFilesInBothModes) {
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "wide" : "normal");
    test::ScratchDir dir;
    SieveJob job;
    job.m_nCommand = kCmdNewSieve;
    job.m_nExponent = 1024;
    job.m_nLn = 10;
    job.m_nBMin = 2;
    job.m_nBMax = 40000;  // 20000 bases
    job.m_threads = 2;
    job.m_strFactorOut = dir / "f.txt";
    job.m_strSieveOut = dir / "c.txt";
    RecordingSink sink;
    JobRunner runner(job, sink, wide ? 1 : 0);
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    runner.Start();
    // An interval in which the loop sieved some p has a rate.
    RunProgress running = runner.Sample();
    int64_t counted = running.pCount;
    for (int i = 0; i < 1000 && (running.pCount == counted || running.basesLeft < 0); ++i) {
      counted = running.pCount;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      running = runner.Sample();
    }
    ASSERT_GT(running.pCount, counted);
    EXPECT_NEAR(running.pPerSecond * running.seconds, static_cast<double>(running.pCount - counted),
                1e-6 * static_cast<double>(running.pCount));
    EXPECT_EQ(running.savedDepth, 0u);  // no save yet
    runner.RequestStop();
    EXPECT_TRUE(runner.StopRequested());
    const JobOutcome outcome = runner.Wait();
    EXPECT_EQ(outcome.end, JobEnd::kStopped);
    const RunProgress end = runner.Sample();
    // The final save's depth and count are the file's.
    CandidateRange saved;
    ASSERT_TRUE(LoadCandidateRange(job.m_strSieveOut, saved, [](const std::string&) {}));
    EXPECT_EQ(end.savedDepth, static_cast<uint64_t>(saved.depth));
    EXPECT_EQ(end.pReached, end.savedDepth);
    EXPECT_GE(end.savedAt, before);
    EXPECT_EQ(end.basesLeft, saved.count);
    EXPECT_EQ(end.factorsStruck, 20000 - saved.count);
    EXPECT_GT(end.factorsStruck, 1000);
    // The removal rate's window holds the last factors, at least as many as
    // the rate is taken over, never more than the run struck.
    EXPECT_GE(end.factorsInWindow, config::kRateFactors);
    EXPECT_LE(end.factorsInWindow, end.factorsStruck);
    EXPECT_GT(end.factorWindowSeconds, 0);
    EXPECT_NEAR(end.secondsPerFactor * static_cast<double>(end.factorsInWindow),
                end.factorWindowSeconds, 1e-9 * end.factorWindowSeconds);
    EXPECT_EQ(end.rangeBases, 20000);
    EXPECT_GT(end.expectedLeft, 0);

    // A resume reads its range from the files ("&"); its estimate is for the
    // whole range at the depth it reaches.
    SieveJob resume = job;
    resume.m_nCommand = kCmdResumeSieve;
    resume.m_nBMin = resume.m_nBMax = resume.m_nExponent = resume.m_nLn = 0;
    resume.m_strFactorIn = job.m_strFactorOut;
    resume.m_strSieveIn = job.m_strSieveOut;
    resume.m_strFactorOut = dir / "f2.txt";
    resume.m_strSieveOut = dir / "c2.txt";
    resume.m_pMax = static_cast<uint64_t>(saved.depth) + 1000000;
    RecordingSink resumeSink;
    JobRunner resumed(resume, resumeSink, wide ? 1 : 0);
    ASSERT_EQ(resumed.RunHere().end, JobEnd::kDone);
    const RunProgress after = resumed.Sample();
    CandidateRange again;
    ASSERT_TRUE(LoadCandidateRange(resume.m_strSieveOut, again, [](const std::string&) {}));
    EXPECT_EQ(after.rangeBases, 20000);
    EXPECT_EQ(after.pReached, static_cast<uint64_t>(again.depth));
    EXPECT_DOUBLE_EQ(after.expectedLeft, SurvivorEstimate(1024).Expected(20000, after.pReached));
    // Counted from the resume on.
    EXPECT_LE(after.factorsInWindow, saved.count - again.count);
    EXPECT_EQ(after.factorsStruck, saved.count - again.count);
  }
}

// A young sieve from a low p removes bases ever slower: its current time per
// factor must follow the rate sampled independently here (the factors
// counted every few milliseconds, the same last factors taken from those
// counts), within the counts' granularity, and be far above the run's mean.
TEST(JobRunner, CurrentRemovalRateFollowsAFallingRate) {
  test::ScratchDir dir;
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = 65536;
  job.m_nLn = 16;
  job.m_nBMin = 1200000;
  job.m_nBMax = 1201998;
  job.m_threads = 2;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  RecordingSink sink;
  JobRunner runner(job, sink);
  runner.Start();
  struct Count {
    int64_t at;
    int64_t struck;
  };
  std::vector<Count> counts;
  const auto start = std::chrono::steady_clock::now();
  RunProgress last;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2500)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    last = runner.Sample();
    counts.push_back({JobContext::SteadyNow(), last.factorsStruck});
  }
  runner.RequestStop();
  runner.Wait();
  ASSERT_GT(last.factorsStruck, 3 * config::kRateFactors);
  ASSERT_GT(last.secondsPerFactor, 0);
  // The sampled answer: from the last count with kRateFactors or more struck
  // since, to the last sample; its edges are a sample interval apart from the
  // batches' own.
  const Count& now = counts.back();
  const Count* from = nullptr;
  for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
    if (now.struck - it->struck >= config::kRateFactors) {
      from = &*it;
      break;
    }
  }
  ASSERT_NE(from, nullptr);
  const double sampled =
      static_cast<double>(now.at - from->at) / 1e9 / static_cast<double>(now.struck - from->struck);
  EXPECT_NEAR(last.secondsPerFactor, sampled, 0.25 * sampled)
      << last.factorsInWindow << " factors in " << last.factorWindowSeconds << " s";
  // The rate fell by orders of magnitude: the run's mean is no guide.
  const double mean = static_cast<double>(now.at - counts.front().at) / 1e9 /
                      static_cast<double>(now.struck);
  EXPECT_GT(last.secondsPerFactor, 3 * mean);
}

}  // namespace
}  // namespace zentrova

namespace zentrova {
namespace {

SieveJob EndlessSieve(const test::ScratchDir& dir, const std::string& tag) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = 1024;
  job.m_nLn = 10;
  job.m_nBMin = 2;
  job.m_nBMax = 4000;
  job.m_threads = 1;
  job.m_strFactorOut = dir / (tag + "f.txt");
  job.m_strSieveOut = dir / (tag + "c.txt");
  return job;
}

// Runs for a time side by side: each job is stopped with its final save
// once the time is up, which is at least as deep as the sample taken then;
// a job that ends sooner by itself ends the wait.
TEST(JobRunner, RunForStopsEachJobWithItsSaveOnceTheTimeIsUp) {
  test::ScratchDir dir;
  RecordingSink sinkA, sinkB, sinkC;
  JobRunner a(EndlessSieve(dir, "a"), sinkA), b(EndlessSieve(dir, "b"), sinkB, 1);
  const std::vector<JobRunner::TimedRun> runs =
      JobRunner::RunFor({&a, &b}, std::chrono::milliseconds(700));
  ASSERT_EQ(runs.size(), 2u);
  const std::string names[] = {"a", "b"};
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_GE(runs[i].seconds, 0.7);
    EXPECT_LT(runs[i].seconds, 30.0);
    EXPECT_EQ(runs[i].outcome.end, JobEnd::kStopped);
    EXPECT_GT(runs[i].atTime.pCount, 0);
    CandidateRange saved;
    ASSERT_TRUE(LoadCandidateRange(dir / (names[i] + "c.txt"), saved, [](const std::string&) {}));
    EXPECT_GE(static_cast<uint64_t>(saved.depth), static_cast<uint64_t>(runs[i].atTime.pReached));
  }

  SieveJob shortJob = EndlessSieve(dir, "c");
  shortJob.m_pMax = 100000;
  JobRunner c(shortJob, sinkC);
  const JobRunner::TimedRun run = c.RunFor(std::chrono::seconds(600));
  EXPECT_LT(run.seconds, 60.0);
  EXPECT_EQ(run.outcome.end, JobEnd::kDone);
}

// Driven to its end on the calling thread: `between` is called while the job
// runs, and a stop it requests ends the job with its final save.
TEST(JobRunner, RunToEndAnswersAStopAskedBetweenTicks) {
  test::ScratchDir dir;
  RecordingSink sink;
  JobRunner runner(EndlessSieve(dir, ""), sink);
  int calls = 0;
  const JobOutcome outcome = runner.RunToEnd([](const RunProgress&) {},
                                             [&] {
                                               if (++calls == 10) runner.RequestStop();
                                             });
  EXPECT_EQ(outcome.end, JobEnd::kStopped);
  EXPECT_GE(calls, 10);
  EXPECT_FALSE(runner.Running());
  CandidateRange saved;
  EXPECT_TRUE(LoadCandidateRange(dir / "c.txt", saved, [](const std::string&) {}));
}

}  // namespace
}  // namespace zentrova
