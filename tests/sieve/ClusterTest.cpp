// Runs shared among processes, over an in-process transport: process 0 runs
// the job, the others are threads serving it as the processes of an MPI run
// would. Their files must equal those of one process for any mix of thread
// counts, and a stopped run must resume to the same end. (The same runs
// under mpirun are tests/mpi/mpirun-test.sh.)
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "sieve/FakeDevice.h"
#include "sieve/JobTestUtil.h"
#include "sieve/Jobs.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WithoutTimeStamp;

// Message queues between every pair of ranks.
class Hub {
 public:
  explicit Hub(int size) : m_size(size), m_queues(static_cast<size_t>(size * size)) {}
  int Size() const { return m_size; }
  void Send(int from, int to, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queues[Index(from, to)].push_back(bytes);
    m_changed.notify_all();
  }
  std::string Receive(int from, int to) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::deque<std::string>& queue = m_queues[Index(from, to)];
    m_changed.wait(lock, [&] { return !queue.empty(); });
    std::string bytes = std::move(queue.front());
    queue.pop_front();
    return bytes;
  }

 private:
  size_t Index(int from, int to) const { return static_cast<size_t>(from * m_size + to); }
  int m_size;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::deque<std::string>> m_queues;
};

class Loopback : public BatchCluster {
 public:
  Loopback(Hub& hub, int rank) : m_hub(hub), m_rank(rank) {}
  int Rank() const override { return m_rank; }
  int Size() const override { return m_hub.Size(); }
  void Send(int rank, const std::string& bytes) override { m_hub.Send(m_rank, rank, bytes); }
  std::string Receive(int rank) override { return m_hub.Receive(rank, m_rank); }

 private:
  Hub& m_hub;
  int m_rank;
};

// Runs the job as process 0 of a run whose other processes have the given
// thread counts; `before` may poke the job's thread first. The others open
// their devices from `devices` and must log nothing, or their lines go to
// `othersLog`.
template <typename Before>
test::JobRun RunShared(SieveJob job, bool wide, const std::vector<int>& others, Before before,
                       DeviceProvider* devices = nullptr,
                       std::vector<std::string>* othersLog = nullptr) {
  Hub hub(static_cast<int>(others.size()) + 1);
  std::vector<std::unique_ptr<Loopback>> links;
  std::vector<std::thread> servers;
  RecordingSink otherSink;
  for (size_t r = 1; r <= others.size(); ++r) {
    links.push_back(std::make_unique<Loopback>(hub, static_cast<int>(r)));
    servers.emplace_back([&, r, link = links.back().get()] {
      ServeProcessZero(*link, others[r - 1], otherSink, devices);
    });
  }
  Loopback zero(hub, 0);
  job.m_cluster = &zero;
  const test::JobRun run = test::RunJob(job, before, wide ? 1 : 0);
  for (size_t r = 1; r <= others.size(); ++r) {
    zero.Send(static_cast<int>(r), ByteWriter(ClusterMessage::kQuit).Bytes());
  }
  for (std::thread& t : servers) t.join();
  if (othersLog != nullptr) {
    *othersLog = otherSink.LogLines();
  } else {
    EXPECT_TRUE(otherSink.LogLines().empty()) << otherSink.LogLines().front();
  }
  return run;
}

test::JobRun RunShared(const SieveJob& job, bool wide, const std::vector<int>& others) {
  return RunShared(job, wide, others, [](CGfnThread&) {});
}

struct Mode {
  bool wide;
  int32_t bMin, bMax, exponent, ln;
  uint64_t pMin, pMax;
};
// Normal: 500 bases of b^65536+1. Wide: even b to 2e6 of b^16384+1 from 1e11.
const Mode kNormal{false, 1200000, 1200998, 65536, 16, 0, 3000000000};
const Mode kWide{true, 2, 2000000, 16384, 14, 100000000000, 101000000000};

SieveJob NewJob(const Mode& m, const ScratchDir& dir, int threads) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = m.bMin;
  job.m_nBMax = m.bMax;
  job.m_nExponent = m.exponent;
  job.m_nLn = m.ln;
  job.m_pMin = m.pMin;
  job.m_pMax = m.pMax;
  job.m_threads = threads;
  job.m_strFactorOut = dir / "factors.txt";
  job.m_strSieveOut = dir / "cands.txt";
  return job;
}

SieveJob ResumeJob(const Mode& m, const ScratchDir& dir) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  // Normal mode reads the factors back; wide mode appends to its file.
  if (!m.wide) job.m_strFactorIn = dir / "factors.txt";
  job.m_strSieveIn = dir / "cands.txt";
  job.m_strFactorOut = dir / (m.wide ? "factors.txt" : "factors2.txt");
  job.m_strSieveOut = dir / "cands2.txt";
  job.m_pMax = m.pMax;
  job.m_threads = 1;
  return job;
}

// The factor lines, in order of p, of either format.
std::vector<std::string> FactorLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find("has factor") != std::string::npos || line.find("factor :") != std::string::npos)
      lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Cluster, SharedRunsWriteTheFilesOfOneProcess) {
  for (const Mode& mode : {kNormal, kWide}) {
    ScratchDir one;
    ASSERT_FALSE(test::RunJob(NewJob(mode, one, 2), [](CGfnThread&) {}, mode.wide).failed);
    const std::string factors = ReadFile(one / "factors.txt");
    ASSERT_GT(FactorLines(factors).size(), 50u);
    // Two other processes of unequal threads, and one with three.
    for (const std::vector<int>& others : {std::vector<int>{1, 2}, std::vector<int>{3}}) {
      SCOPED_TRACE(testing::Message() << (mode.wide ? "wide" : "normal") << ", "
                                      << others.size() << " others");
      ScratchDir dir;
      const test::JobRun run = RunShared(NewJob(mode, dir, 1), mode.wide, others);
      ASSERT_FALSE(run.failed);
      const int threads = 1 + others[0] + (others.size() > 1 ? others[1] : 0);
      EXPECT_TRUE(test::Contains(run.log, "Sieving with " + std::to_string(others.size() + 1) +
                                              " processes, " + std::to_string(threads) +
                                              " threads in all."));
      EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors.txt")), WithoutTimeStamp(factors));
      EXPECT_EQ(ReadFile(dir / "cands.txt"), ReadFile(one / "cands.txt"));
    }
  }
}

TEST(Cluster, AStoppedSharedRunResumesToTheEndOfOneProcess) {
  for (const Mode& mode : {kNormal, kWide}) {
    SCOPED_TRACE(mode.wide ? "wide" : "normal");
    ScratchDir one;
    ASSERT_FALSE(test::RunJob(NewJob(mode, one, 2), [](CGfnThread&) {}, mode.wide).failed);
    // Stopped before the first batch: nothing is waited for, the files are
    // saved where the run began, and the others still finish their part.
    ScratchDir dir;
    const test::JobRun stopped =
        RunShared(NewJob(mode, dir, 1), mode.wide, {2}, [](CGfnThread& t) { t.RequestStop(); });
    ASSERT_FALSE(stopped.failed);
    EXPECT_TRUE(test::Contains(stopped.log, "Stop request received."));
    // Saved where the run began: just below --p-min, not at 0 (a resume
    // would then sieve every p below the slice).
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(ReadFile(dir / "cands.txt"), depth));
    EXPECT_LE(depth, static_cast<int64_t>(mode.pMin));
    EXPECT_GT(depth + 2 * mode.exponent, static_cast<int64_t>(mode.pMin));
    ASSERT_FALSE(RunShared(ResumeJob(mode, dir), mode.wide, {1, 1}).failed);
    EXPECT_EQ(ReadFile(dir / "cands2.txt"), ReadFile(one / "cands.txt"));
    EXPECT_EQ(FactorLines(ReadFile(dir / (mode.wide ? "factors.txt" : "factors2.txt"))),
              FactorLines(ReadFile(one / "factors.txt")));
  }
}

// Every process's device fails its checks (on every p): each process drops
// its own after three, says so, and sieves the rest of its part on its own
// threads; the files are still those of one process.
TEST(Cluster, ProcessesThatDropTheirDeviceStillWriteTheFilesOfOneProcess) {
  for (const Mode& mode : {kNormal, kWide}) {
    SCOPED_TRACE(mode.wide ? "wide" : "normal");
    ScratchDir one;
    ASSERT_FALSE(test::RunJob(
                     NewJob(mode, one, 2), [](CGfnThread&) {}, mode.wide)
                     .failed);
    test::FakeDevices devices;
    const uint64_t step = 2 * static_cast<uint64_t>(mode.exponent);
    for (uint64_t p = mode.pMin / step * step + 1; p <= mode.pMax; p += step) {
      devices.setup.failedChecks.insert(p);
    }
    ScratchDir dir;
    SieveJob job = NewJob(mode, dir, 1);
    job.m_device = DeviceChoice::Gpu();
    job.m_devices = &devices;
    job.m_deviceBatch = 40;  // batches that every process has a part of
    std::vector<std::string> othersLog;
    const test::JobRun run = RunShared(
        job, mode.wide, {2, 1}, [](CGfnThread&) {}, &devices, &othersLog);
    ASSERT_FALSE(run.failed) << run.log.back();
    const std::string dropped =
        "fake device 0 (fake device) failed 3 checks: the CPU kernels sieve the rest of the run.";
    EXPECT_TRUE(test::Contains(run.log, dropped));
    EXPECT_EQ(std::count(othersLog.begin(), othersLog.end(), dropped), 2);
    EXPECT_EQ(FactorLines(ReadFile(dir / "factors.txt")),
              FactorLines(ReadFile(one / "factors.txt")));
    EXPECT_EQ(ReadFile(dir / "cands.txt"), ReadFile(one / "cands.txt"));
  }
}

TEST(Cluster, MessagesCutShortAreRefused) {
  ByteWriter writer(ClusterMessage::kResult);
  writer.Put<uint64_t>(7).PutVector(std::vector<uint32_t>{1, 2, 3});
  const std::string whole = writer.Bytes();
  for (size_t length = 1; length < whole.size(); ++length) {
    const std::string cut = whole.substr(0, length);
    ByteReader reader(cut);
    EXPECT_THROW(
        {
          reader.Get<uint64_t>();
          std::vector<uint32_t> values;
          reader.GetVector(values);
        },
        ClusterError)
        << length;
  }
  EXPECT_THROW(ByteReader(std::string()), ClusterError);
}

}  // namespace
}  // namespace zentrova
