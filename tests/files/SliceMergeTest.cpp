// Slices of one range of p, sieved apart and merged, against one run over the
// whole range; and the slices that do not fit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/OutputLock.h"
#include "files/SliceMerge.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

struct Sieve {
  bool wide;
  int32_t n, bMin, bMax;
};

// A new sieve over p in [pMin, pMax] writing <name>-f.txt and <name>-c.txt;
// stopped after its first batch when stop.
void RunSlice(const test::ScratchDir& dir, const Sieve& s, const std::string& name, uint64_t pMin,
              uint64_t pMax, bool stop = false) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nExponent = s.n;
  job.m_nLn = ExponentLog2(s.n);
  job.m_nBMin = s.bMin;
  job.m_nBMax = s.bMax;
  job.m_pMin = pMin;
  job.m_pMax = pMax;
  job.m_strFactorOut = dir / (name + "-f.txt");
  job.m_strSieveOut = dir / (name + "-c.txt");
  ASSERT_FALSE(test::RunJob(
                   job,
                   [stop](CGfnThread& t) {
                     if (stop) t.RequestStop();
                   },
                   s.wide ? 1 : 0)
                   .failed);
}

std::string Body(const std::string& text, bool wide) {
  // The normal factor file's first line holds the time of writing.
  return wide ? text : text.substr(text.find('\n') + 1);
}

struct Merge {
  std::vector<std::string> log;
  bool ok;
};

// A slice to merge: its files' name and the --p-min it is given.
struct Part {
  std::string name;
  uint64_t pMin;
};

// Merges the slices into m-f.txt and m-c.txt; without the last dropStarts
// starts.
Merge RunMerge(const test::ScratchDir& dir, const std::vector<Part>& slices, bool wide,
               size_t dropStarts = 0) {
  SliceMergeInput in;
  for (const Part& s : slices) {
    in.factorFiles.push_back(dir / (s.name + "-f.txt"));
    in.candidateFiles.push_back(dir / (s.name + "-c.txt"));
    in.pMins.push_back(s.pMin);
  }
  in.pMins.resize(in.pMins.size() - dropStarts);
  in.wide = wide;
  in.factorOut = dir / "m-f.txt";
  in.candidateOut = dir / "m-c.txt";
  Merge m;
  m.ok = MergeSlices(in, [&m](const std::string& line) { m.log.push_back(line); });
  return m;
}

TEST(SliceMerge, ThreeSlicesEqualOneRunInBothModes) {
  for (const Sieve& s :
       {Sieve{false, 1024, 2, 20000}, Sieve{true, 1024, 2, 20000}, Sieve{true, 16, 4, 4002}}) {
    SCOPED_TRACE(s.wide ? "wide" : "normal");
    test::ScratchDir dir;
    RunSlice(dir, s, "a", 0, 3000000);
    RunSlice(dir, s, "b", 3000001, 9000000);
    RunSlice(dir, s, "c", 9000001, 20000000);
    RunSlice(dir, s, "whole", 0, 20000000);
    const Merge m = RunMerge(dir, {{"a", 1}, {"b", 3000001}, {"c", 9000001}}, s.wide);
    ASSERT_TRUE(m.ok) << (m.log.empty() ? "" : m.log.back());
    EXPECT_EQ(test::ReadFile(dir / "m-c.txt"), test::ReadFile(dir / "whole-c.txt"));
    EXPECT_EQ(Body(test::ReadFile(dir / "m-f.txt"), s.wide),
              Body(test::ReadFile(dir / "whole-f.txt"), s.wide));
  }
}

int64_t Depth(const std::string& candidateFile) {
  UInt128 depth = 0;
  EXPECT_TRUE(ParseCandidateHeader(test::ReadFile(candidateFile), depth)) << candidateFile;
  return depth;
}

// The next slice may start anywhere among the numbers that are no factor
// candidate after the depth of the one before: p = k*2N + 1 only.
TEST(SliceMerge, ANextSliceMayStartAnywhereUpToTheNextCandidate) {
  test::ScratchDir dir;
  const Sieve s{false, 1024, 2, 20000};
  RunSlice(dir, s, "a", 0, 3000000);
  const auto depth = static_cast<uint64_t>(Depth(dir / "a-c.txt"));
  const uint64_t next = depth + 2048;  // the next p of the form k*2N + 1
  RunSlice(dir, s, "b", next, 9000000);
  RunSlice(dir, s, "whole", 0, 9000000);
  for (uint64_t start : {depth + 1, depth + 2, next}) {
    SCOPED_TRACE(start);
    const Merge m = RunMerge(dir, {{"a", 1}, {"b", start}}, false);
    ASSERT_TRUE(m.ok) << (m.log.empty() ? "" : m.log.back());
    EXPECT_EQ(test::ReadFile(dir / "m-c.txt"), test::ReadFile(dir / "whole-c.txt"));
    EXPECT_EQ(Body(test::ReadFile(dir / "m-f.txt"), false),
              Body(test::ReadFile(dir / "whole-f.txt"), false));
  }
}

TEST(SliceMerge, SlicesThatDoNotFitAreRefusedWithoutOutput) {
  test::ScratchDir dir;
  const Sieve normal{false, 1024, 2, 20000};
  RunSlice(dir, normal, "a", 0, 3000000);
  RunSlice(dir, normal, "b", 3000001, 9000000);
  RunSlice(dir, normal, "c", 9000001, 20000000);
  // Overlapping a from below and b from above.
  RunSlice(dir, normal, "ab", 2000001, 4000000);
  // Meant to reach 200000000, stopped after its first batch; "d" goes on from there.
  RunSlice(dir, normal, "early", 20000001, 200000000, true);
  ASSERT_LT(Depth(dir / "early-c.txt"), 199000000);
  RunSlice(dir, normal, "d", 200000001, 201000000);
  RunSlice(dir, Sieve{false, 1024, 2, 30000}, "range", 3000001, 9000000);
  RunSlice(dir, Sieve{false, 2048, 2, 20000}, "exp", 3000001, 9000000);
  RunSlice(dir, Sieve{true, 1024, 2, 20000}, "wide", 3000001, 9000000);
  // A slice whose candidate file belongs to another slice.
  std::filesystem::copy_file(dir / "a-f.txt", dir / "mixed-f.txt");
  std::filesystem::copy_file(dir / "b-c.txt", dir / "mixed-c.txt");
  struct Case {
    std::vector<Part> slices;
    bool wide;
    std::string message;
    size_t dropStarts = 0;
  };
  const Case cases[] = {
      {{{"a", 1}, {"range", 3000001}}, false, "not slices of one sieve"},
      {{{"a", 1}, {"exp", 3000001}}, false, "not slices of one sieve"},
      {{{"a", 1}, {"wide", 3000001}}, false, "is not a factor file of the normal mode"},
      {{{"a", 1}}, true, "is not a factor file of the wide mode"},
      {{{"mixed", 1}}, false, "were saved at different depths"},
      // Out of order: by their starts, or by their files.
      {{{"b", 3000001}, {"a", 1}}, false, "give the slices in increasing p"},
      {{{"b", 1}, {"a", 3000001}}, false, "the slices overlap"},
      // Overlapping.
      {{{"a", 1}, {"ab", 2000001}, {"b", 3000001}}, false, "the slices overlap"},
      {{{"a", 1}, {"b", 3000001}, {"ab", 3500001}}, false, "the slices overlap"},
      // A start above the one the slice was started with.
      {{{"a", 1}, {"ab", 3000001}}, false, "below its --p-min 3000001: it was not started there"},
      // A gap: no slice from 3000001 to 9000000; none below 3000001.
      {{{"a", 1}, {"c", 9000001}}, false, "No slice sieved the p from 300"},
      {{{"b", 3000001}, {"c", 9000001}}, false, "the first slice must start at the first p"},
      // A slice stopped early.
      {{{"a", 1}, {"b", 3000001}, {"c", 9000001}, {"early", 20000001}, {"d", 200000001}},
       false,
       "If slice 4 was stopped early, resume it with --p-max 200000000"},
      // The wrong number of starts.
      {{{"a", 1}, {"b", 3000001}, {"c", 9000001}}, false, "--p-min it was started with (3 ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Merge m = RunMerge(dir, c.slices, c.wide, c.dropStarts);
    EXPECT_FALSE(m.ok);
    ASSERT_FALSE(m.log.empty());
    EXPECT_NE(m.log.back().find(c.message), std::string::npos) << m.log.back();
    EXPECT_FALSE(std::filesystem::exists(dir / "m-f.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "m-c.txt"));
  }
  // Tiled, the same slices merge.
  const Merge m = RunMerge(dir, {{"a", 1}, {"b", 3000001}, {"c", 9000001}}, false);
  EXPECT_TRUE(m.ok) << (m.log.empty() ? "" : m.log.back());
}

// The outputs are locked as a run's are, and a slice that a run holds as its
// output is not read: the merge is refused before either output is touched.
TEST(SliceMerge, RefusedWhileAnOutputOrASliceIsHeldByARun) {
  test::ScratchDir dir;
  const Sieve normal{false, 1024, 2, 20000};
  RunSlice(dir, normal, "a", 0, 3000000);
  RunSlice(dir, normal, "b", 3000001, 9000000);
  test::WriteFile(dir / "m-f.txt", "factors of a run\n");
  test::WriteFile(dir / "m-c.txt", "candidates of a run\n");
  for (const std::string held : {"m-f.txt", "m-c.txt", "a-f.txt", "b-c.txt"}) {
    SCOPED_TRACE(held);
    OutputLock run;
    std::string error;
    ASSERT_TRUE(run.Acquire(dir / held, error)) << error;
    const Merge m = RunMerge(dir, {{"a", 1}, {"b", 3000001}}, false);
    EXPECT_FALSE(m.ok);
    ASSERT_FALSE(m.log.empty());
    EXPECT_NE(m.log.back().find((held[0] == 'm' ? "Output file " : "Input file ") + (dir / held) +
                                " is in use by another run"),
              std::string::npos)
        << m.log.back();
    EXPECT_EQ(test::ReadFile(dir / "m-f.txt"), "factors of a run\n");
    EXPECT_EQ(test::ReadFile(dir / "m-c.txt"), "candidates of a run\n");
    // A refused merge leaves no lock behind.
    OutputLock after;
    EXPECT_TRUE(after.Acquire(dir / (held == "m-f.txt" ? "m-c.txt" : "m-f.txt"), error)) << error;
  }
  const Merge m = RunMerge(dir, {{"a", 1}, {"b", 3000001}}, false);
  EXPECT_TRUE(m.ok) << (m.log.empty() ? "" : m.log.back());
  EXPECT_FALSE(std::filesystem::exists(dir / "m-f.txt.lock"));
  EXPECT_FALSE(std::filesystem::exists(dir / "a-f.txt.lock"));
}

}  // namespace
}  // namespace zentrova
