// Slices of one range of p, sieved apart and merged, against one run over the
// whole range; and the slices that do not fit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/SliceMerge.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

struct Sieve {
  bool wide;
  int32_t n, bMin, bMax;
};

// A new sieve over p in [pMin, pMax] writing <name>-f.txt and <name>-c.txt.
void RunSlice(const test::ScratchDir& dir, const Sieve& s, const std::string& name, uint64_t pMin,
              uint64_t pMax) {
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
                   job, [](CGfnThread&) {}, s.wide ? 1 : 0)
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

Merge RunMerge(const test::ScratchDir& dir, const std::vector<std::string>& slices, bool wide) {
  SliceMergeInput in;
  for (const std::string& s : slices) {
    in.factorFiles.push_back(dir / (s + "-f.txt"));
    in.candidateFiles.push_back(dir / (s + "-c.txt"));
  }
  in.wide = wide;
  in.factorOut = dir / "m-f.txt";
  in.candidateOut = dir / "m-c.txt";
  Merge m;
  m.ok = MergeSlices(in, [&m](const std::string& line) { m.log.push_back(line); });
  return m;
}

TEST(SliceMerge, ThreeSlicesEqualOneRunInBothModes) {
  for (const Sieve& s :
       {Sieve{false, 1024, 2, 20000}, Sieve{true, 1024, 2, 20000}, Sieve{true, 16, 3, 4001}}) {
    SCOPED_TRACE(s.wide ? "wide" : "normal");
    test::ScratchDir dir;
    RunSlice(dir, s, "a", 0, 3000000);
    RunSlice(dir, s, "b", 3000001, 9000000);
    RunSlice(dir, s, "c", 9000001, 20000000);
    RunSlice(dir, s, "whole", 0, 20000000);
    const Merge m = RunMerge(dir, {"a", "b", "c"}, s.wide);
    ASSERT_TRUE(m.ok) << (m.log.empty() ? "" : m.log.back());
    EXPECT_EQ(test::ReadFile(dir / "m-c.txt"), test::ReadFile(dir / "whole-c.txt"));
    EXPECT_EQ(Body(test::ReadFile(dir / "m-f.txt"), s.wide),
              Body(test::ReadFile(dir / "whole-f.txt"), s.wide));
  }
}

TEST(SliceMerge, SlicesThatDoNotFitAreRefusedWithoutOutput) {
  test::ScratchDir dir;
  const Sieve normal{false, 1024, 2, 20000};
  RunSlice(dir, normal, "a", 0, 3000000);
  RunSlice(dir, normal, "b", 3000001, 9000000);
  RunSlice(dir, Sieve{false, 1024, 2, 30000}, "range", 3000001, 9000000);
  RunSlice(dir, Sieve{false, 2048, 2, 20000}, "exp", 3000001, 9000000);
  RunSlice(dir, Sieve{true, 1024, 2, 20000}, "wide", 3000001, 9000000);
  // A slice whose candidate file belongs to another slice.
  std::filesystem::copy_file(dir / "a-f.txt", dir / "mixed-f.txt");
  std::filesystem::copy_file(dir / "b-c.txt", dir / "mixed-c.txt");
  struct Case {
    std::vector<std::string> slices;
    bool wide;
    std::string message;
  };
  const Case cases[] = {
      {{"a", "range"}, false, "not slices of one sieve"},
      {{"a", "exp"}, false, "not slices of one sieve"},
      {{"b", "a"}, false, "give the slices in increasing p"},
      {{"a", "wide"}, false, "is not a factor file of the normal mode"},
      {{"a"}, true, "is not a factor file of the wide mode"},
      {{"mixed"}, false, "were saved at different depths"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Merge m = RunMerge(dir, c.slices, c.wide);
    EXPECT_FALSE(m.ok);
    ASSERT_FALSE(m.log.empty());
    EXPECT_NE(m.log.back().find(c.message), std::string::npos) << m.log.back();
    EXPECT_FALSE(std::filesystem::exists(dir / "m-f.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "m-c.txt"));
  }
}

}  // namespace
}  // namespace zentrova
