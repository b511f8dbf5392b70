// The packed K file sequence: names, start, seek, moving from file to file,
// finding the end of a sequence and rolling over into a new file.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "TestUtil.h"
#include "files/PackedKSequence.h"
#include "math/FactorCandidates.h"
#include "sieve/PackedKTestUtil.h"

namespace zentrova {
namespace {

using test::ScratchDir;

struct Log {
  std::vector<std::string> lines;
  LogFn Fn() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

TEST(PackedKSequence, NamesCarryLnAndFiveDigitNumbers) {
  EXPECT_EQ(PackedKFileName("D", 16, 3), "D/ln16pi00003.pkk");
  EXPECT_EQ(PackedKFileName("/a/b", 30, 99999), "/a/b/ln30pi99999.pkk");
  EXPECT_EQ(PackedKFileNumber("D/ln16pi00003.pkk"), 3);
  EXPECT_EQ(PackedKFileNumber(PackedKFileName("x", 13, 100)), 100);
}

TEST(PackedKSequence, StartSeekAndSwitchFiles) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::vector<uint64_t> ks = test::GeneratorKs(8192, 100);
  test::WriteSequence(d, 13, ks, 30);  // files 0..3: 30, 30, 30, 10 values
  Log log;
  CPackedKDB db;
  uint64_t k = 0;
  ASSERT_TRUE(StartPackedK(db, d, 13, k, log.Fn()));
  EXPECT_EQ(k, ks[0]);
  std::vector<uint64_t> seen{k};
  std::string error;
  for (;;) {
    uint64_t v = 0;
    if (db.ReadNext64KValue(v, error)) {
      seen.push_back(v);
      continue;
    }
    EXPECT_EQ(error, "File read overflow in ReadNext64KValue");
    if (!NextPackedKFile(db, d, 13, PackedKLoop::kNormal, v, log.Fn(), log.Fn())) break;
    seen.push_back(v);
  }
  EXPECT_EQ(seen, ks);
  const std::string f1 = PackedKFileName(d, 13, 1);
  const std::string f4 = PackedKFileName(d, 13, 4);
  EXPECT_EQ(log.lines[0],
            "Sequence file " + PackedKFileName(d, 13, 0) + " is completed.  Switching to next file.");
  EXPECT_EQ(log.lines[1], "Using sequence file " + f1 + ".");
  EXPECT_EQ(log.lines[log.lines.size() - 3], "Using sequence file " + f4 + ".");
  EXPECT_EQ(log.lines[log.lines.size() - 2], "Sequence file " + f4 + " could opened.");
  EXPECT_EQ(log.lines.back().rfind("Error opening CPackedKDB file " + f4, 0), 0u);

  // The wide loop words its failures its own way.
  Log wide;
  db.SetFileName(PackedKFileName(d, 13, 3));
  ASSERT_TRUE(db.OpenForRead(error));
  uint64_t v = 0;
  EXPECT_FALSE(NextPackedKFile(db, d, 13, PackedKLoop::kWide, v, wide.Fn(), wide.Fn()));
  EXPECT_EQ(wide.lines[2], "Sequence file " + f4 + " could not be opened.");
}

TEST(PackedKSequence, SeekFindsTheFirstValueNotBelowK) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::vector<uint64_t> ks = test::GeneratorKs(8192, 60);
  test::WriteSequence(d, 13, ks, 20);
  Log log;
  CPackedKDB db;
  uint64_t found = 0;
  // The last value of file 0 stays in file 0; one above it opens file 1.
  ASSERT_TRUE(SeekPackedK(db, d, 13, ks[19], found, log.Fn()));
  EXPECT_EQ(found, ks[19]);
  EXPECT_EQ(db.GetFileName(), PackedKFileName(d, 13, 0));
  ASSERT_TRUE(SeekPackedK(db, d, 13, ks[19] + 1, found, log.Fn()));
  EXPECT_EQ(found, ks[20]);
  EXPECT_EQ(db.GetFileName(), PackedKFileName(d, 13, 1));
  // Positioned just behind the value found.
  uint64_t next = 0;
  std::string error;
  ASSERT_TRUE(db.ReadNext64KValue(next, error));
  EXPECT_EQ(next, ks[21]);
  // A k that is not stored: the next stored value is the one to sieve.
  ASSERT_TRUE(SeekPackedK(db, d, 13, ks[33] - 1, found, log.Fn()));
  EXPECT_EQ(found, ks[33]);
  EXPECT_TRUE(log.lines.empty());
  // Beyond the last value of the last file: the first missing file is named.
  EXPECT_FALSE(SeekPackedK(db, d, 13, ks.back() + 1, found, log.Fn()));
  EXPECT_EQ(log.lines[0],
            "Sequence file " + PackedKFileName(d, 13, 3) + " could not be read.");
}

// Every reader checks the value it hands to a sieve as a factor candidate:
// StartPackedK, NextPackedKFile and ReadPackedKValue the values they read,
// SeekPackedK the value it finds (not the ones it passes over, which are not
// sieved). The refusal names the file, the index of the value and its k.
TEST(PackedKSequence, ReadersRefuseAValueThatIsNoFactorCandidate) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  const std::vector<uint64_t> ks = test::GeneratorKs(8192, 40);
  auto p = [](uint64_t k) { return std::to_string(k * 2 * 8192 + 1); };
  // Value 5 of file 0 and value 0 of file 1 replaced: a k whose p is a
  // multiple of 3 (p = k+1 mod 3), and one whose p fails the Fermat test
  // though it passes the wheel.
  std::vector<uint64_t> bad = ks;
  uint64_t three = ks[4] + 1;
  while (three % 3 != 2 || three == ks[5]) ++three;
  ASSERT_LT(three, ks[6]);
  bad[5] = three;
  uint64_t fermat = 0;
  for (uint64_t k = ks[19] + 1; k < ks[21] && fermat == 0; ++k) {
    bool wheel = true;
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61}) {
      wheel &= (k * 2 * 8192 + 1) % q != 0;
    }
    if (wheel && k != ks[20]) fermat = k;
  }
  ASSERT_NE(fermat, 0u) << "no composite in the gap; pick another one";
  bad[20] = fermat;
  test::WriteSequence(d, 13, bad, 20);
  const std::string f0 = PackedKFileName(d, 13, 0), f1 = PackedKFileName(d, 13, 1);
  const std::string threeText = "Error, CPackedKDB file " + f0 + " is damaged: value 5 is k = " +
                                std::to_string(three) + ", no factor candidate: p = k*2^14+1 = " +
                                p(three) + " is divisible by 3.";
  const std::string fermatText = "Error, CPackedKDB file " + f1 +
                                 " is damaged: value 0 is k = " + std::to_string(fermat) +
                                 ", no factor candidate: p = k*2^14+1 = " + p(fermat) +
                                 " fails the base-2 Fermat test.";
  Log log;
  CPackedKDB db;
  uint64_t k = 0;
  std::string error;
  ASSERT_TRUE(StartPackedK(db, d, 13, k, log.Fn()));
  for (int i = 1; i < 5; ++i) ASSERT_TRUE(ReadPackedKValue(db, 13, k, error)) << error;
  EXPECT_EQ(k, ks[4]);
  ASSERT_FALSE(ReadPackedKValue(db, 13, k, error));
  EXPECT_FALSE(db.Exhausted());
  EXPECT_EQ(error, threeText);
  EXPECT_EQ(k, ks[4]);
  // Passed over by a seek, the value is not looked at; found, it is refused.
  uint64_t found = 0;
  ASSERT_TRUE(SeekPackedK(db, d, 13, three + 1, found, log.Fn()));
  EXPECT_EQ(found, ks[6]);
  ASSERT_FALSE(SeekPackedK(db, d, 13, three, found, log.Fn()));
  EXPECT_EQ(log.lines.back(), threeText);
  ASSERT_FALSE(SeekPackedK(db, d, 13, fermat, found, log.Fn()));
  EXPECT_EQ(log.lines.back(), fermatText);
  // The first value of the next file, told through fail.
  db.SetFileName(f0);
  ASSERT_TRUE(db.OpenForRead(error));
  while (db.ReadNext64KValue(k, error)) {
  }
  Log next, fail;
  ASSERT_FALSE(NextPackedKFile(db, d, 13, PackedKLoop::kNormal, k, next.Fn(), fail.Fn()));
  ASSERT_EQ(fail.lines.size(), 2u);
  EXPECT_EQ(fail.lines[0], "Sequence file " + f1 + " could not read.");
  EXPECT_EQ(fail.lines[1], fermatText);
  EXPECT_TRUE(next.lines.empty() || next.lines.back() == "Using sequence file " + f1 + ".");
}

TEST(PackedKSequence, FindLastStopsAtTheFirstGap) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  Log log;
  std::string name;
  EXPECT_EQ(FindLastPackedKFile(d, 16, name, log.Fn()), -1);
  EXPECT_EQ(log.lines.back(), "Sequence file " + PackedKFileName(d, 16, 0) +
                                  " does not exist.  Starting new sequence.");
  test::WriteSequence(d, 16, test::GeneratorKs(65536, 30), 10);  // files 0, 1, 2
  std::filesystem::rename(PackedKFileName(d, 16, 2), PackedKFileName(d, 16, 3));
  log.lines.clear();
  EXPECT_EQ(FindLastPackedKFile(d, 16, name, log.Fn()), 1);
  EXPECT_EQ(name, PackedKFileName(d, 16, 1));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0],
            "Sequence file " + PackedKFileName(d, 16, 0) + " found.  Extending sequence.");
  EXPECT_EQ(log.lines[1], "Resuming with sequence file " + name + ".");
}

// A file that goes back (a sequence restarted inside it) or ends beyond the
// modulus is refused by every reader, with the file named.
TEST(PackedKSequence, ReadersRefuseAFileThatGoesBackOrOutgrowsTheModulus) {
  const std::vector<uint64_t> ks = test::GeneratorKs(65536, 12);
  const auto top = static_cast<uint64_t>(kKLimit) - 1;  // the largest k a sieve takes
  // The last two candidates at or below top: a file may end just below the bound.
  std::vector<uint64_t> highest;
  static const WheelTables tables;
  FactorCandidateGenerator gen(tables);
  gen.Reset(2 * 65536, static_cast<int64_t>(top - 2000));
  for (uint64_t k = 0; (k = static_cast<uint64_t>(gen.NextFactorCandidate().k)) <= top;) {
    highest.push_back(k);
  }
  ASSERT_GE(highest.size(), 2u);
  highest.erase(highest.begin(), highest.end() - 2);
  struct Case {
    std::vector<uint64_t> file1;
    bool file0Beyond;  // file 0's header last value raised to top + 1
    std::string text;  // after the name of the bad file; "" for none
  };
  const Case cases[] = {
      {{ks[0], ks[1]}, false, " starts with " + std::to_string(ks[0]) + ", not above the last"},
      {{ks[10]}, true,
       " ends with k = 9223372036854775552, not below 2^63 - 256, the bound of every sieve "
       "(p = k*2^17+1)."},
      {highest, false, ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string d = dir.Path().string();
    const std::string f0 = PackedKFileName(d, 16, 0), f1 = PackedKFileName(d, 16, 1);
    test::WritePackedKFile(f0, std::vector<uint64_t>(ks.begin(), ks.begin() + 10));
    test::WritePackedKFile(f1, c.file1);
    if (c.file0Beyond) test::PatchLE64(f0, 24, top + 1);
    Log log;
    CPackedKDB db;
    uint64_t k = 0;
    std::string error;
    const bool started = StartPackedK(db, d, 16, k, log.Fn());
    while (started && db.ReadNext64KValue(k, error)) {
    }
    EXPECT_EQ(started && NextPackedKFile(db, d, 16, PackedKLoop::kNormal, k, log.Fn(), log.Fn()),
              c.text.empty());
    if (c.text.empty()) continue;
    const std::string bad = "Error, CPackedKDB file " + (c.file0Beyond ? f0 : f1) + c.text;
    EXPECT_EQ(log.lines.back().rfind(bad, 0), 0u) << log.lines.back();
    EXPECT_FALSE(SeekPackedK(db, d, 16, ks[11], k, log.Fn()));
  }
}

// Moving on to the next file decides by the reader's typed failure: a file
// that is not there yet, or that its writer holds, ends the sequence; one
// that is there but damaged fails the run, so that damage never passes for
// the end of the list.
TEST(PackedKSequence, NextFileEndsOrFailsByTheReasonItCannotBeRead) {
  const std::vector<uint64_t> ks = test::GeneratorKs(8192, 20);
  struct Case {
    const char* what;
    std::function<void(const std::string& next, CPackedKDB& holder)> make;
    PackedKFailure failure;
    bool fails;  // told through fail rather than log
  };
  const Case cases[] = {
      {"missing", [](const std::string&, CPackedKDB&) {}, PackedKFailure::kMissing, false},
      {"held by its writer",
       [&](const std::string& next, CPackedKDB& holder) {
         test::WritePackedKFile(next, {ks[10], ks[11]});
         std::string error;
         holder.SetFileName(next);
         ASSERT_TRUE(holder.WriteOpenDB(kPackedKFileBytes, error)) << error;
       },
       PackedKFailure::kInUse, false},
      {"count of 0",
       [&](const std::string& next, CPackedKDB&) {
         test::WritePackedKFile(next, {ks[10], ks[11]});
         test::PatchLE64(next, 0, 0);
       },
       PackedKFailure::kDamaged, true},
      {"cut inside its header",
       [&](const std::string& next, CPackedKDB&) {
         test::WritePackedKFile(next, {ks[10], ks[11]});
         std::filesystem::resize_file(next, 20);
       },
       PackedKFailure::kDamaged, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string d = dir.Path().string();
    test::WritePackedKFile(PackedKFileName(d, 13, 0),
                           std::vector<uint64_t>(ks.begin(), ks.begin() + 10));
    CPackedKDB holder;
    c.make(PackedKFileName(d, 13, 1), holder);
    CPackedKDB db;
    uint64_t k = 0;
    Log log, fail;
    ASSERT_TRUE(StartPackedK(db, d, 13, k, log.Fn()));
    std::string error;
    while (db.ReadNext64KValue(k, error)) {
    }
    EXPECT_EQ(db.LastFailure(), PackedKFailure::kEndOfValues);
    EXPECT_FALSE(NextPackedKFile(db, d, 13, PackedKLoop::kNormal, k, log.Fn(), fail.Fn()));
    EXPECT_EQ(db.LastFailure(), c.failure);
    EXPECT_EQ(fail.lines.empty(), !c.fails);
  }
}

TEST(PackedKSequence, RollOverContinuesInTheNextFile) {
  ScratchDir dir;
  const std::string d = dir.Path().string();
  CPackedKDB db;
  db.SetFileName(PackedKFileName(d, 16, 0));
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(1000, 0, kPackedKFileBytes, error)) << error;
  db.Close();
  ASSERT_TRUE(db.WriteOpenDB(kPackedKFileBytes, error)) << error;
  // Synthetic values: the point is the capacity, not the candidates.
  uint64_t v = 1000;
  uint32_t written = 1;
  for (;;) {
    v += 1 + (written % 7);
    if (!db.WriteNew64KValue(v, error)) break;
    ++written;
  }
  EXPECT_EQ(written, 74999970u);
  EXPECT_EQ(error.compare(0, 19, "File write overflow"), 0);
  Log log;
  Log fail;
  ASSERT_TRUE(RollOverPackedKFile(db, d, 16, v, kPackedKFileBytes, log.Fn(), fail.Fn()));
  EXPECT_TRUE(fail.lines.empty());  // a rollover is progress, not a failure
  EXPECT_FALSE(std::filesystem::exists(PackedKTempName(PackedKFileName(d, 16, 1))));
  ASSERT_TRUE(db.WriteNew64KValue(v + 5, error));
  db.Close();
  EXPECT_EQ(log.lines[0], "Sequence file " + PackedKFileName(d, 16, 0) +
                              " is full.  Switching to next file.");
  EXPECT_EQ(log.lines[1], "Continuing in new sequence file " + PackedKFileName(d, 16, 1) + ".");
  CPackedKDB reader;
  reader.SetFileName(PackedKFileName(d, 16, 1));
  ASSERT_TRUE(reader.OpenForRead(error));
  reader.Rewind();
  uint64_t first = 0, second = 0;
  ASSERT_TRUE(reader.ReadNext64KValue(first, error));
  ASSERT_TRUE(reader.ReadNext64KValue(second, error));
  EXPECT_EQ(first, v);
  EXPECT_EQ(second, v + 5);
  EXPECT_EQ(std::filesystem::file_size(PackedKFileName(d, 16, 1)), kPackedKFileBytes);
}

}  // namespace
}  // namespace zentrova
