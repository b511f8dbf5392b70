// The batch skeleton both loops share (SieveLoop::RunBatches): a scripted
// loop checks which hooks it calls, in which order, over which p, and what
// it counts; then a stop requested at each point between batches leaves the
// files of an uninterrupted run cut at the same p, in both modes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/PNumber.h"
#include "math/WheelTables.h"
#include "sieve/JobTestUtil.h"
#include "sieve/SieveLoop.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WithoutTimeStamp;

// What a row does at its batches, numbered from 0: batch i holds the p from
// 10i + 1 to 10i + 10 and strikes i + 1 bases when i is even. At[i] holds
// what happens while it is applied: "end" (the feed ends with it, at the p
// limit), "stop" (a stop request), "tick" (a status tick), or what KeepBatch
// tells: "halt" (kStop), "told" (kEndTold), "lost" (kLost).
struct Script {
  const char* name;
  std::vector<std::string> at;
  std::string calls;  // the hooks called, in order
  std::string end;    // the log's line before "Stop request received." ("": none)
};

int64_t StruckBy(int batch) {
  return batch % 2 == 0 ? batch + 1 : 0;
}

struct FakeState {
  int64_t m_kCur = 0;
  UInt128 m_pCur = 0;
  int64_t left = 100;
};

class ScriptedLoop : public SieveLoop<ScriptedLoop, FakeState> {
 public:
  ScriptedLoop(JobContext& ctx, const Script& script) : SieveLoop(ctx), m_script(script) {}
  void Run() {
    LoopWorkers<Result> w(m_ctx, 2, nullptr, 0);
    RunBatches(w, nullptr);
  }
  std::string calls;  // "<hook> <p or count>, ..."
  int applied = 0;

 private:
  friend class SieveLoop<ScriptedLoop, FakeState>;
  struct Result {
    FactorCandidate c;
    void Pack(ByteWriter& out) const { out.Put(c); }
    void Unpack(ByteReader& in) { c = in.Get<FactorCandidate>(); }
  };
  bool At(int i, const std::string& what) const {
    return i < static_cast<int>(m_script.at.size()) &&
           m_script.at[static_cast<size_t>(i)].find(what) != std::string::npos;
  }

  // On the producing thread.
  void GenerateBatch(LoopWorkers<Result>&, BatchCluster*, ProducedBatch<Result>& next) {
    const int i = m_made++;
    for (int j = 1; j <= 10; ++j) next.batch.push_back(Result{FactorCandidate{10 * i + j, 0}});
    for (Result& r : next.batch) r.c.p = static_cast<UInt128>(r.c.k);
    if (At(i, "end")) {
      next.end = FeedEnd::kPMax;
      next.beyond = 10 * i + 11;
    }
  }
  void ComputeOnDevice(std::vector<Result>&) {}
  size_t ApplyBatch(const std::vector<Result>& batch) {
    const int i = applied++;
    Call("apply " + PToString(batch.front().c.p) + "-" + PToString(batch.back().c.p));
    m_state.m_pCur = batch.back().c.p;
    m_state.left -= StruckBy(i);
    if (At(i, "stop")) m_ctx.RequestStop();
    if (At(i, "tick")) m_ctx.Tick();
    return batch.size();
  }
  int64_t BasesLeft() const { return m_state.left; }
  BatchVerdict KeepBatch(int64_t struck) {
    Call("keep " + std::to_string(struck));
    const int i = applied - 1;
    return At(i, "halt")   ? BatchVerdict::kStop
           : At(i, "told") ? BatchVerdict::kEndTold
           : At(i, "lost") ? BatchVerdict::kLost
                           : BatchVerdict::kGo;
  }
  void SaveFiles() { Call("save at " + PToString(m_state.m_pCur)); }
  void Call(const std::string& what) { calls += (calls.empty() ? "" : ", ") + what; }

  const Script& m_script;
  int m_made = 0;
};

TEST(SieveLoop, TheSkeletonCallsItsHooksInOrderAndCountsEachBatch) {
  const std::string limit = "Reached the p limit 1000.  The last p sieved is ";
  const std::string two = "apply 1-10, keep 1, apply 11-20, keep 0, ";
  const std::string three = two + "apply 21-30, keep 3, ";
  const std::vector<Script> scripts = {
      {"the feed ends", {"", "", "end"}, three + "save at 30", limit + "30."},
      {"a stop, after its batch", {"", "stop"}, two + "save at 20", ""},
      {"a tick saves between batches",
       {"tick", "end"},
       "apply 1-10, keep 1, save at 10, apply 11-20, keep 0, save at 20",
       limit + "20."},
      {"a stop comes before the tick", {"stop tick"}, "apply 1-10, keep 1, save at 10", ""},
      {"a hook stops the loop", {"", "halt tick"}, two + "save at 20", ""},
      {"a hook told the end", {"", "", "end told"}, three + "save at 30", ""},
      {"a batch lost", {"lost tick"}, "apply 1-10, keep 1, save at 10", ""},
  };
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.name);
    SieveJob job;
    job.m_pMax = 1000;
    job.m_nSaveSeconds = 0;
    RecordingSink sink;
    JobContext ctx(job, sink, false);
    ctx.SetWheel(std::make_unique<WheelTables>());
    ScriptedLoop loop(ctx, script);
    loop.Run();
    EXPECT_EQ(loop.calls, script.calls);
    // The end told (the feed's, unless a hook told its own), then the line
    // every loop ends with.
    std::vector<std::string> log;
    if (!script.end.empty()) log.push_back(script.end);
    log.push_back("Stop request received.");
    EXPECT_EQ(sink.LogLines(), log);

    // Every batch applied is counted; those that struck join the ring.
    const JobProgress progress = ctx.Progress();
    EXPECT_EQ(progress.pCount, 10 * loop.applied);
    EXPECT_EQ(progress.pLast, static_cast<UInt128>(10 * loop.applied));
    int64_t struck = 0;
    size_t ring = 0;
    for (int i = 0; i < loop.applied; ++i) {
      if (StruckBy(i) == 0) continue;
      struck += StruckBy(i);
      ASSERT_LT(ring, progress.struckBatches);
      EXPECT_EQ(progress.struck[ring++].struckTotal, struck);
    }
    EXPECT_EQ(progress.struckBatches, ring);
    EXPECT_EQ(progress.factorsStruck, struck);
    EXPECT_EQ(progress.basesLeft, 100 - struck);
  }
}

// Requests the job's stop when a message holding `trigger` is posted.
class StopAtSink : public RecordingSink {
 public:
  explicit StopAtSink(std::string trigger) : m_trigger(std::move(trigger)) {}
  CGfnThread* thread = nullptr;
  void Post(std::string message) override {
    const bool hit = !m_trigger.empty() && message.find(m_trigger) != std::string::npos;
    RecordingSink::Post(std::move(message));
    if (hit) thread->RequestStop();
  }

 private:
  std::string m_trigger;
};

UInt128 Depth(const std::string& cands) {
  UInt128 depth = 0;
  EXPECT_TRUE(ParseCandidateHeader(cands.substr(0, cands.find('\n')), depth));
  return depth;
}

TEST(SieveLoop, AStopAtEachPointBetweenBatchesLeavesTheFilesOfARunCutThere) {
  struct Point {
    const char* name;
    const char* trigger;  // "": before the run
  };
  const Point points[] = {{"before the first batch", ""},
                          {"at the status line", "$ "},
                          {"during the periodic save", " p value written to "}};
  for (const int wide : {0, 1}) {
    UInt128 before = 0;  // the depth of a stop before the first batch
    for (const Point& point : points) {
      SCOPED_TRACE(std::string(wide ? "wide: " : "normal: ") + point.name);
      SieveJob job;
      job.m_nBMin = 1200000;
      job.m_nBMax = wide ? 1204000 : 1200998;
      job.m_nExponent = 65536;
      job.m_nLn = 16;
      job.m_pMax = 1000000000000;
      job.m_nSaveSeconds = 0;
      ScratchDir stopped, whole;
      job.m_strFactorOut = stopped / "factors.txt";
      job.m_strSieveOut = stopped / "cands.txt";
      StopAtSink sink(point.trigger);
      {
        CGfnThread thread(job, sink, wide);
        sink.thread = &thread;
        thread.Tick();
        if (*point.trigger == '\0') thread.RequestStop();
        thread.Run();
        ASSERT_FALSE(thread.Failed());
      }
      const std::string cands = ReadFile(stopped / "cands.txt");
      job.m_pMax = Depth(cands);
      ASSERT_GT(job.m_pMax, 0u);
      // A stop between batches takes effect after the next one.
      if (before == 0) {
        before = job.m_pMax;
      } else {
        EXPECT_GT(job.m_pMax, before);
      }
      job.m_strFactorOut = whole / "factors.txt";
      job.m_strSieveOut = whole / "cands.txt";
      RecordingSink plain;
      CGfnThread thread(job, plain, wide);
      thread.Run();
      ASSERT_FALSE(thread.Failed());
      EXPECT_EQ(ReadFile(whole / "cands.txt"), cands);
      EXPECT_EQ(WithoutTimeStamp(ReadFile(whole / "factors.txt")),
                WithoutTimeStamp(ReadFile(stopped / "factors.txt")));
    }
  }
}

}  // namespace
}  // namespace zentrova
