// Sieving from packed K files, and the job that creates them, end to end.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "TestUtil.h"
#include "cli/CliRun.h"
#include "files/CandidateFiles.h"
#include "files/TextFile.h"
#include "sieve/JobTestUtil.h"
#include "sieve/PackedKTestUtil.h"

namespace zentrova {
namespace {

using test::Contains;
using test::ReadFile;
using test::RunJob;
using test::ScratchDir;
using test::WithoutTimeStamp;

constexpr int32_t kN = 65536;
constexpr int kLn = 16;

SieveJob NewJob(const ScratchDir& out, const std::string& packedDir, uint64_t pMax, int threads) {
  SieveJob job;
  job.m_nBMin = 1200000;
  job.m_nBMax = 1200998;
  job.m_nExponent = kN;
  job.m_nLn = kLn;
  job.m_strFactorOut = out / "f.txt";
  job.m_strSieveOut = out / "c.txt";
  job.m_strPackedKDir = packedDir;
  job.m_pMax = pMax;
  job.m_threads = threads;
  return job;
}

SieveJob ResumeJob(const ScratchDir& in, const ScratchDir& out, const std::string& packedDir,
                   uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdResumeSieve;
  job.m_strFactorIn = in / "f.txt";
  job.m_strSieveIn = in / "c.txt";
  job.m_strFactorOut = out / "f.txt";
  job.m_strSieveOut = out / "c.txt";
  job.m_strPackedKDir = packedDir;
  job.m_nExponent = packedDir.empty() ? 0 : kN;
  job.m_pMax = pMax;
  job.m_threads = 2;
  return job;
}

void ExpectSameFiles(const ScratchDir& a, const ScratchDir& b) {
  EXPECT_EQ(WithoutTimeStamp(ReadFile(a / "f.txt")), WithoutTimeStamp(ReadFile(b / "f.txt")));
  EXPECT_EQ(ReadFile(a / "c.txt"), ReadFile(b / "c.txt"));
}

class PackedSieve : public ::testing::Test {
 protected:
  void SetUp() override {
    m_ks = test::GeneratorKs(kN, 700);  // p up to about 1e9
    test::WriteSequence(Packed(), kLn, m_ks, 64);  // eleven files
  }
  std::string Packed() const { return m_packed.Path().string(); }
  uint64_t P(size_t i) const { return m_ks[i] * 2 * kN + 1; }

  ScratchDir m_packed;
  std::vector<uint64_t> m_ks;
};

TEST_F(PackedSieve, NewSieveEqualsTheGeneratorsForAnyThreadCount) {
  ScratchDir plain;
  ASSERT_FALSE(RunJob(NewJob(plain, "", P(650), 1)).failed);
  for (int threads : {1, 2, 8}) {
    ScratchDir packed;
    const test::JobRun run = RunJob(NewJob(packed, Packed(), P(650), threads));
    ASSERT_FALSE(run.failed);
    EXPECT_TRUE(Contains(run.log, "Using packed k file " + PackedKFileName(Packed(), kLn, 0) + "."));
    EXPECT_TRUE(Contains(run.log, "Sequence file " + PackedKFileName(Packed(), kLn, 9) +
                                      " is completed.  Switching to next file."));
    ExpectSameFiles(plain, packed);
  }
}

TEST_F(PackedSieve, ResumeFromTheMiddleEqualsOneRun) {
  ScratchDir first;
  ASSERT_FALSE(RunJob(NewJob(first, Packed(), P(200), 1)).failed);  // depth in file 3
  ScratchDir resumed;
  const test::JobRun run = RunJob(ResumeJob(first, resumed, Packed(), P(600)));
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Using packed k file " + PackedKFileName(Packed(), kLn, 3) + "."));
  ScratchDir whole;
  ASSERT_FALSE(RunJob(NewJob(whole, "", P(600), 1)).failed);
  ExpectSameFiles(resumed, whole);
}

TEST_F(PackedSieve, ResumeAtADepthThatIsNotStoredSievesTheNextStoredK) {
  ScratchDir first;
  ASSERT_FALSE(RunJob(NewJob(first, "", P(300), 1)).failed);
  // Move the recorded depth just past a stored p: that p was sieved, the
  // next stored one was not, and must not be skipped.
  const std::string depth = std::to_string(P(300));
  const std::string later = std::to_string(P(300) + 2 * kN);
  for (const char* name : {"f.txt", "c.txt"}) {
    std::string text = ReadFile(first / name);
    text.replace(text.find(depth), depth.size(), later);
    test::WriteFile(first / name, text);
  }
  ScratchDir packed;
  ASSERT_FALSE(RunJob(ResumeJob(first, packed, Packed(), P(500))).failed);
  ScratchDir plain;
  ASSERT_FALSE(RunJob(ResumeJob(first, plain, "", P(500))).failed);
  ExpectSameFiles(packed, plain);
}

TEST_F(PackedSieve, EndOfTheSequenceEndsTheLoopWithASave) {
  ScratchDir out;
  const test::JobRun run = RunJob(NewJob(out, Packed(), 0, 2));
  ASSERT_TRUE(Contains(run.log, "Sequence file " + PackedKFileName(Packed(), kLn, 11) +
                                    " could opened."));
  EXPECT_TRUE(Contains(run.log, "Stop request received."));
  UInt128 depth = 0;
  ASSERT_TRUE(ParseCandidateHeader(ReadFile(out / "c.txt"), depth));
  EXPECT_EQ(static_cast<uint64_t>(depth), P(m_ks.size() - 1));
}

TEST_F(PackedSieve, ExponentMismatchOnResumeIsRefused) {
  ScratchDir first;
  ASSERT_FALSE(RunJob(NewJob(first, "", P(100), 1)).failed);
  ScratchDir out;
  SieveJob job = ResumeJob(first, out, Packed(), P(200));
  job.m_nExponent = 2 * kN;
  // The sequence of 2N (ln 17) does not exist; had it existed, the
  // exponents would have been compared.
  const test::JobRun run = RunJob(job);
  EXPECT_TRUE(run.failed);
  EXPECT_FALSE(CTextFile::FileExists(out / "c.txt"));
}

// A damaged sequence is refused at its first value that is no factor
// candidate: the run fails naming the file, the index of the value in it and
// its k, and leaves the files of a plain run to the k before (none when that
// is the first value of the sequence): nothing from the bad value on is sieved.
TEST_F(PackedSieve, ADamagedFileIsRefusedAtItsFirstBadValueAndNothingFromItIsSieved) {
  enum class Damage { kFlippedBit, kSmallPrime, kFermat };
  struct Case {
    const char* what;
    Damage damage;
    size_t file, index;  // of the damaged value; files of 64 values
  };
  const Case cases[] = {
      {"a flipped difference bit, early", Damage::kFlippedBit, 0, 3},
      {"a flipped difference bit, in the middle", Damage::kFlippedBit, 5, 31},
      {"a flipped difference bit, late", Damage::kFlippedBit, 10, 55},
      {"a multiple of a small prime, first value of a file", Damage::kSmallPrime, 3, 0},
      {"a multiple of a small prime, first value of the sequence", Damage::kSmallPrime, 0, 0},
      {"a composite that passes the wheel, not the Fermat test", Damage::kFermat, 7, 20},
  };
  auto p = [](uint64_t k) { return k * 2 * kN + 1; };
  auto smallFactor = [&](uint64_t k) {
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61}) {
      if (p(k) % q == 0) return true;
    }
    return false;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir packed;
    const std::string d = packed.Path().string();
    std::vector<uint64_t> ks = m_ks;
    size_t at = 64 * c.file + c.index;
    uint64_t bad = 0;
    if (c.damage == Damage::kFlippedBit) {
      test::WriteSequence(d, kLn, ks, 64);
      // The first bit whose flip keeps the difference at least 1 and makes
      // the value no candidate: every later value of the file moves with it.
      const uint64_t difference = ks[at] - ks[at - 1];
      int bit = 0;
      for (;; ++bit) {
        ASSERT_LT(bit, 10);
        const uint64_t flipped = difference ^ (uint64_t{1} << bit);
        bad = ks[at - 1] + flipped;
        if (flipped >= 1 && !test::IsFactorCandidate(p(bad))) break;
      }
      const std::string name = PackedKFileName(d, kLn, static_cast<int>(c.file));
      std::string bytes = ReadFile(name);
      const size_t byte = 40 + 4 * (c.index / 3) + (10 * (c.index % 3) + bit) / 8;
      bytes[byte] = static_cast<char>(bytes[byte] ^ (1 << ((10 * (c.index % 3) + bit) % 8)));
      test::WriteFile(name, bytes);
    } else {
      // A value between its neighbours (the first one that is not below the
      // value it replaces, when it is the first) that the generator skipped
      // for the reason of the case; for a composite that passes the wheel,
      // the first gap from the case's index on that holds one.
      for (bad = 0; bad == 0; ++at) {
        ASSERT_LT(at + 1, ks.size());
        for (uint64_t k = at == 0 ? 1 : ks[at - 1] + 1; k < ks[at + 1] && bad == 0; ++k) {
          const bool wanted = c.damage == Damage::kSmallPrime
                                  ? smallFactor(k)
                                  : !smallFactor(k) && !test::IsFactorCandidate(p(k));
          if (k != ks[at] && wanted) bad = k;
        }
      }
      --at;
      ks[at] = bad;
      test::WriteSequence(d, kLn, ks, 64);
    }
    const std::string file = PackedKFileName(d, kLn, static_cast<int>(at / 64));
    ScratchDir out;
    const test::JobRun run = RunJob(NewJob(out, d, 0, 2));  // to the end of the sequence
    EXPECT_TRUE(run.failed);
    const std::string refusal = "Error, CPackedKDB file " + file + " is damaged: value " +
                                std::to_string(at % 64) + " is k = " + std::to_string(bad) +
                                ", no factor candidate: p = k*2^17+1 = " + std::to_string(p(bad)) +
                                (c.damage == Damage::kFermat ? " fails the base-2 Fermat test."
                                                             : " is divisible by ");
    bool refused = false;
    for (const std::string& line : run.log) refused |= line.rfind(refusal, 0) == 0;
    EXPECT_TRUE(refused) << refusal << "\n" << run.log.back();
    if (at == 0) {
      EXPECT_FALSE(CTextFile::FileExists(out / "c.txt"));
      EXPECT_FALSE(CTextFile::FileExists(out / "f.txt"));
      continue;
    }
    UInt128 depth = 0;
    ASSERT_TRUE(ParseCandidateHeader(ReadFile(out / "c.txt"), depth));
    EXPECT_EQ(static_cast<uint64_t>(depth), P(at - 1));
    ScratchDir plain;
    ASSERT_FALSE(RunJob(NewJob(plain, "", P(at - 1), 1)).failed);
    EXPECT_TRUE(WithoutTimeStamp(ReadFile(plain / "f.txt")) ==
                WithoutTimeStamp(ReadFile(out / "f.txt")));
    EXPECT_TRUE(ReadFile(plain / "c.txt") == ReadFile(out / "c.txt"));
  }
}

TEST(PackedSieveBadFiles, DamagedSequenceFilesGiveTheirTextsAndWriteNothing) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  std::string lying(40 + 8, '\0');
  lying[0] = 100;  // claims 100 values in room for 6
  const Case cases[] = {
      {"", "Error CreateFileMapping CPackedKDB file "},
      {std::string(20, '\x7f'), " is shorter than its 40-byte header."},
      {lying, " claims 100 values but its size holds only 6."},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    test::WriteFile(PackedKFileName(dir.Path().string(), kLn, 0), c.bytes);
    ScratchDir out;
    const test::JobRun run = RunJob(NewJob(out, dir.Path().string(), 0, 1));
    EXPECT_TRUE(run.failed);
    bool found = false;
    for (const std::string& line : run.log) found |= line.find(c.text) != std::string::npos;
    EXPECT_TRUE(found) << c.text;
    EXPECT_FALSE(CTextFile::FileExists(out / "c.txt"));
    EXPECT_EQ(run.messages.back(), "@");
  }
}

// --- the create job -----------------------------------------------------------

SieveJob PackJob(const std::string& dir, uint64_t pMax) {
  SieveJob job;
  job.m_nCommand = kCmdCreatePackedK;
  job.m_strPackedKDir = dir;
  job.m_nExponent = kN;
  job.m_nLn = kLn;
  job.m_pMax = pMax;
  return job;
}

// A sequence file held by another run (here a CPackedKDB of this process:
// flock locks belong to each open file, so it holds as another process
// would) is told as in use by another run: to a second pack and to a sieve
// while a pack writes it, and to a pack while a sieve reads it.
TEST(PackedKInUse, AFileHeldByAnotherRunIsToldAsInUse) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::vector<uint64_t> ks = test::GeneratorKs(kN, 100);
  test::WriteSequence(d, kLn, ks, 100);
  const std::string f0 = PackedKFileName(d, kLn, 0);
  const std::string inUse = "Packed K file " + f0 + " is in use by another run (it is locked).";
  struct Case {
    const char* what;
    bool holderWrites;
    bool sieve;
  };
  const Case cases[] = {{"a second pack while a pack writes", true, false},
                        {"a sieve while a pack writes", true, true},
                        {"a pack while a sieve reads", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CPackedKDB holder;
    holder.SetFileName(f0);
    std::string error;
    ASSERT_TRUE(c.holderWrites ? holder.WriteOpenDB(std::filesystem::file_size(f0), error)
                               : holder.OpenForRead(error))
        << error;
    ScratchDir out;
    const test::JobRun run = c.sieve ? RunJob(NewJob(out, d, 0, 1))
                                     : RunJob(PackJob(d, ks.back() * 4 * kN));
    EXPECT_TRUE(run.failed);
    EXPECT_TRUE(Contains(run.log, inUse)) << run.log.back();
    for (const std::string& line : run.log) {
      EXPECT_EQ(line.find("Resource temporarily unavailable"), std::string::npos) << line;
    }
    holder.Close();
  }
  EXPECT_EQ(test::ReadSequence(d, kLn), ks);
}

TEST(CreatePackedK, NewSequenceThenExtension) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::vector<uint64_t> ks = test::GeneratorKs(kN, 3000);
  const uint64_t p1000 = ks[999] * 2 * kN + 1;
  test::JobRun run = RunJob(PackJob(d, p1000));
  ASSERT_FALSE(run.failed);
  EXPECT_EQ(run.log[1], "Starting packed file generation in directory " + d + ".");
  EXPECT_EQ(run.log[2], "Using exponent 65536 which is 2^16.");
  EXPECT_EQ(run.log[3], "Sequence file " + PackedKFileName(d, kLn, 0) +
                            " does not exist.  Starting new sequence.");
  EXPECT_EQ(run.log.back(), "Packed K file generation stopped.");
  EXPECT_EQ(test::ReadSequence(d, kLn), std::vector<uint64_t>(ks.begin(), ks.begin() + 1000));
  EXPECT_EQ(std::filesystem::file_size(PackedKFileName(d, kLn, 0)), kPackedKFileBytes);

  run = RunJob(PackJob(d, ks[2999] * 2 * kN + 1));
  ASSERT_FALSE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Sequence file " + PackedKFileName(d, kLn, 0) +
                                    " found.  Extending sequence."));
  EXPECT_EQ(test::ReadSequence(d, kLn), ks);
}

// 270 values to a file, so a short run crosses many rollovers.
SieveJob SmallPackJob(const std::string& dir, uint64_t pMax) {
  SieveJob job = PackJob(dir, pMax);
  job.m_packedKFileBytes = 400;
  return job;
}

std::map<std::string, std::string> FolderFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    files[entry.path().filename().string()] = ReadFile(entry.path().string());
  }
  return files;
}

// A run killed at a rollover leaves at most one of these; the next run
// clears it and ends with the files of a run that was never interrupted.
TEST(CreatePackedK, LeftoversOfAnInterruptedRolloverAreClearedAndTheSequenceContinues) {
  const std::vector<uint64_t> ks = test::GeneratorKs(kN, 2000);
  auto p = [&](size_t i) { return ks[i] * 2 * kN + 1; };
  ScratchDir whole;
  const test::JobRun one = RunJob(SmallPackJob(whole.Path().string(), p(1999)));
  ASSERT_FALSE(one.failed);  // rollovers are progress, not failures
  EXPECT_EQ(test::ReadSequence(whole.Path().string(), kLn), ks);
  const auto expected = FolderFiles(whole.Path().string());
  ASSERT_EQ(expected.size(), 8u);
  for (const auto& [name, bytes] : expected) EXPECT_EQ(bytes.size(), 400u) << name;

  struct Case {
    bool temp;
    std::string bytes, why;
  };
  const Case cases[] = {{false, "", "it is empty"},
                        {false, std::string(20, 'x'), "it is shorter than its 40-byte header"},
                        {false, std::string(400, '\0'), "its count is 0"},
                        {true, "partial", ""}};
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string d = dir.Path().string();
    ASSERT_FALSE(RunJob(SmallPackJob(d, p(809))).failed);  // files 0 to 2, all full
    const std::string third = PackedKFileName(d, kLn, 3);
    const std::string leftover = c.temp ? PackedKTempName(third) : third;
    test::WriteFile(leftover, c.bytes);
    const test::JobRun run = RunJob(SmallPackJob(d, p(1999)));
    EXPECT_FALSE(run.failed) << leftover;
    EXPECT_TRUE(Contains(run.log, c.temp ? "Removed " + leftover + ", left behind by an "
                                                                  "interrupted file creation."
                                         : "Sequence file " + leftover + " holds no values (" +
                                               c.why + "); removed it."))
        << leftover;
    EXPECT_TRUE(FolderFiles(d) == expected) << leftover;
  }
}

// A last value whose p is 2^61 or more would wrap the generator round to k = 0.
TEST(CreatePackedK, LastValueBeyondTheModulusIsRefusedUntouched) {
  ScratchDir dir;
  const std::string f0 = PackedKFileName(dir.Path().string(), kLn, 0);
  test::WritePackedKFile(f0, {~0ull});
  const std::string before = ReadFile(f0);
  const test::JobRun run = RunJob(PackJob(dir.Path().string(), 10000000000ull));
  EXPECT_TRUE(run.failed);
  EXPECT_TRUE(Contains(run.log, "Sequence file " + f0 + " could not be opened."));
  EXPECT_EQ(run.log.back(), "Error, CPackedKDB file " + f0 + " ends with k = 18446744073709551615, "
                            "not below 2^63 - 256, the bound of every sieve (p = k*2^17+1).");
  EXPECT_TRUE(ReadFile(f0) == before);
}

TEST(CreatePackedK, HiddenFileBytesOptionRollsOverAndExitsZero) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::string pack = "pack --exponent 65536 --dir " + d + " --file-bytes ";
  for (const char* bad : {"43", "-1", "1e3"}) {
    const test::CliResult r = test::RunCli(pack + bad);
    EXPECT_EQ(r.exitCode, 2) << bad;
    EXPECT_TRUE(test::Has(r, "--file-bytes: '" + std::string(bad) + "'")) << r.output;
  }
  EXPECT_TRUE(std::filesystem::is_empty(d));
  EXPECT_FALSE(test::Has(test::RunCli("pack --help"), "file-bytes"));
  const test::CliResult ok = test::RunCli(pack + "44 --p-max 1e8");
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  std::vector<uint64_t> ks = test::GeneratorKs(kN, 200);
  ks.erase(std::find_if(ks.begin(), ks.end(), [](uint64_t k) { return k * 2 * kN + 1 > 1e8; }),
           ks.end());
  EXPECT_EQ(test::ReadSequence(d, kLn), ks);
  EXPECT_EQ(FolderFiles(d).size(), (ks.size() + 2) / 3);
}

// A full disk ends the run with the system's reason, not a bus error, and
// costs nothing once there is room. The disk: a 1 MB tmpfs (two files) in a
// mount namespace of the test's own; skipped where none can be made.
TEST(CreatePackedK, FullDiskEndsWithTheReasonAndALaterRunContinuesExactly) {
  ScratchDir out;
  const std::string o = out.Path().string();
  for (const char* sub : {"/whole", "/disk", "/after"}) std::filesystem::create_directory(o + sub);
  const std::string pack = std::string(ZENTROVA_CLI) +
                           " pack --exponent 65536 --p-max 2e12 --file-bytes 400000 --dir ";
  ASSERT_EQ(std::system((pack + o + "/whole > /dev/null 2>&1").c_str()), 0);
  const std::string disk = o + "/disk";
  const std::string script =
      "mount -t tmpfs -o size=1m zentrova " + disk + " || exit 77; " + pack + disk + " > " + o +
      "/first.txt 2>&1; echo $? > " + o + "/first.rc; ls " + disk + " > " + o + "/first.ls; " +
      "mount -o remount,size=64m " + disk + " || exit 77; " + pack + disk + " > /dev/null 2>&1; " +
      "echo $? > " + o + "/second.rc; cp " + disk + "/* " + o + "/after/";
  const std::string command = std::string(::geteuid() == 0 ? "unshare -m" : "unshare -Urm") +
                              " sh -c '" + script + "' > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "no private tmpfs here";
  EXPECT_EQ(ReadFile(o + "/first.rc"), "1\n");
  const std::string first = ReadFile(o + "/first.txt");
  EXPECT_NE(first.find("Sequence file " + PackedKFileName(disk, kLn, 2) +
                       " could not be initialized.\n"),
            std::string::npos) << first;
  EXPECT_NE(first.find("No space left on device"), std::string::npos) << first;
  EXPECT_EQ(ReadFile(o + "/first.ls"), "ln16pi00000.pkk\nln16pi00001.pkk\n");
  EXPECT_EQ(ReadFile(o + "/second.rc"), "0\n");
  EXPECT_TRUE(FolderFiles(o + "/after") == FolderFiles(o + "/whole"));
}

TEST(CreatePackedK, StopAtOnceLeavesTheStartValueAndAMissingFolderFails) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const test::JobRun run = RunJob(PackJob(d, 0), [](CGfnThread& t) { t.RequestStop(); });
  ASSERT_FALSE(run.failed);
  EXPECT_EQ(test::ReadSequence(d, kLn), test::GeneratorKs(kN, 1));

  const test::JobRun missing = RunJob(PackJob(d + "/nope", 0));
  EXPECT_TRUE(missing.failed);
  EXPECT_TRUE(Contains(missing.log, "Sequence file " + PackedKFileName(d + "/nope", kLn, 0) +
                                        " could not be initialized."));
}

TEST(CreatePackedK, KilledWriterLosesOnlyItsLastSecondAndRepeatsNothing) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::string cli = ZENTROVA_CLI;
  const std::string pMax = "2.5e13";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(cli.c_str(), cli.c_str(), "pack", "--dir", d.c_str(), "--exponent", "65536",
            "--p-max", pMax.c_str(), "--isa", "scalar", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the first run ended before it was killed";
  const std::vector<uint64_t> survived = test::ReadSequence(d, kLn);
  EXPECT_GT(survived.size(), 1u) << "no header was published before the kill";

  const std::string command = cli + " pack --dir " + d + " --exponent 65536 --p-max " + pMax +
                              " > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<uint64_t> all = test::ReadSequence(d, kLn);
  ASSERT_GT(all.size(), survived.size());
  const std::vector<uint64_t> expected = test::GeneratorKs(kN, all.size() + 1);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), expected.begin()));
  EXPECT_GT(expected.back() * 2 * kN + 1, 25000000000000ULL);  // nothing missing at the end
}

}  // namespace
}  // namespace zentrova
