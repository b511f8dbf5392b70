// The wide resume's checks of the pair it continues: the candidate file and
// the factor file it appends to (--factors-in when given, else the factor
// output). A damaged pair is refused before a single p is sieved, with a line
// that says why, and both files stay byte for byte as they were; a sound pair
// resumed in place (or into a new factor output) gives the files of one
// uninterrupted run.
#include <gtest/gtest.h>

#include <cinttypes>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "files/CandidateFiles.h"
#include "sieve/JobTestUtil.h"

namespace zentrova {
namespace {

using test::PowMod128;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

constexpr int32_t kBMin = 1200000;
constexpr int32_t kBMax = 1204000;
constexpr int32_t kN = 65536;
constexpr int kLn = 16;
constexpr uint64_t kP1 = 300000000;
constexpr uint64_t kP2 = 1000000000;

test::JobRun RunWide(const SieveJob& job) {
  return test::RunJob(job, [](CGfnThread&) {}, /*wideMath=*/1);
}

SieveJob NewJob(const std::string& factorOut, const std::string& sieveOut, uint64_t pMax,
                int32_t bMin = kBMin, int32_t bMax = kBMax, int32_t n = kN, int ln = kLn) {
  SieveJob job;
  job.m_nCommand = kCmdNewSieve;
  job.m_nBMin = bMin;
  job.m_nBMax = bMax;
  job.m_nExponent = n;
  job.m_nLn = ln;
  job.m_strFactorOut = factorOut;
  job.m_strSieveOut = sieveOut;
  job.m_pMax = pMax;
  job.m_threads = 2;
  return job;
}

SieveJob ResumeJob(const std::string& factorIn, const std::string& sieveIn,
                   const std::string& factorOut, const std::string& sieveOut, uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strFactorIn = factorIn;
  job.m_strSieveIn = sieveIn;
  job.m_strFactorOut = factorOut;
  job.m_strSieveOut = sieveOut;
  job.m_pMax = pMax;
  job.m_threads = 2;
  return job;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// Every file of the folder with its bytes.
std::map<std::string, std::string> Snapshot(const ScratchDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    files[entry.path().filename().string()] = ReadFile(entry.path().string());
  }
  return files;
}

// The pair of a wide sieve stopped at kP1, which the cases damage.
struct Pair {
  std::string factors, cands;
  UInt128 depth = 0;
};

const Pair& SoundPair() {
  static const Pair pair = [] {
    ScratchDir dir;
    Pair p;
    EXPECT_FALSE(RunWide(NewJob(dir / "f.txt", dir / "c.txt", kP1)).failed);
    p.factors = ReadFile(dir / "f.txt");
    p.cands = ReadFile(dir / "c.txt");
    EXPECT_TRUE(ParseCandidateHeader(p.cands, p.depth));
    return p;
  }();
  return pair;
}

// The base of a candidate line, the b and p of a factor line.
int32_t BaseOf(const std::string& line) { return std::stoi(line); }
void FactorOf(const std::string& line, int32_t& b, int64_t& p) {
  int32_t n = 0;
  ASSERT_EQ(std::sscanf(line.c_str(), "1*%d^%d + 1 factor : %" SCNd64, &b, &n, &p), 3) << line;
}

struct Damage {
  std::string name;
  // Writes the damaged pair into the folder (f.txt and c.txt, and others it
  // needs), sets the job's files and returns the text the refusal must hold.
  std::function<std::string(const ScratchDir&, SieveJob&)> apply;
};

std::vector<Damage> Damages() {
  const Pair& pair = SoundPair();
  const std::vector<std::string> cands = Lines(pair.cands);
  const std::vector<std::string> factors = Lines(pair.factors);
  const size_t mid = cands.size() / 2;  // a candidate line in the middle
  size_t factorLine = 2;                // the middle factor line (0 header, 1 blank)
  for (size_t i = factors.size() / 2; i < factors.size(); ++i) {
    if (factors[i].rfind("1*", 0) == 0) {
      factorLine = i;
      break;
    }
  }
  const auto writePair = [](const ScratchDir& dir, const std::string& f, const std::string& c) {
    WriteFile(dir / "f.txt", f);
    WriteFile(dir / "c.txt", c);
  };
  std::vector<Damage> out;
  out.push_back({"candidate file cut at the end of a line", [=](const ScratchDir& dir, SieveJob&) {
                   writePair(dir, pair.factors,
                             Join({cands.begin(), cands.begin() + static_cast<long>(mid)}));
                   return "Base " + std::to_string(BaseOf(cands[mid])) + " is in neither " +
                          (dir / "f.txt") + " nor " + (dir / "c.txt") +
                          ": the files do not make a pair (one may be cut short; bases struck by "
                          "another program's sieve are taken as such with --missing-as-struck).  "
                          "Nothing was sieved.";
                 }});
  out.push_back({"candidate file cut inside an exponent", [=](const ScratchDir& dir, SieveJob&) {
                   writePair(dir, pair.factors,
                             Join({cands.begin(), cands.begin() + static_cast<long>(mid)}) +
                                 cands[mid].substr(0, cands[mid].find(' ') + 4));
                   return (dir / "c.txt") + " line " + std::to_string(mid + 1) +
                          ": exponent 655 does not match the exponent 65536 of the files.  "
                          "Nothing was sieved.";
                 }});
  out.push_back({"candidate file cut inside a base", [=](const ScratchDir& dir, SieveJob&) {
                   const std::string part = cands[mid].substr(0, 5);
                   writePair(dir, pair.factors,
                             Join({cands.begin(), cands.begin() + static_cast<long>(mid)}) + part);
                   return (dir / "c.txt") + " line " + std::to_string(mid + 1) + ": base " +
                          part + " is outside the range 1200000 to 1204000.  Nothing was sieved.";
                 }});
  out.push_back({"a candidate line deleted", [=](const ScratchDir& dir, SieveJob&) {
                   std::vector<std::string> left = cands;
                   left.erase(left.begin() + static_cast<long>(mid));
                   writePair(dir, pair.factors, Join(left));
                   return "Base " + std::to_string(BaseOf(cands[mid])) + " is in neither";
                 }});
  // Lines a killed run wrote beyond the candidate file's depth are verified
  // as every other line: one that is no factor refuses the pair.
  out.push_back({"a late line that is no factor", [=](const ScratchDir& dir, SieveJob& job) {
                   ScratchDir whole;
                   EXPECT_FALSE(RunWide(NewJob(whole / "f.txt", whole / "c.txt", kP2)).failed);
                   const std::string wholeFactors = ReadFile(whole / "f.txt");
                   const size_t end = wholeFactors.find('\n', pair.factors.size()) + 1;
                   int32_t b = 0;
                   int64_t p = 0;
                   FactorOf(wholeFactors.substr(pair.factors.size(), end - pair.factors.size()),
                            b, p);
                   EXPECT_GT(p, pair.depth);
                   int64_t q = p + 2 * kN;
                   while (PowMod128(static_cast<uint64_t>(b), kN, static_cast<uint64_t>(q)) ==
                          static_cast<uint64_t>(q) - 1) {
                     q += 2 * kN;
                   }
                   writePair(dir, pair.factors + "1*" + std::to_string(b) +
                                      "^65536 + 1 factor : " + std::to_string(q) + "\n",
                             pair.cands);
                   job.m_strFactorIn.clear();  // the factor output, as a crash-resume names it
                   return (dir / "f.txt") + " line " + std::to_string(factors.size() + 1) + ": " +
                          std::to_string(q) + " does not divide " + std::to_string(b) +
                          "^65536+1.  Nothing was sieved.";
                 }});
  out.push_back({"a factor line deleted", [=](const ScratchDir& dir, SieveJob&) {
                   std::vector<std::string> left = factors;
                   left.erase(left.begin() + static_cast<long>(factorLine));
                   writePair(dir, Join(left), pair.cands);
                   int32_t b = 0;
                   int64_t p = 0;
                   FactorOf(factors[factorLine], b, p);
                   return "Base " + std::to_string(b) + " is in neither";
                 }});
  out.push_back({"a struck base still a candidate", [=](const ScratchDir& dir, SieveJob&) {
                   int32_t b = 0;
                   int64_t p = 0;
                   FactorOf(factors[factorLine], b, p);
                   std::vector<std::string> more = cands;
                   size_t at = 1;
                   while (at < more.size() && BaseOf(more[at]) < b) ++at;
                   more.insert(more.begin() + static_cast<long>(at),
                               std::to_string(b) + " " + std::to_string(kN) + "\n");
                   writePair(dir, pair.factors, Join(more));
                   return (dir / "f.txt") + " line " + std::to_string(factorLine + 1) + ": base " +
                          std::to_string(b) + " appears more than once.  Nothing was sieved.";
                 }});
  out.push_back({"a line below the depth that is not a factor", [=](const ScratchDir& dir,
                                                                    SieveJob&) {
                   int32_t b = 0;
                   int64_t p = 0;
                   FactorOf(factors[factorLine], b, p);
                   int64_t q = p + 2 * kN;
                   while (PowMod128(static_cast<uint64_t>(b), kN, static_cast<uint64_t>(q)) ==
                          static_cast<uint64_t>(q) - 1) {
                     q += 2 * kN;
                   }
                   EXPECT_LE(q, pair.depth);
                   std::vector<std::string> changed = factors;
                   changed[factorLine] = "1*" + std::to_string(b) + "^" + std::to_string(kN) +
                                         " + 1 factor : " + std::to_string(q) + "\n";
                   writePair(dir, Join(changed), pair.cands);
                   return (dir / "f.txt") + " line " + std::to_string(factorLine + 1) + ": " +
                          std::to_string(q) + " does not divide " + std::to_string(b) +
                          "^65536+1.  Nothing was sieved.";
                 }});
  out.push_back({"a factor line of another exponent", [=](const ScratchDir& dir, SieveJob&) {
                   int32_t b = 0;
                   int64_t p = 0;
                   FactorOf(factors[factorLine], b, p);
                   std::vector<std::string> changed = factors;
                   changed[factorLine] =
                       "1*" + std::to_string(b) + "^32768 + 1 factor : " + std::to_string(p) + "\n";
                   writePair(dir, Join(changed), pair.cands);
                   return (dir / "f.txt") + " line " + std::to_string(factorLine + 1) +
                          ": exponent 32768 does not match the exponent 65536 of the files.  "
                          "Nothing was sieved.";
                 }});
  out.push_back({"the factor file of another range", [=](const ScratchDir& dir, SieveJob& job) {
                   // Another sieve of the same exponent over the next 2000 bases.
                   EXPECT_FALSE(
                       RunWide(NewJob(dir / "f.txt", dir / "other-c.txt", 200000000, 1204002,
                                      1208000))
                           .failed);
                   WriteFile(dir / "c.txt", pair.cands);
                   job.m_strFactorIn.clear();  // the factor output, as a crash-resume names it
                   return (dir / "c.txt") + " line 2: base " + std::to_string(BaseOf(cands[1])) +
                          " is outside the range 1204002 to 1208000.  Nothing was sieved.";
                 }});
  out.push_back({"a header of a wider range", [=](const ScratchDir& dir, SieveJob&) {
                   std::vector<std::string> changed = factors;
                   changed[0] = "Zentrova for k^65536+1 [k == 1200000 to 1204010]\n";
                   writePair(dir, Join(changed), pair.cands);
                   return "Base 1204002 is in neither " + (dir / "f.txt") + " nor " +
                          (dir / "c.txt");
                 }});
  out.push_back({"the factor file of another exponent", [=](const ScratchDir& dir, SieveJob&) {
                   EXPECT_FALSE(RunWide(NewJob(dir / "f.txt", dir / "other-c.txt", 100000, 2,
                                               3000, 32, 5))
                                    .failed);
                   EXPECT_EQ(ReadFile(dir / "f.txt").rfind("Zentrova for k^32+1 [k == 2 to 3000]\n",
                                                           0),
                             0u);
                   WriteFile(dir / "c.txt", pair.cands);
                   return (dir / "c.txt") +
                          " line 2: exponent 65536 does not match the exponent 32 of the "
                          "files.  Nothing was sieved.";
                 }});
  out.push_back({"a missing factor input", [=](const ScratchDir& dir, SieveJob& job) {
                   writePair(dir, pair.factors, pair.cands);
                   job.m_strFactorIn = dir / "no-such-file.txt";
                   return "Unable to open input factor file " + (dir / "no-such-file.txt") + ".";
                 }});
  out.push_back({"a normal mode's factor file", [=](const ScratchDir& dir, SieveJob&) {
                   writePair(dir,
                             "GFN Factors b^n+1, b=1200000 to 1204000, n=65536.  Tested to factor "
                             "300000000 : May 01, 2026  10:00:00.\n",
                             pair.cands);
                   return (dir / "f.txt") + " is not a factor file of the wide mode";
                 }});
  out.push_back({"another existing factor output", [=](const ScratchDir& dir, SieveJob& job) {
                   writePair(dir, pair.factors, pair.cands);
                   WriteFile(dir / "f2.txt", pair.factors);
                   job.m_strFactorOut = dir / "f2.txt";
                   return "Factor output file " + (dir / "f2.txt") +
                          " exists and is not the factor input file " + (dir / "f.txt");
                 }});
  out.push_back({"no factor file for a sieved candidate file", [=](const ScratchDir& dir,
                                                                   SieveJob& job) {
                   WriteFile(dir / "c.txt", pair.cands);
                   job.m_strFactorIn.clear();
                   size_t gap = 1;  // the first base struck after the smallest one left
                   while (BaseOf(cands[gap + 1]) == BaseOf(cands[gap]) + 2) ++gap;
                   return "Base " + std::to_string(BaseOf(cands[gap]) + 2) + " is not in " +
                          (dir / "c.txt") + ", and there is no factor file (" + (dir / "f.txt") +
                          " does not exist or is empty)";
                 }});
  out.push_back({"no factor file and a line deleted from a full candidate file",
                 [=](const ScratchDir& dir, SieveJob& job) {
                   std::string full = "ABC $a^$b+1 // 0\n";
                   for (int32_t b = kBMin; b <= kBMax; b += 2) {
                     if (b != 1202000) full += std::to_string(b) + " 65536\n";
                   }
                   WriteFile(dir / "c.txt", full);
                   WriteFile(dir / "f.txt", "");  // empty: no factor file either
                   job.m_strFactorIn.clear();
                   return "Base 1202000 is not in " + (dir / "c.txt") +
                          ", and there is no factor file";
                 }});
  return out;
}

bool HasLineWith(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(WideJobs, ADamagedPairIsRefusedBeforeAnyPAndBothFilesStayAsTheyWere) {
  ASSERT_GT(SoundPair().depth, 0);
  for (const Damage& damage : Damages()) {
    SCOPED_TRACE(damage.name);
    ScratchDir dir;
    // In place, as a resume after a stop or a crash names the files.
    SieveJob job = ResumeJob(dir / "f.txt", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP2);
    const std::string reason = damage.apply(dir, job);
    const std::map<std::string, std::string> before = Snapshot(dir);
    const test::JobRun run = RunWide(job);
    EXPECT_TRUE(run.failed);
    EXPECT_TRUE(HasLineWith(run.log, reason)) << "wanted: " << reason << "\nlast line: "
                                              << (run.log.empty() ? "" : run.log.back());
    EXPECT_FALSE(test::Contains(run.log, "Quenbry wide math algorithm selected."));
    EXPECT_TRUE(Snapshot(dir) == before) << "the files changed";
  }
}

// The same refusal from the command line, in its start checks: a factor
// input that is not there is a usage error (exit 2, as in normal mode), the
// files untouched.
TEST(WideJobs, TheCommandLineRefusesAMissingFactorInput) {
  ScratchDir dir;
  WriteFile(dir / "f.txt", SoundPair().factors);
  WriteFile(dir / "c.txt", SoundPair().cands);
  const std::map<std::string, std::string> before = Snapshot(dir);
  const test::CliResult r = test::RunCli(
      "resume --wide --factors-in " + (dir / "missing.txt") + " --sieve-in " + (dir / "c.txt") +
      " --factors-out " + (dir / "f.txt") + " --sieve-out " + (dir / "c.txt") +
      " --p-max 1e9 --force --threads 2");
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(test::Has(r, "zentrova: Input File " + (dir / "missing.txt") + " does not exist."))
      << r.output;
  EXPECT_TRUE(Snapshot(dir) == before);
  // --help says what --factors-in is to a wide resume.
  const test::CliResult help = test::RunCli("resume --help");
  EXPECT_TRUE(test::Has(help, "With --wide: the file the run checks and appends to")) << help.output;
}

// The factor file of a resume without the marker it appends.
std::string WithoutMarker(std::string text) {
  const size_t marker = text.find("\nContinuing Sieve\n\n");
  EXPECT_NE(marker, std::string::npos);
  if (marker != std::string::npos) text.erase(marker, 19);
  return text;
}

TEST(WideJobs, ASoundPairResumesToTheFilesOfOneRun) {
  ScratchDir whole;
  ASSERT_FALSE(RunWide(NewJob(whole / "f.txt", whole / "c.txt", kP2)).failed);
  const std::string wholeFactors = ReadFile(whole / "f.txt");
  const std::string wholeCands = ReadFile(whole / "c.txt");
  const Pair& pair = SoundPair();
  {
    SCOPED_TRACE("in place, the factor file named as input and output");
    ScratchDir dir;
    WriteFile(dir / "f.txt", pair.factors);
    WriteFile(dir / "c.txt", pair.cands);
    const test::JobRun run =
        RunWide(ResumeJob(dir / "f.txt", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP2));
    ASSERT_FALSE(run.failed) << run.log.back();
    EXPECT_TRUE(test::Contains(run.messages, "& 1200000 1204000 65536"));
    EXPECT_EQ(ReadFile(dir / "c.txt"), wholeCands);
    EXPECT_EQ(ReadFile(dir / "f.txt"), pair.factors + "\nContinuing Sieve\n\n" +
                                           wholeFactors.substr(pair.factors.size()));
  }
  {
    SCOPED_TRACE("in place, without a factor input: the output appended to");
    ScratchDir dir;
    WriteFile(dir / "f.txt", pair.factors);
    WriteFile(dir / "c.txt", pair.cands);
    ASSERT_FALSE(RunWide(ResumeJob("", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP2)).failed);
    EXPECT_EQ(ReadFile(dir / "c.txt"), wholeCands);
    EXPECT_EQ(WithoutMarker(ReadFile(dir / "f.txt")), wholeFactors);
  }
  {
    SCOPED_TRACE("into a new factor output: the input copied, then appended to");
    ScratchDir dir;
    WriteFile(dir / "f.txt", pair.factors);
    WriteFile(dir / "c.txt", pair.cands);
    const test::JobRun run =
        RunWide(ResumeJob(dir / "f.txt", dir / "c.txt", dir / "f2.txt", dir / "c2.txt", kP2));
    ASSERT_FALSE(run.failed) << run.log.back();
    EXPECT_EQ(ReadFile(dir / "f.txt"), pair.factors);  // the inputs untouched
    EXPECT_EQ(ReadFile(dir / "c.txt"), pair.cands);
    EXPECT_EQ(ReadFile(dir / "c2.txt"), wholeCands);
    EXPECT_EQ(WithoutMarker(ReadFile(dir / "f2.txt")), wholeFactors);
    // The new pair resumes in its turn.
    EXPECT_FALSE(
        RunWide(ResumeJob(dir / "f2.txt", dir / "c2.txt", dir / "f2.txt", dir / "c2.txt", kP2))
            .failed);
  }
}

// A factor file that was never written: the candidate file alone is the
// record, legal when it holds every base of its range; an empty factor
// output (a run killed before its first line) counts as none and is begun
// with its header.
TEST(WideJobs, WithoutAFactorFileTheCandidatesMustHoldTheirWholeRange) {
  std::string bases = "ABC $a^$b+1 // 0\n";
  for (int32_t b = kBMin; b <= kBMax; b += 2) bases += std::to_string(b) + " 65536\n";
  ScratchDir whole;
  ASSERT_FALSE(RunWide(NewJob(whole / "f.txt", whole / "c.txt", kP1)).failed);
  for (const bool emptyOutput : {false, true}) {
    SCOPED_TRACE(emptyOutput ? "an empty factor output" : "no factor output");
    ScratchDir dir;
    WriteFile(dir / "c.txt", bases);
    if (emptyOutput) WriteFile(dir / "f.txt", "");
    ASSERT_FALSE(RunWide(ResumeJob("", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP1)).failed);
    EXPECT_EQ(ReadFile(dir / "c.txt"), ReadFile(whole / "c.txt"));
    EXPECT_EQ(ReadFile(dir / "f.txt"), ReadFile(whole / "f.txt"));
  }
}

// The wide walk strikes even bases only: a new wide sieve of odd bases, or a
// resume whose files hold odd bases, is refused before anything is written
// (before, such a run "reached" its p limit with every base left).
TEST(WideJobs, ARangeOfOddBasesIsRefusedBeforeAnyFileIsWritten) {
  const std::string refusal =
      "b Min 3 is odd: the wide mode sieves even bases only, and b^N+1 is even for every odd b, "
      "so a range of odd bases holds no prime.  Nothing was sieved.";
  {
    SCOPED_TRACE("a new sieve");
    ScratchDir dir;
    const test::JobRun run = RunWide(NewJob(dir / "f.txt", dir / "c.txt", 1000000, 3, 1001, 16, 4));
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(run.log.back(), refusal);
    EXPECT_TRUE(Snapshot(dir).empty());
  }
  std::string odd = "ABC $a^$b+1 // 5000\n";
  for (int b = 3; b <= 1001; b += 2) odd += std::to_string(b) + " 16\n";
  const std::string header = "Zentrova for k^16+1 [k == 3 to 1001]\n\n";
  struct Case {
    const char* name;
    bool factorFile;
  } cases[] = {{"a resume of a candidate file alone", false},
               {"a resume with a factor file", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    WriteFile(dir / "c.txt", odd);
    if (c.factorFile) WriteFile(dir / "f.txt", header);
    const std::map<std::string, std::string> before = Snapshot(dir);
    const test::JobRun run = RunWide(ResumeJob(c.factorFile ? dir / "f.txt" : "", dir / "c.txt",
                                               dir / "f.txt", dir / "c.txt", 1000000));
    EXPECT_TRUE(run.failed);
    EXPECT_EQ(run.log.back(), refusal);
    EXPECT_FALSE(test::Contains(run.log, "Quenbry wide math algorithm selected."));
    EXPECT_TRUE(Snapshot(dir) == before) << "the files changed";
  }
}

// The command line refuses a new wide sieve of odd bases in its start
// checks (exit 2), before any file exists.
TEST(WideJobs, TheCommandLineRefusesAnOddBMinInWideMode) {
  ScratchDir dir;
  const test::CliResult r =
      test::RunCli("new --wide --exponent 16 --bmin 3 --bmax 1001 --p-max 1e6 --factors-out " +
                   (dir / "f.txt") + " --sieve-out " + (dir / "c.txt"));
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_TRUE(test::Has(r, "zentrova: b Min 3 is odd: the wide mode sieves even bases only"))
      << r.output;
  EXPECT_TRUE(Snapshot(dir).empty());
}

// A candidate file sieved by another program lacks the bases it struck, and
// comes without a factor file: refused as a cut file would be, with the
// option named; with --missing-as-struck the missing bases are taken as
// struck elsewhere (their number said), the sieve goes on as one run over the
// bases left would, and so does the next resume (with the option again).
TEST(WideJobs, MissingAsStruckContinuesACandidateFileOfAnotherSieve) {
  ScratchDir whole;
  ASSERT_FALSE(RunWide(NewJob(whole / "f.txt", whole / "c.txt", kP1)).failed);
  ASSERT_FALSE(RunWide(NewJob(whole / "f2.txt", whole / "c2.txt", kP2)).failed);
  // Every base but those of b = 2 mod 6 (an "other sieve" struck them), at
  // depth 0; and what one run leaves of them, line by line.
  const auto kept = [](int32_t b) { return (b - kBMin) % 6 != 2; };
  std::string cands = "ABC $a^$b+1 // 0\n";
  int64_t missing = 0;
  for (int32_t b = kBMin; b <= kBMax; b += 2) {
    if (kept(b)) {
      cands += std::to_string(b) + " 65536\n";
    } else {
      ++missing;
    }
  }
  const auto keptLines = [&](const std::string& text, bool factorLines) {
    std::string out;
    for (const std::string& line : Lines(text)) {
      const bool base = factorLines ? line.rfind("1*", 0) == 0 : line.rfind("ABC", 0) != 0;
      if (base && !kept(factorLines ? std::stoi(line.substr(2)) : BaseOf(line))) continue;
      out += line;
    }
    return out;
  };

  ScratchDir dir;
  WriteFile(dir / "c.txt", cands);
  SieveJob job = ResumeJob("", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP1);
  const test::JobRun refused = RunWide(job);
  EXPECT_TRUE(refused.failed);
  EXPECT_EQ(refused.log.back(),
            "Base 1200002 is not in " + (dir / "c.txt") + ", and there is no factor file (" +
                (dir / "f.txt") +
                " does not exist or is empty) that could hold it: without one, the candidate "
                "file must hold every base of its range (bases struck by another program's sieve "
                "are taken as such with --missing-as-struck).  Nothing was sieved.");
  EXPECT_EQ(ReadFile(dir / "c.txt"), cands);
  EXPECT_FALSE(std::filesystem::exists(dir / "f.txt"));

  job.m_missingStruck = true;
  const test::JobRun first = RunWide(job);
  ASSERT_FALSE(first.failed) << first.log.back();
  EXPECT_TRUE(test::Contains(
      first.log, std::to_string(missing) + " bases of the range 1200000 to 1204000 (the first "
                     "1200002) are not in " + (dir / "c.txt") +
                     ", and there is no factor file: taken as struck elsewhere, as "
                     "--missing-as-struck asks."));
  EXPECT_EQ(ReadFile(dir / "c.txt"), keptLines(ReadFile(whole / "c.txt"), false));
  EXPECT_EQ(ReadFile(dir / "f.txt"), keptLines(ReadFile(whole / "f.txt"), true));

  // The next resume finds the same bases in neither file: refused without
  // the option, both files kept; with it, on to kP2.
  const std::map<std::string, std::string> before = Snapshot(dir);
  SieveJob next = ResumeJob(dir / "f.txt", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP2);
  const test::JobRun again = RunWide(next);
  EXPECT_TRUE(again.failed);
  EXPECT_EQ(again.log.back(), "Base 1200002 is in neither " + (dir / "f.txt") + " nor " +
                                  (dir / "c.txt") +
                                  ": the files do not make a pair (one may be cut short; bases "
                                  "struck by another program's sieve are taken as such with "
                                  "--missing-as-struck).  Nothing was sieved.");
  EXPECT_TRUE(Snapshot(dir) == before) << "the files changed";
  next.m_missingStruck = true;
  const test::JobRun second = RunWide(next);
  ASSERT_FALSE(second.failed) << second.log.back();
  // The same bases, no more: those struck since are in the factor file.
  EXPECT_TRUE(test::Contains(
      second.log, std::to_string(missing) + " bases of the range 1200000 to 1204000 (the first "
                      "1200002) are in neither " + (dir / "f.txt") + " nor " + (dir / "c.txt") +
                      ": taken as struck elsewhere, as --missing-as-struck asks."));
  EXPECT_EQ(ReadFile(dir / "c.txt"), keptLines(ReadFile(whole / "c2.txt"), false));
  EXPECT_EQ(WithoutMarker(ReadFile(dir / "f.txt")), keptLines(ReadFile(whole / "f2.txt"), true));
}

// Files written before a resume took the factors a killed run wrote beyond
// the candidate file's depth repeat those bases: each line is verified, the
// base taken once.
TEST(WideJobs, ABaseStruckTwiceInTheFactorFileIsTakenOnce) {
  ScratchDir dir;
  const Pair& pair = SoundPair();
  const std::vector<std::string> factors = Lines(pair.factors);
  WriteFile(dir / "f.txt", pair.factors + "\nContinuing Sieve\n\n" + factors[2]);
  WriteFile(dir / "c.txt", pair.cands);
  const test::JobRun run = RunWide(ResumeJob("", dir / "c.txt", dir / "f.txt", dir / "c.txt", kP1));
  EXPECT_FALSE(run.failed) << run.log.back();
  EXPECT_EQ(ReadFile(dir / "c.txt"), pair.cands);
}

// The reader of the candidate file with the header of the factor file it
// pairs with: the header's range and exponent, every line checked against
// them, and a file without bases an empty bitmap over that range.
TEST(WideJobs, CandidatesReadAgainstTheFactorHeader) {
  ScratchDir dir;
  const WideFactorHeader header{10, 20, 8192};
  std::vector<std::string> log;
  const LogFn keep = [&](const std::string& line) { log.push_back(line); };

  CandidateRange range;
  WriteFile(dir / "c.txt", "ABC $a^$b+1 // 5000\n");
  ASSERT_TRUE(LoadCandidateRange(dir / "c.txt", range, keep, &header));
  EXPECT_EQ(range.bMin, 10);
  EXPECT_EQ(range.bMax, 20);
  EXPECT_EQ(range.exponent, 8192);
  EXPECT_EQ(range.ln, 13);
  EXPECT_EQ(range.depth, 5000);
  EXPECT_EQ(range.count, 0);
  EXPECT_TRUE(test::Contains(log, "& 10 20 8192"));

  WriteFile(dir / "c.txt", "ABC $a^$b+1 // 5000\n14 8192\n16\n");
  ASSERT_TRUE(LoadCandidateRange(dir / "c.txt", range, keep, &header));
  EXPECT_EQ(range.bMin, 10);
  EXPECT_EQ(range.count, 2);
  struct Bad {
    std::string text, why;
  };
  for (const Bad& bad : {Bad{"12 8192\n14 4096\n", "line 2: exponent 4096 does not match"},
                         Bad{"12 8192\n22 8192\n", "line 2: base 22 is outside the range 10 to 20"},
                         Bad{"8 8192\n", "line 1: base 8 is outside the range 10 to 20"},
                         Bad{"12 8192\n13 8192\n", "line 2: base 13 does not have the parity"}}) {
    SCOPED_TRACE(bad.text);
    log.clear();
    WriteFile(dir / "c.txt", bad.text);
    EXPECT_FALSE(LoadCandidateRange(dir / "c.txt", range, keep, &header));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind(dir / "c.txt line", 0), 0u) << log.back();
    EXPECT_NE(log.back().find(bad.why), std::string::npos) << log.back();
  }
}

}  // namespace
}  // namespace zentrova
