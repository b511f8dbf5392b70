// The job frame: command dispatch, the end-of-job message on every path, the
// statistics line, ticks and periodic saves, the bitmap helpers and the
// benchmark job.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>
#include <set>

#include "TestUtil.h"
#include "files/OutputLock.h"
#include "sieve/BitOps.h"
#include "sieve/JobTestUtil.h"
#include "sieve/JobMessage.h"
#include "sieve/WorkerPool.h"

namespace zentrova {
namespace {

using test::Contains;
using test::RunJob;

// A new sieve of the 500 even bases from 1200000, N = 65536, writing f.txt
// and c.txt in dir.
SieveJob NewSieve(const test::ScratchDir& dir) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = 1200000;
  job.m_nBMax = 1200998;
  job.m_nExponent = 65536;
  job.m_nLn = 16;
  job.m_strFactorOut = dir / "f.txt";
  job.m_strSieveOut = dir / "c.txt";
  return job;
}

TEST(GfnThread, CommandCodesAndTheEndOfJobMessage) {
  for (int32_t code : {5, 29, 33, -1}) {
    SieveJob job;
    job.m_nCommand = code;
    const test::JobRun run = RunJob(job);
    ASSERT_GE(run.messages.size(), 2u);
    EXPECT_EQ(run.messages[run.messages.size() - 2], "Invalid command parameter to sieve thread.");
    EXPECT_EQ(run.messages.back(), "@");
    EXPECT_TRUE(run.failed);
  }
  SieveJob job;
  job.m_nCommand = kCmdResumeWide;
  const test::JobRun run = RunJob(job);
  EXPECT_EQ(run.log.back(), "Resume is not supported yet.");
  EXPECT_EQ(run.messages.back(), "@");
}

TEST(GfnThread, OutputsAreClaimedForTheWholeJobAndStaleTemporariesCleared) {
  test::ScratchDir dir;
  SieveJob job = NewSieve(dir);
  job.m_pMax = 100000000;

  // Another run holds the candidate file: nothing is written.
  {
    OutputLock other;
    std::string error;
    ASSERT_TRUE(other.Acquire(dir / "c.txt", error)) << error;
    OutputLock again;
    EXPECT_FALSE(again.Acquire(dir / "c.txt", error));
    const test::JobRun run = RunJob(job);
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(run.log.back(), "Output file " + (dir / "c.txt") + " is in use by another run (" +
                                  (dir / "c.txt") + ".lock is locked).  Nothing was run.");
    EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "c.txt"));
  }
  // Both outputs through two spellings of one name.
  SieveJob same = job;
  same.m_strSieveOut = dir.Path().string() + "/./f.txt";
  test::JobRun run = RunJob(same);
  EXPECT_TRUE(run.failed);
  EXPECT_EQ(run.log.back(), "The factor output file and the sieve output file are the same file " +
                                (dir / "f.txt") + ".  Nothing was run.");

  // Leftovers of killed saves go; files that only look alike stay; the lock
  // files go with the job.
  for (const char* name : {"c.txt.tmp.AbC123", "f.txt.tmp.x1y2z3", "c.txt.tmp.keep", "c.txt.old"}) {
    test::WriteFile(dir / name, "x");
  }
  run = RunJob(job);
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Removed 1 temporary files that an interrupted save left beside " +
                                    (dir / "c.txt") + "."));
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"c.txt", "f.txt", "c.txt.tmp.keep", "c.txt.old"}));

  // A folder that cannot hold the lock (here: one that does not exist).
  job.m_strFactorOut = dir / "missing/f.txt";
  run = RunJob(job);
  EXPECT_TRUE(run.failed);
  EXPECT_EQ(run.log.back(), "Unable to create a file beside output file " +
                                (dir / "missing/f.txt") +
                                ": No such file or directory.  Nothing was run.");
}

TEST(GfnThread, Sse2LineOnlyWhenVectorKernelsAreWanted) {
  SieveJob job;
  job.m_nCommand = 99;
  EXPECT_EQ(RunJob(job).log.front(), "SSE2 support enabled.");
  job.m_bNoSSE2 = 1;
  for (const std::string& line : RunJob(job).log) EXPECT_EQ(line.find("SSE2"), std::string::npos);
}

TEST(GfnThread, StatusLineSplitsAtTenToTheTwelve) {
  EXPECT_EQ(FormatStatusLine(12, 999999999999ULL), "$ 12 999999999999");
  EXPECT_EQ(FormatStatusLine(12, 1000000000000ULL), "$ 12 1,000000000000");
  EXPECT_EQ(FormatStatusLine(0, 1234567890123456ULL), "$ 0 1234,567890123456");
  EXPECT_EQ(FormatStatusLine(3, 0), "$ 3 0");
  const JobMessage m = ParseJobMessage("$ 7 1234,567890123456");
  ASSERT_TRUE(m.numbers);
  EXPECT_EQ(m.count, 7);
  EXPECT_EQ(m.p, 1234567890123456ULL);
}

TEST(GfnThread, BitHelpersReportThePreviousState) {
  uint32_t bitmap[3] = {0, 0, 0};
  EXPECT_FALSE(SetBitTest(33, bitmap));
  EXPECT_EQ(bitmap[1], 2u);
  EXPECT_TRUE(SetBitTest(33, bitmap));
  EXPECT_FALSE(SetBitTest(95, bitmap));
  EXPECT_EQ(bitmap[2], 0x80000000u);
  EXPECT_TRUE(ClearBitTest(33, bitmap));
  EXPECT_FALSE(ClearBitTest(33, bitmap));
  EXPECT_EQ(bitmap[1], 0u);
  EXPECT_FALSE(ClearBitTest(0, bitmap));
}

TEST(GfnThread, TickPostsStatisticsAndSavesWhenTheIntervalHasRunOut) {
  test::ScratchDir dir;
  SieveJob job = NewSieve(dir);
  job.m_nSaveSeconds = 0;
  const test::JobRun run = RunJob(job, [](CGfnThread& t) {
    t.Tick();
    t.RequestStop();
  });
  ASSERT_FALSE(run.failed);
  // Stop comes before the tick in a round: a stop request seen after the
  // first batch ends the loop without a statistics line.
  int stats = 0;
  for (const std::string& m : run.messages) stats += !m.empty() && m[0] == '$';
  EXPECT_EQ(stats, 0);

  test::ScratchDir dir2;
  job.m_strFactorOut = dir2 / "f.txt";
  job.m_strSieveOut = dir2 / "c.txt";
  job.m_pMax = 100000000;
  const test::JobRun ticked = RunJob(job, [](CGfnThread& t) { t.Tick(); });
  ASSERT_FALSE(ticked.failed);
  int written = 0;
  bool sawStats = false;
  for (const std::string& m : ticked.messages) {
    sawStats |= !m.empty() && m[0] == '$';
    written += m.find("Factors written to") != std::string::npos;
  }
  EXPECT_TRUE(sawStats);
  EXPECT_EQ(written, 2);  // the periodic save at the tick, then the final one
}

TEST(GfnThread, BenchmarkTimesTheLoopAndVerifies) {
  SieveJob job;
  job.m_nCommand = kCmdBench;
  job.m_pMax = 50000000;
  const test::JobRun run = RunJob(job);
  ASSERT_FALSE(run.failed);
  const auto& log = run.log;
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 1], "Done.");
  EXPECT_EQ(log[log.size() - 2], "Verifying factors list.");
  EXPECT_EQ(log[log.size() - 4].rfind("Loop time was ", 0), 0u);
  EXPECT_NE(log[log.size() - 4].find(" ticks at 1000000000 ticks per second."), std::string::npos);
  for (const std::string& line : log) EXPECT_EQ(line.find("written"), std::string::npos) << line;

  // Stopped at once, it still reports a loop time and "Done.".
  const test::JobRun stopped = RunJob(job, [](CGfnThread& t) { t.RequestStop(); });
  EXPECT_EQ(stopped.log.back(), "Done.");
}

TEST(GfnThread, OutcomeTellsDoneStoppedOrFailedAndTheBenchmarksFigures) {
  SieveJob job;
  job.m_nCommand = kCmdBench;
  job.m_pMax = 50000000;
  RecordingSink sink;
  {
    CGfnThread thread(job, sink);
    thread.Run();
    const JobOutcome done = thread.Outcome();
    EXPECT_EQ(done.end, JobEnd::kDone);
    EXPECT_EQ(done.failure, "");
    EXPECT_EQ(done.benchTicksPerSecond, 1000000000);
    EXPECT_GT(done.benchTicks, 0);
    EXPECT_EQ(done.benchPSieved, thread.Progress().pCount);
    EXPECT_GT(done.benchPSieved, 10);
  }
  {
    CGfnThread thread(job, sink);
    thread.RequestStop();
    thread.Run();
    EXPECT_EQ(thread.Outcome().end, JobEnd::kStopped);
  }
  // The first failure is the reason, whatever follows.
  job.m_nCommand = kCmdResumeSieve;
  job.m_strSieveIn = "/nonexistent/c.txt";
  CGfnThread thread(job, sink);
  thread.RequestStop();
  thread.Run();
  EXPECT_EQ(thread.Outcome().end, JobEnd::kFailed);
  EXPECT_EQ(thread.Outcome().failure, "Unable to open input sieve file /nonexistent/c.txt.");
}

// Per-thread buffers (the kernels' scratch) rely on the thread number the
// pool hands the body: in range, and never held by two bodies at once.
TEST(WorkerPool, ThreadNumbersAreInRangeAndNeverShared) {
  for (int threads : {1, 2, 5}) {
    WorkerPool pool(threads);
    std::vector<std::atomic<int>> inUse(static_cast<size_t>(pool.Size()));
    std::atomic<int> bad{0};
    std::atomic<size_t> done{0};
    for (int round = 0; round < 20; ++round) {
      pool.ParallelFor(64, [&](size_t, int thread) {
        if (thread < 0 || thread >= pool.Size()) {
          ++bad;
          return;
        }
        if (inUse[static_cast<size_t>(thread)].exchange(1) != 0) ++bad;
        std::this_thread::yield();  // a window for another body to collide
        inUse[static_cast<size_t>(thread)].store(0);
        ++done;
      });
    }
    EXPECT_EQ(bad.load(), 0) << threads;
    EXPECT_EQ(done.load(), 20u * 64u) << threads;
  }
}

}  // namespace
}  // namespace zentrova
