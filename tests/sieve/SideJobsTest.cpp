// The report, build-from-factors and to-be-factored jobs, end to end: a real
// normal sieve writes the factor and candidate files, the side jobs read them
// (and tester logs in the shapes testers write), and their outputs and
// messages are compared with texts built from those files or written out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <random>
#include <sstream>

#include "TestUtil.h"
#include "files/CandidateFiles.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WithoutTimeStamp;
using test::WriteFile;

constexpr int32_t kBMin = 1200000;
constexpr int32_t kBMax = 1200998;
constexpr int32_t kN = 65536;
const std::string kData = ZENTROVA_TEST_DATA;

test::JobRun RunSide(const SieveJob& job, int32_t wideMath = 0,
                 void (*before)(CGfnThread&) = nullptr) {
  RecordingSink sink;
  CGfnThread thread(job, sink, wideMath);
  if (before != nullptr) before(thread);
  thread.Run();
  return test::JobRun{sink.Messages(), sink.LogLines(), thread.Failed()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
  return lines;
}

// Everything after the first line.
std::string Body(const std::string& text) { return text.substr(text.find('\n') + 1); }

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A literal with its NUL bytes.
template <size_t kSize>
std::string Bytes(const char (&text)[kSize]) {
  return std::string(text, kSize - 1);
}

// A normal sieve over kBMin..kBMax to about 3e8, its files read back.
struct SieveFiles {
  std::string factorPath, candPath, factorText, candText;
  std::vector<FactorRecord> factors;  // as in the file: by b
  std::vector<int32_t> cands;
};

SieveFiles RunSieve(const ScratchDir& dir) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = kBMin;
  job.m_nBMax = kBMax;
  job.m_nExponent = kN;
  job.m_nLn = 16;
  job.m_strFactorOut = dir / "factors.txt";
  job.m_strSieveOut = dir / "cands.txt";
  job.m_pMax = 300000000;
  job.m_threads = 2;
  const test::JobRun run = test::RunJob(job);
  EXPECT_FALSE(run.failed);
  SieveFiles s{job.m_strFactorOut, job.m_strSieveOut, ReadFile(job.m_strFactorOut),
               ReadFile(job.m_strSieveOut), {}, {}};
  FactorFileContents contents;
  EXPECT_TRUE(ReadFactorFile(s.factorPath, contents));
  s.factors = contents.records;
  for (const std::string& line : Lines(Body(s.candText))) s.cands.push_back(std::stoi(line));
  // Both lists must be substantial for the cases below to mean anything.
  EXPECT_GT(s.factors.size(), 100u);
  EXPECT_GT(s.cands.size(), 100u);
  return s;
}

std::string FactorLine(const FactorRecord& r, int32_t n = kN) {
  return StrFormat("%d^%d+1 has factor %s\n", r.b, n, PToString(r.p).c_str());
}

std::string WideLine(const FactorRecord& r) {
  return StrFormat("1*%d^%d + 1 factor : %s\n", r.b, kN, PToString(r.p).c_str());
}

std::string WideHeader(int32_t n = kN) {
  return StrFormat("Zentrova for k^%d+1 [k == %d to %d]\n\n", n, kBMin, kBMax);
}

std::vector<FactorRecord> InPOrder(std::vector<FactorRecord> f) {
  std::stable_sort(f.begin(), f.end(),
                   [](const FactorRecord& x, const FactorRecord& y) { return x.p < y.p; });
  return f;
}

// --- report --------------------------------------------------------------------

SieveJob ReportRecord(const std::string& factors, const std::string& log, const std::string& report) {
  SieveJob job;
  job.m_nCommand = kCmdReport;
  job.m_strFactorIn = factors;
  job.m_strProthLog = log;
  job.m_strReport = report;
  return job;
}

TEST(SideJobsReport, MergesATesterLogWithTheSievesFactorFile) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const auto isCand = [&](int32_t b) {
    return std::binary_search(s.cands.begin(), s.cands.end(), b);
  };

  // Two results missing from the log, as a prime leaves them: one followed by
  // a struck base, one followed by another candidate.
  size_t gapBeforeFactor = 0, gapBeforeCand = 0;
  for (size_t i = 40; i + 1 < s.cands.size() && gapBeforeFactor == 0; ++i) {
    if (!isCand(s.cands[i] + 2)) gapBeforeFactor = i;
  }
  for (size_t i = gapBeforeFactor + 20; i + 1 < s.cands.size() && gapBeforeCand == 0; ++i) {
    if (s.cands[i + 1] == s.cands[i] + 2) gapBeforeCand = i;
  }
  ASSERT_NE(gapBeforeFactor, 0u);
  ASSERT_NE(gapBeforeCand, 0u);
  // A struck base whose lower neighbour is a candidate: the tester also
  // reports it composite, right after that neighbour.
  size_t dupAfter = 0;
  for (size_t i = 5; i < 30 && dupAfter == 0; ++i) {
    if (!isCand(s.cands[i] + 2)) dupAfter = i;
  }
  ASSERT_NE(dupAfter, 0u);

  std::string log = "Testing " + std::to_string(s.cands[0]) + "^65536+1 (398406 digits)\n";
  std::vector<std::string> copied(s.cands.size());  // what the report shows per candidate
  for (size_t i = 0; i < s.cands.size(); ++i) {
    const std::string b = std::to_string(s.cands[i]);
    if (i == gapBeforeFactor || i == gapBeforeCand) {
      log += b + "^65536+1 is a probable prime. (398406 digits) (err = 0.0020)\n";
      continue;
    }
    std::string line;
    if (i == 7) {
      line = b + "^65536+1 is composite. (RES=%s%d%n%%) 100% (time = 0:00:03) 12:01:02\n";
    } else if (i % 2 == 0) {
      line = b + "^65536+1 is composite. (RES=a1b2c3d4e5f60708) (398406 digits) (err = 0.0020) "
                 "(time = 0:00:03) 12:01:02\n";
    } else {
      line = b + "^65536+1 is composite: RES64: [1A2B3C4D5E6F7081] (1.2345s+0.0001s)\n";
    }
    copied[i] = line;
    // Text before the digits of b is not copied.
    log += (i == 11 ? "[Thread 2] " : "") + line;
    if (i == dupAfter) {
      log += std::to_string(s.cands[i] + 2) + "^65536+1 is Composite (RES=0000000000000001)\n";
    }
    if (i == 15) {
      log += b + "^32768+1 is composite. (RES=0000000000000002)\n";  // another exponent
      log += "1201000^65536+1 is composite. (RES=0000000000000003)\n";  // beyond b Max
      log += b + "^65536+1 is not prime.  RES64: 0123456789ABCDEF.  OLD64: 0\n";
    }
  }
  log += "Done.\n";
  WriteFile(dir / "Proth.Log", log);

  // Every base once, ascending: its factor line, else the tester's line.
  std::string expected;
  size_t f = 0;
  for (size_t i = 0; i < s.cands.size() || f < s.factors.size();) {
    if (i == s.cands.size() || (f < s.factors.size() && s.factors[f].b < s.cands[i])) {
      expected += FactorLine(s.factors[f++]);
    } else {
      expected += copied[i++];
    }
  }
  const test::JobRun run = RunSide(ReportRecord(s.factorPath, dir / "Proth.Log", dir / "report.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "report.txt"), expected);
  const int32_t g1 = s.cands[gapBeforeFactor];
  const int32_t g2 = s.cands[gapBeforeCand];
  const std::vector<std::string> messages = {
      "SSE2 support enabled.",
      "Loading input factor file " + s.factorPath + ".",
      std::to_string(s.factors.size()) + " factors loaded from " + s.factorPath + ".",
      "& 1200000 1200998 65536",
      StrFormat("Report consistency error, found factor b=%d, expected b=%d.", g1 + 2, g1),
      StrFormat("Report consistency error, found composite b=%d, expected b=%d.", g2 + 2, g2),
      "Report file " + (dir / "report.txt") + " written.",
      "@"};
  EXPECT_EQ(run.messages, messages);
}

// The sample logs of tests/data over b = 1200000 .. 1200020, whose factors up
// to 2^20 * 131072 were found by a separate search (p = k*131072 + 1 prime,
// b^65536 == -1 mod p).
constexpr const char* kSampleFactors =
    "GFN Factors b^n+1, b=1200000 to 1200020, n=65536.  Tested to factor 1179649 : "
    "March 14, 2003  03:14:27.\n"
    "1200000^65536+1 has factor 14942209\n"
    "1200014^65536+1 has factor 786433\n"
    "1200020^65536+1 has factor 1179649\n";

TEST(SideJobsReport, AcceptsGeneferAndPfgwLinesAndIgnoresLlrLines) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", kSampleFactors);
  const std::string gap =
      "Report consistency error, found composite b=1200012, expected b=1200010.";

  // genefer: the line from the first digit of b to its end.
  test::JobRun run = RunSide(ReportRecord(dir / "f.txt", kData + "/genefer.log", dir / "g.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "g.txt"),
            "1200000^65536+1 has factor 14942209\n"
            "1200002^65536+1 is composite. (RES=a1b2c3d4e5f60708) (398406 digits) (err = 0.0020) "
            "(time = 0:00:03) 12:01:02\n"
            "1200004^65536+1 is composite. (RES=5e0b7c21d39a44f6) (398406 digits) (err = 0.0020) "
            "(time = 0:00:03) 12:01:05\n"
            "1200006^65536+1 is composite. (RES=0c9d1e2f3a4b5c6d) (398406 digits) (err = 0.0021) "
            "(time = 0:00:03) 12:01:08\n"
            "1200008^65536+1 is composite. (RES=77e1a0b9c8d7e6f5) (398406 digits) (err = 0.0020) "
            "(time = 0:00:03) 12:01:11\n"
            "1200012^65536+1 is composite. (RES=f00dfacec0ffee11) (398406 digits) (err = 0.0020) "
            "(time = 0:00:03) 12:01:17\n"
            "1200014^65536+1 has factor 786433\n"
            "1200016^65536+1 is composite. (RES=13579bdf2468ace0) (398406 digits) (err = 0.0022) "
            "(time = 0:00:03) 12:01:20\n"
            "1200018^65536+1 is composite. (RES=deadbeef01234567) (398406 digits) (err = 0.0020) "
            "(time = 0:00:03) 12:01:23\n"
            "1200020^65536+1 has factor 1179649\n");
  EXPECT_EQ(run.log, (std::vector<std::string>{
                         "SSE2 support enabled.", "Loading input factor file " + (dir / "f.txt") + ".",
                         "3 factors loaded from " + (dir / "f.txt") + ".", gap,
                         "Report file " + (dir / "g.txt") + " written."}));

  // PFGW, with CR LF line ends: written with "\n".
  run = RunSide(ReportRecord(dir / "f.txt", kData + "/pfgw.log", dir / "p.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "p.txt"),
            "1200000^65536+1 has factor 14942209\n"
            "1200002^65536+1 is composite: RES64: [1A2B3C4D5E6F7081] (1.2345s+0.0001s)\n"
            "1200004^65536+1 is composite: RES64: [0F1E2D3C4B5A6978] (1.2351s+0.0001s)\n"
            "1200006^65536+1 is composite: RES64: [A0B1C2D3E4F50617] (1.2340s+0.0001s)\n"
            "1200008^65536+1 is composite: RES64: [5566778899AABBCC] (1.2362s+0.0001s)\n"
            "1200012^65536+1 is composite: RES64: [0123ABCD4567EF89] (1.2349s+0.0001s)\n"
            "1200014^65536+1 has factor 786433\n"
            "1200016^65536+1 is composite: RES64: [FEDCBA9876543210] (1.2358s+0.0001s)\n"
            "1200018^65536+1 is composite: RES64: [1111222233334444] (1.2344s+0.0001s)\n"
            "1200020^65536+1 has factor 1179649\n");
  EXPECT_EQ(run.log[3], gap);

  // LLR says "is not prime", without "omposite": no line counts, so only the
  // factors are written and every one after the first gap is reported.
  run = RunSide(ReportRecord(dir / "f.txt", kData + "/llr.log", dir / "l.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "l.txt"),
            "1200000^65536+1 has factor 14942209\n1200014^65536+1 has factor 786433\n"
            "1200020^65536+1 has factor 1179649\n");
  EXPECT_EQ(std::vector<std::string>(run.log.begin() + 3, run.log.end() - 1),
            (std::vector<std::string>{
                "Report consistency error, found b=1200014, expected b=1200002.",
                "Report consistency error, found b=1200020, expected b=1200004."}));
}

TEST(SideJobsReport, GapsDuplicatesAndTrailingFactors) {
  ScratchDir dir;
  // Factors are not verified by the report: small made-up ones will do.
  WriteFile(dir / "f.txt",
            "GFN Factors b^n+1, b=10 to 30, n=8.  Tested to factor 99 : now.\n"
            "12^8+1 has factor 5\n18^8+1 has factor 7\n24^8+1 has factor 11\n"
            "28^8+1 has factor 13\n30^8+1 has factor 17\n");
  WriteFile(dir / "log.txt",
            "10^8+1 is composite\n"
            "12^8+1 is composite\n"  // has a factor: reported once, as its factor
            "14^8+1 is composite\n"
            // Repeated while the last factor written was the expected one: the
            // line names the base just written, so it is dropped silently.
            "14^8+1 is composite\n"
            "20^8+1 is composite\n"  // 16 is missing; 18's factor comes first
            "20^8+1 is composite\n"  // repeated after a misplaced factor: reported
            "22^8+1 is composite\n"
            "8^8+1 is composite\n"   // below b Min
            "a^8+1 is composite\n"   // no base
            "0^8+1 is composite\n"   // b = 0
            "24^16+1 is composite\n");  // another exponent
  const test::JobRun run = RunSide(ReportRecord(dir / "f.txt", dir / "log.txt", dir / "r.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "r.txt"),
            "10^8+1 is composite\n12^8+1 has factor 5\n14^8+1 is composite\n"
            "18^8+1 has factor 7\n20^8+1 is composite\n22^8+1 is composite\n"
            "24^8+1 has factor 11\n28^8+1 has factor 13\n30^8+1 has factor 17\n");
  EXPECT_EQ(std::vector<std::string>(run.log.begin() + 3, run.log.end()),
            (std::vector<std::string>{
                "Report consistency error, found factor b=18, expected b=16.",
                "Report consistency error, found composite b=20, expected b=22.",
                "Report consistency error, found b=28, expected b=26.",
                "Report consistency error, found b=30, expected b=28.",
                "Report file " + (dir / "r.txt") + " written."}));
}

TEST(SideJobsReport, OneDigitBasesAreReportedLikeAnyOther) {
  ScratchDir dir;
  WriteFile(dir / "f.txt",
            "GFN Factors b^n+1, b=2 to 12, n=8192.  Tested to factor 1000 : x.\n"
            "4^8192+1 has factor 163841\n");
  WriteFile(dir / "log.txt",
            "2^8192+1 is composite. RES64: 1.\n6^8192+1 is composite. RES64: 2.\n"
            "8^8192+1 is composite. RES64: 3.\n10^8192+1 is composite. RES64: 4.\n"
            "12^8192+1 is composite. RES64: 5.\n");
  const test::JobRun run = RunSide(ReportRecord(dir / "f.txt", dir / "log.txt", dir / "r.txt"));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "r.txt"),
            "2^8192+1 is composite. RES64: 1.\n4^8192+1 has factor 163841\n"
            "6^8192+1 is composite. RES64: 2.\n8^8192+1 is composite. RES64: 3.\n"
            "10^8192+1 is composite. RES64: 4.\n12^8192+1 is composite. RES64: 5.\n");
  for (const std::string& line : run.log) {
    EXPECT_EQ(line.find("consistency"), std::string::npos) << line;
  }
}

TEST(SideJobsReport, LongAndBinaryLinesAreReadWhole) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", "GFN Factors b^n+1, b=10 to 14, n=8.  Tested to factor 9 : now.\n");
  const std::string longLine = "10^8+1 is composite " + std::string(100000, 'x') + "\n";
  const std::string nul = Bytes("12^8+1 is composite \0 with a NUL\n");
  const std::string binary = "\xff\xfe^\x01omposite\n" + nul;
  WriteFile(dir / "log.txt", longLine + binary + "14^8+1 is composite, last line");
  const test::JobRun run = RunSide(ReportRecord(dir / "f.txt", dir / "log.txt", dir / "r.txt"));
  EXPECT_FALSE(run.failed);
  // Copied byte for byte; the last line gets its line end.
  EXPECT_EQ(ReadFile(dir / "r.txt"), longLine + nul + "14^8+1 is composite, last line\n");
  EXPECT_EQ(run.log.size(), 4u);
}

TEST(SideJobsReport, BadInputsEndTheJobAndLeaveNoReport) {
  ScratchDir dir;
  WriteFile(dir / "log.txt", "1200002^65536+1 is composite\n");
  WriteFile(dir / "f.txt", kSampleFactors);
  struct Case {
    std::string factors;  // text of the factor file; "-" for none
    std::string log;      // path of the log
    std::string report;
    std::vector<std::string> tail;  // messages after "SSE2 support enabled."
  };
  const std::string f = dir / "bad.txt";
  const std::string r = dir / "r.txt";
  const Case cases[] = {
      {"-", dir / "log.txt", r, {"Unable to open input factor file " + f + "."}},
      {"1200014^65536+1 has factor 786433\n1200020^65536+1 has factor 1179649\n",
       dir / "log.txt",
       r,
       {"Loading input factor file " + f + ".", "2 factors loaded from " + f + ".",
        "Factoring input error, bMin=0, bMax=0, Exponent=0."}},
      {"GFN Factors b^n+1, b=10 to 20, n=12.  Tested to factor 1 : now.\n",
       dir / "log.txt",
       r,
       {"Loading input factor file " + f + ".", "0 factors loaded from " + f + ".",
        "Exponent 12 is not a proper power of 2 for GFN testing."}},
      {kSampleFactors,
       dir / "missing.log",
       r,
       {"Loading input factor file " + f + ".", "3 factors loaded from " + f + ".",
        "& 1200000 1200020 65536", "Unable to open input proth file " + (dir / "missing.log") + "."}},
      {kSampleFactors,
       dir / "log.txt",
       dir / "no-such-folder/r.txt",
       // Found before anything is read: the report could never be saved there.
       {"Unable to create a file beside output file " + (dir / "no-such-folder/r.txt") +
        ": No such file or directory.  Nothing was run."}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(f);
    if (c.factors != "-") WriteFile(f, c.factors);
    WriteFile(r, "an earlier report\n");
    const test::JobRun run = RunSide(ReportRecord(f, c.log, c.report));
    EXPECT_TRUE(run.failed) << c.tail.back();
    std::vector<std::string> expected = {"SSE2 support enabled."};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    expected.push_back("@");
    EXPECT_EQ(run.messages, expected);
    EXPECT_EQ(ReadFile(r), "an earlier report\n");
    // log.txt, f.txt, r.txt and bad.txt when written: no temporary file left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator{}),
              c.factors != "-" ? 4 : 3);
  }
}

// --- build from factors ------------------------------------------------------------

SieveJob RebuildRecord(const ScratchDir& dir, const std::string& factorsIn, int32_t bMin = kBMin,
                    int32_t bMax = kBMax, int32_t n = kN, int32_t ln = 16) {
  SieveJob job;
  job.m_nCommand = kCmdBuildFromFactors;
  job.m_strFactorIn = factorsIn;
  job.m_strFactorOut = dir / "factors-out.txt";
  job.m_strSieveOut = dir / "cands-out.txt";
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_nExponent = n;
  job.m_nLn = ln;
  return job;
}

TEST(SideJobsRebuild, FromTheSievesFactorFileGivesItsCandidatesAndSortedFactors) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const uint64_t lastP = s.factors.back().p;  // the p of the file's last line

  const test::JobRun run = RunSide(RebuildRecord(dir, s.factorPath));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"),
            StrFormat("ABC $a^$b+1 // %" PRIu64 "\n", lastP) + Body(s.candText));
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors-out.txt")),
            StrFormat("GFN Factors b^n+1, b=1200000 to 1200998, n=65536.  Tested to factor "
                      "%" PRIu64 "\n",
                      lastP) +
                Body(s.factorText));
  EXPECT_EQ(run.messages,
            (std::vector<std::string>{
                "SSE2 support enabled.",
                "Generating output files using factor input file " + s.factorPath + ".",
                "Processing input factor file " + s.factorPath + ".", "Stop request received.",
                StrFormat("%zu Factors written to %s", s.factors.size(),
                          (dir / "factors-out.txt").c_str()),
                StrFormat("%zu items %" PRIu64 " p value written to %s.", s.cands.size(), lastP,
                          (dir / "cands-out.txt").c_str()),
                "@"}));

  // Factor lines in any order come out sorted by b; the depth is the p of the
  // last line read, whatever its size.
  std::vector<FactorRecord> shuffled = s.factors;
  const uint64_t seed = test::TestSeed();
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(seed));
  std::string text = s.factorText.substr(0, s.factorText.find('\n') + 1);
  for (const FactorRecord& r : shuffled) text += FactorLine(r);
  WriteFile(dir / "shuffled.txt", text);
  ASSERT_FALSE(RunSide(RebuildRecord(dir, dir / "shuffled.txt")).failed);
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")), Body(s.factorText));
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"),
            StrFormat("ABC $a^$b+1 // %s\n", PToString(shuffled.back().p).c_str()) + Body(s.candText));
}

TEST(SideJobsRebuild, WideAndMixedFactorFilesGiveTheSievesCandidates) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const std::vector<FactorRecord> byP = InPOrder(s.factors);
  const uint64_t maxP = byP.back().p;

  // As the wide sieve writes its file: header, then factors in p order.
  std::string wide = WideHeader();
  for (const FactorRecord& r : byP) wide += WideLine(r);
  WriteFile(dir / "wide.txt", wide);
  const test::JobRun run = RunSide(RebuildRecord(dir, dir / "wide.txt"), 1);
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"),
            StrFormat("ABC $a^$b+1 // %" PRIu64 "\n", maxP) + Body(s.candText));
  EXPECT_FALSE(Exists(dir / "factors-out.txt"));  // no factor file in wide mode
  EXPECT_EQ(run.log.back(), StrFormat("%zu items %" PRIu64 " p value written to %s.",
                                      s.cands.size(), maxP, (dir / "cands-out.txt").c_str()));

  // A wide file continued by a second run, plus factor-file lines, with a few
  // factors given twice: normal mode keeps each base once, sorted.
  std::string mixed = WideHeader();
  const size_t half = byP.size() / 2;
  for (size_t i = 0; i < half; ++i) mixed += WideLine(byP[i]);
  mixed += "\nContinuing Sieve\n\n";
  for (size_t i = half; i < byP.size(); ++i) mixed += WideLine(byP[i]);
  mixed += s.factorText.substr(0, s.factorText.find('\n') + 1);
  for (size_t i = 0; i < 10; ++i) mixed += FactorLine(byP[i]);
  WriteFile(dir / "mixed.txt", mixed);
  ASSERT_FALSE(RunSide(RebuildRecord(dir, dir / "mixed.txt")).failed);
  const uint64_t lastP = byP[9].p;
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"),
            StrFormat("ABC $a^$b+1 // %" PRIu64 "\n", lastP) + Body(s.candText));
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")), Body(s.factorText));
}

TEST(SideJobsRebuild, ALastLineCutShortIsSkippedWithAWarning) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const std::vector<FactorRecord> byP = InPOrder(s.factors);
  std::string complete = WideHeader();
  for (size_t i = 0; i + 1 < byP.size(); ++i) complete += WideLine(byP[i]);
  WriteFile(dir / "complete.txt", complete);
  ASSERT_FALSE(RunSide(RebuildRecord(dir, dir / "complete.txt"), 1).failed);
  const std::string expected = ReadFile(dir / "cands-out.txt");

  // The last line as a kill or a full disk leaves it, in both formats.
  for (const std::string& last : {WideLine(byP.back()), FactorLine(byP.back())}) {
    const std::string cut = last.substr(0, last.size() - 4);
    WriteFile(dir / "torn.txt", complete + cut);
    const test::JobRun run = RunSide(RebuildRecord(dir, dir / "torn.txt"), 1);
    EXPECT_FALSE(run.failed) << cut;
    EXPECT_TRUE(test::Contains(run.log, "The last line of " + (dir / "torn.txt") +
                                            " is cut short and was skipped."));
    EXPECT_EQ(ReadFile(dir / "cands-out.txt"), expected);
    // In the middle of a file the same line is damage, not a crash's trace.
    WriteFile(dir / "torn.txt", complete + cut + "\n" + WideLine(byP[0]));
    EXPECT_TRUE(RunSide(RebuildRecord(dir, dir / "torn.txt"), 1).failed);
  }
}

TEST(SideJobsRebuild, StopEndsTheReadingButWritesAndTicksPostStatistics) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const FactorRecord first = s.factors.front();

  // A stop request ends the reading after the first base of the range.
  test::JobRun run = RunSide(RebuildRecord(dir, s.factorPath), 0, [](CGfnThread& t) { t.RequestStop(); });
  EXPECT_FALSE(run.failed);
  std::string cands = StrFormat("ABC $a^$b+1 // %s\n", PToString(first.p).c_str());
  for (int32_t b = kBMin; b <= kBMax; b += 2) {
    if (b != first.b) cands += StrFormat("%d 65536\n", b);
  }
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"), cands);
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")), FactorLine(first));

  // One tick, answered once, after the first base: 499 bases left.
  run = RunSide(RebuildRecord(dir, s.factorPath), 0, [](CGfnThread& t) { t.Tick(); });
  EXPECT_EQ(run.messages[3], "$ 499 " + PToString(first.p));
  EXPECT_EQ(std::count_if(run.messages.begin(), run.messages.end(),
                          [](const std::string& m) { return m[0] == '$'; }),
            1);
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")), Body(s.factorText));
}

TEST(SideJobsRebuild, EmptyFileAndFactorsOutsideTheRange) {
  ScratchDir dir;
  // A header without factor lines: every base a candidate, at depth 0.
  WriteFile(dir / "empty.txt",
            "GFN Factors b^n+1, b=100 to 106, n=8.  Tested to factor 0 : May 01, 2026  10:00:00.\n");
  ASSERT_FALSE(RunSide(RebuildRecord(dir, dir / "empty.txt", 100, 106, 8, 3)).failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"), "ABC $a^$b+1 // 0\n100 8\n102 8\n104 8\n106 8\n");
  EXPECT_EQ(WithoutTimeStamp(ReadFile(dir / "factors-out.txt")),
            "GFN Factors b^n+1, b=100 to 106, n=8.  Tested to factor 0\n");

  // 102^8+1 = 2817137 * 4159042961 and 103^8+1 = 2 * 10433 * 607097709857. An
  // odd base is not a candidate of this range, so its factor strikes nothing;
  // 108 lies outside the range, yet its p is the depth as the last p read.
  WriteFile(dir / "f.txt",
            "Zentrova for k^8+1 [k == 100 to 106]\n\n"
            "102^8+1 has factor 2817137\n"
            "103^8+1 has factor 10433\n"
            "108^8+1 has factor 1234567\n");
  ASSERT_FALSE(RunSide(RebuildRecord(dir, dir / "f.txt", 100, 106, 8, 3)).failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"), "ABC $a^$b+1 // 1234567\n100 8\n104 8\n106 8\n");
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")), "102^8+1 has factor 2817137\n");
}

TEST(SideJobsRebuild, BasesNear2To31AndGarbageLinesStayInsideTheBitmap) {
  ScratchDir dir;
  // Real factors near 2^31: (2^31-5)^2+1 = 2 * 5^2 * 17 * 1875277 * 2893179481
  // and (2^31-1)^2+1 = 2 * 5 * 733 * 1709 * 368140581013.
  constexpr int32_t kTop = 2147483647;
  auto square1 = [](int64_t b) -> uint64_t {
    return b == 2147483643 ? 2893179481u : 368140581013u;
  };
  const std::string head =
      "Zentrova for k^2+1 [k == 2147483641 to 2147483647]\n\n" +
      StrFormat("%d^2+1 has factor %" PRIu64 "\n", kTop - 4, square1(kTop - 4));
  const std::string tail = StrFormat("1*%d^2 + 1 factor : %" PRIu64 "\n", kTop, square1(kTop));
  // Lines that are no factor lines are refused, each naming its line (line
  // 4), and nothing is written; they were once skipped.
  for (const std::string& garbage :
       {Bytes("\x00\xff\xfe binary has factor \x01\n"), std::string("-5^2+1 has factor 26\n"),
        std::string("99999999999^2+1 has factor 17\n"), std::string("1*-3^2 + 1 factor : 10\n"),
        std::string("factor : 5\n"), std::string("has factor 5\n"),
        std::string(200000, '7') + " has factor 5\n"}) {
    WriteFile(dir / "f.txt", head + garbage + tail);
    const test::JobRun refused =
        RunSide(RebuildRecord(dir, dir / "f.txt", kTop - 6, kTop, 2, 1));
    EXPECT_TRUE(refused.failed) << garbage.substr(0, 40);
    EXPECT_TRUE(test::Contains(refused.log, dir / "f.txt" + " line 4: not a line of a factor file "
                                                        "(\"<b>^<N>+1 has factor <p>\", \"1*<b>^<N> "
                                                        "+ 1 factor : <p>\" or a header).  Nothing "
                                                        "was written."))
        << garbage.substr(0, 40);
    EXPECT_FALSE(std::filesystem::exists(dir / "cands-out.txt"));
  }
  WriteFile(dir / "f.txt", head + tail);
  const test::JobRun run = RunSide(RebuildRecord(dir, dir / "f.txt", kTop - 6, kTop, 2, 1));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"),
            StrFormat("ABC $a^$b+1 // %" PRIu64 "\n%d 2\n%d 2\n", square1(kTop), kTop - 6,
                      kTop - 2));
  EXPECT_EQ(Body(ReadFile(dir / "factors-out.txt")),
            StrFormat("%d^2+1 has factor %" PRIu64 "\n%d^2+1 has factor %" PRIu64 "\n", kTop - 4,
                      square1(kTop - 4), kTop, square1(kTop)));
}

TEST(SideJobsRebuild, BadFactorsAndForeignExponentsWriteNothing) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  const FactorRecord victim = s.factors[s.factors.size() / 2];
  std::string wrongP = s.factorText;
  const std::string line = FactorLine(victim);
  wrongP.replace(wrongP.find(line), line.size(), FactorLine({victim.b, victim.p + 2 * kN}));
  WriteFile(dir / "wrong-p.txt", wrongP);
  WriteFile(dir / "foreign.txt", WideHeader(32768) + WideLine(s.factors[0]));

  struct Case {
    std::string input;
    int32_t wide;
    std::string message;
  };
  const Case cases[] = {
      {dir / "wrong-p.txt", 0,
       StrFormat("Factor file %s does not divide %d*2^16+1.",
                 PToString(victim.p + 2 * kN).c_str(), victim.b)},
      {dir / "foreign.txt", 1,
       dir / "foreign.txt" + " line 1: exponent 32768 does not match programmed exponent 65536."},
      {dir / "foreign.txt", 0,
       dir / "foreign.txt" + " line 1: exponent 32768 does not match programmed exponent 65536."},
  };
  for (const Case& c : cases) {
    WriteFile(dir / "factors-out.txt", "old factors\n");
    WriteFile(dir / "cands-out.txt", "old candidates\n");
    const test::JobRun run = RunSide(RebuildRecord(dir, c.input), c.wide);
    EXPECT_TRUE(run.failed) << c.message;
    EXPECT_EQ(run.messages,
              (std::vector<std::string>{
                  "SSE2 support enabled.",
                  "Generating output files using factor input file " + c.input + ".",
                  "Processing input factor file " + c.input + ".", c.message,
                  "Stop request received.", "@"}));
    EXPECT_EQ(ReadFile(dir / "factors-out.txt"), "old factors\n");
    EXPECT_EQ(ReadFile(dir / "cands-out.txt"), "old candidates\n");
  }

  std::filesystem::remove(dir / "factors-out.txt");
  std::filesystem::remove(dir / "cands-out.txt");
  const test::JobRun missing = RunSide(RebuildRecord(dir, dir / "missing.txt"));
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.log.back(), "Unable to open input factor file " + (dir / "missing.txt") + ".");
  EXPECT_FALSE(Exists(dir / "factors-out.txt"));
  EXPECT_FALSE(Exists(dir / "cands-out.txt"));
}

// A file with no header of either format is nothing to rebuild from (an
// empty file gave every base at depth 0); a header or a line of another
// exponent than the job's is refused with its line, in either format and
// either mode. Nothing is written, and an earlier output stays.
TEST(SideJobsRebuild, NoHeaderOrAnotherExponentIsRefusedNamingTheFileAndLine) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  // 4^16+1 = 641 * 6700417; 4^8+1 = 65537 is prime and 2^8+1 = 257 too;
  // 10^8+1 = 17 * 5882353.
  const std::string normal16 =
      "GFN Factors b^n+1, b=2 to 20, n=16.  Tested to factor 1000 : May 01, 2026  10:00:00.\n";
  const std::string noHeader =
      in + " has no factor file header (\"GFN Factors b^n+1, ...\" or \"Zentrova for k^N+1 "
           "...\"): nothing to rebuild from.  Nothing was written.";
  struct Case {
    const char* what;
    std::string text;
    int32_t n;
    std::string refusal;
  } cases[] = {
      {"0 bytes", "", 8, noHeader},
      {"blank lines", "\n\n", 8, noHeader},
      {"factor lines without a header", "10^8+1 has factor 17\n", 8, noHeader},
      {"a normal header of n=16 over lines of ^8", normal16 + "10^8+1 has factor 17\n", 8,
       in + " line 1: exponent 16 does not match programmed exponent 8."},
      {"a normal header of the job's n over a line of ^8", normal16 + "4^8+1 has factor 641\n",
       16, in + " line 2: exponent 8 does not match programmed exponent 16."},
      {"a wide line of ^8 under a wide header of 16",
       "Zentrova for k^16+1 [k == 2 to 20]\n\n1*4^8 + 1 factor : 641\n", 16,
       in + " line 3: exponent 8 does not match programmed exponent 16."},
  };
  for (const int32_t wide : {0, 1}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (wide ? ", wide" : ", normal"));
      WriteFile(in, c.text);
      WriteFile(dir / "factors-out.txt", "old factors\n");
      WriteFile(dir / "cands-out.txt", "old candidates\n");
      const test::JobRun run = RunSide(RebuildRecord(dir, in, 2, 20, c.n, ExponentLog2(c.n)), wide);
      EXPECT_TRUE(run.failed);
      EXPECT_EQ(run.log, (std::vector<std::string>{
                             "SSE2 support enabled.",
                             "Generating output files using factor input file " + in + ".",
                             "Processing input factor file " + in + ".", c.refusal,
                             "Stop request received."}));
      EXPECT_EQ(ReadFile(in), c.text);
      EXPECT_EQ(ReadFile(dir / "factors-out.txt"), "old factors\n");
      EXPECT_EQ(ReadFile(dir / "cands-out.txt"), "old candidates\n");
    }
  }
  // The same lines under the right header rebuild: 4 struck by 641.
  WriteFile(in, normal16 + "4^16+1 has factor 641\n");
  ASSERT_FALSE(RunSide(RebuildRecord(dir, in, 2, 8, 16, 4)).failed);
  EXPECT_EQ(ReadFile(dir / "cands-out.txt"), "ABC $a^$b+1 // 641\n2 16\n6 16\n8 16\n");
}

// --- to-be-factored list ---------------------------------------------------------

SieveJob TbfRecord(const std::string& in, const std::string& out, int32_t bMin, int32_t bMax,
                int32_t n) {
  SieveJob job;
  job.m_nCommand = kCmdToBeFactored;
  job.m_strSieveIn = in;
  job.m_strSieveOut = out;
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_nExponent = n;
  return job;
}

TEST(SideJobsToBeFactored, TheSievesCandidateFileGivesTheBasesItStruck) {
  ScratchDir dir;
  const SieveFiles s = RunSieve(dir);
  std::string struck = "ABC $a^$b+1 // 1\n";
  for (const FactorRecord& r : s.factors) struck += StrFormat("%d 65536\n", r.b);

  const std::string out = dir / "tbf.txt";
  const test::JobRun run = RunSide(TbfRecord(s.candPath, out, kBMin, kBMax, kN));
  EXPECT_FALSE(run.failed);
  EXPECT_EQ(ReadFile(out), struck);
  EXPECT_EQ(run.log,
            (std::vector<std::string>{
                "SSE2 support enabled.",
                "Generating all candidates between 1200000 and 1200998 not in file " + s.candPath +
                    ".",
                "Loading input sieve file " + s.candPath + ".",
                StrFormat("%zu items 1 p value written to %s.", s.factors.size(), out.c_str()),
                "Output sieve file " + out + " created."}));

  // Bases given twice, outside the range, of the other parity, negative or
  // zero, and a second header change nothing.
  std::string noisy = s.candText + "ABC $a^$b+1 // 123456789\n";
  for (size_t i = 0; i < s.cands.size(); i += 3) noisy += StrFormat("%d 65536\n", s.cands[i]);
  noisy += "1201000 65536\n1199998 65536\n1200001 65536\n-1200000 65536\n0 65536\n\n";
  WriteFile(dir / "noisy.txt", noisy);
  ASSERT_FALSE(RunSide(TbfRecord(dir / "noisy.txt", out, kBMin, kBMax, kN)).failed);
  EXPECT_EQ(ReadFile(out), struck);
}

// The engine refuses the same (the desktop program starts the job without
// the command line's checks): the input named as the output, directly or
// through a link, ends the job before anything is written.
TEST(SideJobsToBeFactored, TheInputIsNeverItsOwnOutput) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  const std::string text = "ABC $a^$b+1 // 77\n1230 8192\n1234 8192\n";
  WriteFile(in, text);
  // (Where the system has no symbolic links, as under Wine, without the link.)
  std::error_code noLinks;
  std::filesystem::create_symlink(in, dir / "link.txt", noLinks);
  std::vector<std::string> outs = {in, dir / "./in.txt"};
  if (!noLinks) outs.push_back(dir / "link.txt");
  for (const std::string& out : outs) {
    const test::JobRun run = RunSide(TbfRecord(in, out, 1230, 1238, 8192));
    EXPECT_TRUE(run.failed) << out;
    EXPECT_EQ(run.log.back(), "The sieve input file and the sieve output file are the same file " +
                                  in + ".  Nothing was run.")
        << out;
    EXPECT_EQ(ReadFile(in), text) << out;
  }
  if (!noLinks) {
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.txt"));
  }
}

TEST(SideJobsToBeFactored, TesterLogsRemoveTheirCompositeBases) {
  ScratchDir dir;
  const std::string out = dir / "tbf.txt";
  for (const char* log : {"genefer.log", "pfgw.log"}) {
    ASSERT_FALSE(RunSide(TbfRecord(kData + "/" + log, out, 1200000, 1200020, 65536)).failed);
    EXPECT_EQ(ReadFile(out),
              "ABC $a^$b+1 // 1\n1200000 65536\n1200010 65536\n1200014 65536\n1200020 65536\n")
        << log;
  }
  // LLR's "is not prime" lines do not count.
  ASSERT_FALSE(RunSide(TbfRecord(kData + "/llr.log", out, 1200000, 1200020, 65536)).failed);
  std::string all = "ABC $a^$b+1 // 1\n";
  for (int b = 1200000; b <= 1200020; b += 2) all += StrFormat("%d 65536\n", b);
  EXPECT_EQ(ReadFile(out), all);
}

// The exponent of every line that names one must be the list's: a line of
// another N (composite or not, either shape) is refused with its file and
// line, and nothing is written; a bare base is a base of the list's N. A
// one-digit base is read as any other: "2^8+1 is a probable prime" keeps 2
// as "12^8+1 is a probable prime" keeps 12.
TEST(SideJobsToBeFactored, LinesOfAnotherExponentAreRefusedAndABareBaseCounts) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  const std::string out = dir / "out.txt";
  struct Case {
    std::string input;
    int32_t n;
    std::string result;  // after the header; or the refusal, from "line"
  } cases[] = {
      {"1200002^8+1 is composite\n", 65536, "line 1: exponent 8 does not match"},
      {"ABC $a^$b+1 // 5\n1200004 65536\n1200002 8\n", 65536, "line 3: exponent 8 does not match"},
      {"2^8+1 is a probable prime\n", 65536, "line 1: exponent 8 does not match"},
      {"1200002^65536+1 is composite\n1200004^32768+1 is a probable prime\n", 65536,
       "line 2: exponent 32768 does not match"},
      {"1200002\n1200004 65536\n", 65536, "1200000 65536\n1200006 65536\n"},
      {"2^8+1 is a probable prime\n12^8+1 is a probable prime\n4^8+1 is composite\n", 8,
       "2 8\n6 8\n8 8\n10 8\n12 8\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    WriteFile(in, c.input);
    WriteFile(out, "an earlier list\n");
    const int32_t bMin = c.n == 8 ? 2 : 1200000;
    const test::JobRun run = RunSide(TbfRecord(in, out, bMin, bMin + (c.n == 8 ? 10 : 6), c.n));
    EXPECT_EQ(ReadFile(in), c.input);
    if (c.result.rfind("line", 0) == 0) {
      EXPECT_TRUE(run.failed);
      EXPECT_EQ(run.log.back(), in + " " + c.result + " the exponent " + std::to_string(c.n) +
                                    " of the list.  Nothing was written.");
      EXPECT_EQ(ReadFile(out), "an earlier list\n");
    } else {
      EXPECT_FALSE(run.failed) << run.log.back();
      EXPECT_EQ(ReadFile(out), "ABC $a^$b+1 // 1\n" + c.result);
    }
  }
}

TEST(SideJobsToBeFactored, LineShapesAndEdgesOfTheRange) {
  ScratchDir dir;
  const std::string in = dir / "in.txt";
  const std::string out = dir / "out.txt";
  struct Case {
    std::string input;
    int32_t bMin, bMax;
    std::string expected;  // after the header
  };
  const Case cases[] = {
      {"", 1230, 1238, "1230 8192\n1232 8192\n1234 8192\n1236 8192\n1238 8192\n"},
      {"1234^8192+1 is composite\n1236^8192+1\n1238^8192+1 is Composite\n", 1230, 1238,
       "1230 8192\n1232 8192\n1236 8192\n"},
      // "^" at position 1: a one-digit base reads as any other, so 6 (not
      // said composite) stays, as 1236 does above.
      {"4^8192+1 is composite\n6^8192+1\n", 2, 8, "2 8192\n6 8192\n8 8192\n"},
      // b before "^" is the run of digits right before it.
      {"result: x1232^8192+1 is composite\nABC $a^$b+1 // 77\n", 1230, 1234, "1230 8192\n1234 8192\n"},
      // Numbers beyond 32 bits name no base; the range ends at 2^31 - 1.
      {"99999999999 8192\n99999999999^8192+1 is composite\n2147483645 8192\n", 2147483641,
       2147483647, "2147483641 8192\n2147483643 8192\n2147483647 8192\n"},
      // Garbage, binary and very long lines.
      {Bytes("\x00\xff^^omposite\n") + std::string(100000, '9') + "\n^^^\n" +
           std::string(50000, 'z') + "1232^8192+1 is composite\n",
       1230, 1234, "1230 8192\n1234 8192\n"},
  };
  for (const Case& c : cases) {
    WriteFile(in, c.input);
    const test::JobRun run = RunSide(TbfRecord(in, out, c.bMin, c.bMax, 8192));
    EXPECT_FALSE(run.failed) << c.input.substr(0, 60);
    EXPECT_EQ(ReadFile(out), "ABC $a^$b+1 // 1\n" + c.expected) << c.input.substr(0, 60);
  }

  std::filesystem::remove(out);
  const test::JobRun missing = RunSide(TbfRecord(dir / "missing.txt", out, 2, 8, 8));
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.log.back(), "Unable to open input sieve file " + (dir / "missing.txt") + ".");
  EXPECT_FALSE(Exists(out));
}

}  // namespace
}  // namespace zentrova
