// The packed K file: values round-trip exactly, the bytes on disk follow the
// layout, the difference and capacity limits hold, reopening continues behind
// the last value, a writer killed between header flushes leaves a file with
// exactly its flushed values, locks keep a writer alone, and damaged or
// foreign files are refused with their texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/PackedKDB.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

constexpr uint64_t kRealSize = 100000000;
constexpr char kReadOverflow[] = "File read overflow in ReadNext64KValue";
constexpr char kWriteOverflow[] = "File write overflow in WriteNew64KValue";
constexpr char kDifferenceOverflow[] = "Difference overflow on WriteNew64KValue";

// A file of 40 header bytes and the given number of data words.
constexpr uint64_t SizeForWords(uint64_t words) {
  return 40 + 4 * words;
}

std::string Sys(int err) {
  return std::strerror(err);
}

// Little-endian reading and writing of raw file bytes, done here on their own
// so the tests do not lean on the helpers they check.
uint64_t GetLE(const std::string& bytes, size_t offset, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + static_cast<size_t>(i)));
  }
  return v;
}

void PutLE(std::string& bytes, size_t offset, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) {
    bytes.at(offset + static_cast<size_t>(i)) = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
}

// A file image with the given header and zeros up to size bytes.
std::string RawFile(uint64_t size, uint32_t count, uint64_t first, uint64_t last,
                    uint64_t reserved = 0) {
  std::string bytes(size, '\0');
  PutLE(bytes, 0, count, 4);
  PutLE(bytes, 8, first, 8);
  PutLE(bytes, 16, reserved, 8);
  PutLE(bytes, 24, last, 8);
  PutLE(bytes, 32, reserved, 8);
  return bytes;
}

uint64_t FileBytes(const std::string& path) {
  return std::filesystem::file_size(path);
}

// Creates a file holding values (values[0] as the start value) and closes it.
void WriteValues(const std::string& path, const std::vector<uint64_t>& values, uint64_t size,
                 uint64_t reserved = 0) {
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(values.at(0), reserved, size, error)) << error;
  for (size_t i = 1; i < values.size(); ++i) {
    ASSERT_TRUE(db.WriteNew64KValue(values[i], error)) << "value " << i << ": " << error;
  }
  db.Close();
}

// Every value a reader finds, checking that the list ends with the overflow
// text exactly at the count.
std::vector<uint64_t> ReadValues(CPackedKDB& db) {
  std::vector<uint64_t> values;
  std::string error;
  uint64_t v = 0;
  while (db.ReadNext64KValue(v, error)) {
    values.push_back(v);
    if (values.size() > db.Count()) {
      ADD_FAILURE() << "read beyond the count";
      break;
    }
  }
  EXPECT_EQ(error, kReadOverflow);
  EXPECT_EQ(values.size(), db.Count());
  return values;
}

std::vector<uint64_t> ReadFileValues(const std::string& path) {
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  EXPECT_TRUE(db.OpenForRead(error)) << error;
  return ReadValues(db);
}

// Ascending values from start with random steps of 1..1023, the extremes
// included often enough to matter.
std::vector<uint64_t> RandomValues(std::mt19937_64& rng, uint64_t start, size_t n) {
  std::vector<uint64_t> values{start};
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<uint64_t> step(1, 1023);
  while (values.size() < n) {
    const int kind = pick(rng);
    const uint64_t d = kind == 0 ? 1 : kind == 1 ? 1023 : step(rng);
    values.push_back(values.back() + d);
  }
  return values;
}

// A closed object, as after any failed open.
void ExpectClosed(CPackedKDB& db) {
  EXPECT_FALSE(db.IsOpen());
  EXPECT_EQ(db.Count(), 0u);
  std::string error;
  uint64_t v = 0;
  EXPECT_FALSE(db.ReadNext64KValue(v, error));
  EXPECT_EQ(error, kReadOverflow);
  EXPECT_FALSE(db.WriteNew64KValue(1, error));
}

// --- values and bytes ---------------------------------------------------------

TEST(PackedKDBRoundTrip, NewFileClosedAtOnceHoldsOnlyItsStartValue) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  CPackedKDB db;
  EXPECT_FALSE(db.IsOpen());
  EXPECT_TRUE(db.IsReadOnly());
  EXPECT_EQ(db.Count(), 0u);
  EXPECT_EQ(db.GetFileName(), "");
  db.SetFileName(path);
  EXPECT_EQ(db.GetFileName(), path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(123456789012345ull, 0, SizeForWords(4), error)) << error;
  EXPECT_TRUE(db.IsOpen());
  EXPECT_FALSE(db.IsReadOnly());
  EXPECT_EQ(db.Count(), 1u);
  EXPECT_EQ(db.Capacity(), 12u);
  db.Close();
  EXPECT_FALSE(db.IsOpen());
  db.Close();  // closing twice does nothing

  EXPECT_EQ(FileBytes(path), SizeForWords(4));
  EXPECT_EQ(ReadFileValues(path), (std::vector<uint64_t>{123456789012345ull}));
}

TEST(PackedKDBRoundTrip, HeaderAndFirstWordsAreLaidOutLittleEndian) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  // Distinct bytes everywhere, so any swapped or shifted byte shows.
  const uint64_t start = 0x1122334455667788ull;
  const uint64_t reserved = 0x0A0B0C0D0E0F1012ull;
  WriteValues(path, {start, start + 1, start + 3, start + 1026, start + 1027}, SizeForWords(3),
              reserved);

  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), SizeForWords(3));
  std::string expected = RawFile(SizeForWords(3), 5, start, start + 1027, reserved);
  // Value 0 is 0 at bits 0..9; then 1 at 10..19, 2 at 20..29; word 1 holds
  // 1023 at bits 0..9 and 1 at bits 10..19.
  PutLE(expected, 40, (1u << 10) | (2u << 20), 4);
  PutLE(expected, 44, 1023u | (1u << 10), 4);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(static_cast<unsigned char>(bytes[40]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(bytes[41]), 0x04);  // 1 << 10
  EXPECT_EQ(static_cast<unsigned char>(bytes[42]), 0x20);  // 2 << 20
  EXPECT_EQ(static_cast<unsigned char>(bytes[43]), 0x00);  // bits 30 and 31 clear
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 5);
  EXPECT_EQ(static_cast<unsigned char>(bytes[8]), 0x88);
  EXPECT_EQ(static_cast<unsigned char>(bytes[15]), 0x11);
}

TEST(PackedKDBRoundTrip, RandomAscendingValuesReadBackExactly) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  const size_t n = 30001;  // not a multiple of 3: the last word is partly used
  const auto values = RandomValues(rng, rng() >> 8, n);
  const uint64_t size = SizeForWords((n + 2) / 3);

  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(values[0], 0, size, error)) << error;
  EXPECT_EQ(db.Capacity(), (n + 2) / 3 * 3);
  for (size_t i = 1; i < n; ++i) ASSERT_TRUE(db.WriteNew64KValue(values[i], error)) << i;
  uint64_t last = 0;
  EXPECT_TRUE(db.LastValue(last));
  EXPECT_EQ(last, values.back());
  // The writer reads its own values too.
  EXPECT_EQ(ReadValues(db), values);
  db.Close();

  db.SetFileName(path);
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  EXPECT_TRUE(db.IsReadOnly());
  EXPECT_TRUE(db.LastValue(last));
  EXPECT_EQ(last, values.back());
  EXPECT_EQ(ReadValues(db), values);
  // Rewind starts over from the first value.
  EXPECT_TRUE(db.Rewind());
  EXPECT_EQ(ReadValues(db), values);
}

// --- limits -------------------------------------------------------------------

TEST(PackedKDBLimits, DifferencesRunFrom1To1023AndRefusalsChangeNothing) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  const uint64_t k0 = 5000000000ull;
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(k0, 0, SizeForWords(4), error)) << error;
  ASSERT_TRUE(db.WriteNew64KValue(k0 + 1023, error)) << error;

  const std::string before = ReadFile(path);
  for (uint64_t bad : {k0 + 1023 + 1024, k0 + 1023, k0 + 1022, k0, uint64_t{0}}) {
    error.clear();
    EXPECT_FALSE(db.WriteNew64KValue(bad, error)) << bad;
    EXPECT_EQ(error, kDifferenceOverflow) << bad;
    EXPECT_EQ(db.Count(), 2u);
    uint64_t last = 0;
    db.LastValue(last);
    EXPECT_EQ(last, k0 + 1023);
  }
  EXPECT_EQ(ReadFile(path), before);

  ASSERT_TRUE(db.WriteNew64KValue(k0 + 1024, error)) << error;  // the least step: 1
  ASSERT_TRUE(db.WriteNew64KValue(k0 + 2047, error)) << error;
  db.Close();
  EXPECT_EQ(ReadFileValues(path), (std::vector<uint64_t>{k0, k0 + 1023, k0 + 1024, k0 + 2047}));
}

TEST(PackedKDBLimits, ValuesAtTheTopOfTheRangeDoNotWrapAround) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  const uint64_t top = std::numeric_limits<uint64_t>::max();
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(top - 1023, 0, SizeForWords(2), error)) << error;
  ASSERT_TRUE(db.WriteNew64KValue(top, error)) << error;
  // 0 is 1 above the top modulo 2^64, which must not pass for a small step.
  EXPECT_FALSE(db.WriteNew64KValue(0, error));
  EXPECT_EQ(error, kDifferenceOverflow);
  EXPECT_FALSE(db.WriteNew64KValue(1000, error));
  db.Close();
  EXPECT_EQ(ReadFileValues(path), (std::vector<uint64_t>{top - 1023, top}));
}

TEST(PackedKDBLimits, RealSizeFileTakesExactly74999970Values) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  const uint32_t capacity = 74999970;  // ((100000000 - 40) / 4) * 3
  const uint64_t start = 1000000007;
  auto step = [](uint64_t i) { return 1 + (i * 7) % 1023; };

  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.InitOpenNewFile(start, 0, kRealSize, error)) << error;
  EXPECT_EQ(db.Capacity(), capacity);
  uint64_t v = start;
  for (uint64_t i = 1; i < capacity; ++i) {
    v += step(i);
    if (!db.WriteNew64KValue(v, error)) {
      FAIL() << "write " << i << " refused: " << error;
    }
  }
  EXPECT_EQ(db.Count(), capacity);
  EXPECT_FALSE(db.WriteNew64KValue(v, error));
  EXPECT_EQ(error, kWriteOverflow);
  EXPECT_EQ(db.Count(), capacity);
  db.Close();
  EXPECT_EQ(FileBytes(path), kRealSize);

  db.SetFileName(path);
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  ASSERT_EQ(db.Count(), capacity);
  uint64_t expected = start;
  uint64_t got = 0;
  for (uint64_t i = 0; i < capacity; ++i) {
    if (i > 0) expected += step(i);
    if (!db.ReadNext64KValue(got, error) || got != expected) {
      FAIL() << "value " << i << ": got " << got << ", expected " << expected << " " << error;
    }
  }
  EXPECT_FALSE(db.ReadNext64KValue(got, error));
  EXPECT_EQ(error, kReadOverflow);
}

TEST(PackedKDBLimits, SmallFileFillsToItsWordsAndReadingStopsAtTheCount) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  // 41 to 43 bytes hold no more words than 40; 44 holds one word, 3 values.
  for (uint64_t tooSmall : {0ull, 39ull, 40ull, 43ull}) {
    EXPECT_FALSE(db.InitOpenNewFile(1, 0, tooSmall, error)) << tooSmall;
    EXPECT_FALSE(std::filesystem::exists(path)) << tooSmall;
  }
  ASSERT_TRUE(db.InitOpenNewFile(7, 0, SizeForWords(1) + 3, error)) << error;
  EXPECT_EQ(db.Capacity(), 3u);
  EXPECT_TRUE(db.WriteNew64KValue(8, error));
  EXPECT_TRUE(db.WriteNew64KValue(9, error));
  EXPECT_FALSE(db.WriteNew64KValue(10, error));
  EXPECT_EQ(error, kWriteOverflow);
  db.Close();
  EXPECT_EQ(FileBytes(path), SizeForWords(1) + 3);
  EXPECT_EQ(ReadFileValues(path), (std::vector<uint64_t>{7, 8, 9}));

  // Room for 30 values, 6 stored: reading ends at 6 all the same.
  const std::string roomy = dir / "roomy.kdb";
  WriteValues(roomy, {10, 20, 30, 40, 50, 60}, SizeForWords(10));
  db.SetFileName(roomy);
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  EXPECT_EQ(db.Capacity(), 30u);
  EXPECT_EQ(ReadValues(db), (std::vector<uint64_t>{10, 20, 30, 40, 50, 60}));
  uint64_t v = 99;
  error.clear();
  EXPECT_FALSE(db.ReadNext64KValue(v, error));  // and again
  EXPECT_EQ(error, kReadOverflow);
}

TEST(PackedKDBLimits, ReadersAndClosedObjectsRefuseToWrite) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  WriteValues(path, {10, 20}, SizeForWords(4));
  const std::string before = ReadFile(path);

  CPackedKDB db;
  std::string error;
  EXPECT_FALSE(db.WriteNew64KValue(1, error));
  EXPECT_FALSE(db.FlushHeader(error));
  db.SetFileName(path);
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  error.clear();
  EXPECT_FALSE(db.WriteNew64KValue(21, error));
  EXPECT_EQ(error, "Error, CPackedKDB file " + path + " is not open for writing.");
  EXPECT_FALSE(db.FlushHeader(error));
  EXPECT_EQ(db.Count(), 2u);
  db.Close();
  EXPECT_EQ(ReadFile(path), before);
}

// --- reopening ----------------------------------------------------------------

TEST(PackedKDBReopen, WritingContinuesBehindTheLastValueAtEveryFieldPosition) {
  const uint64_t seed = test::TestSeed();
  std::mt19937_64 rng(seed);
  ScratchDir dir;
  // Counts 1..6 leave the write cursor at each of the three fields twice.
  for (size_t firstPart = 1; firstPart <= 6; ++firstPart) {
    SCOPED_TRACE("values before reopening: " + std::to_string(firstPart));
    const std::string path = dir / (std::to_string(firstPart) + "-values.kdb");
    const auto values = RandomValues(rng, rng() >> 4, firstPart + 20);
    const std::vector<uint64_t> head(values.begin(), values.begin() + firstPart);
    WriteValues(path, head, SizeForWords(12));

    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    ASSERT_TRUE(db.WriteOpenDB(SizeForWords(12), error)) << error;
    EXPECT_EQ(db.Count(), firstPart);
    uint64_t last = 0;
    db.LastValue(last);
    EXPECT_EQ(last, head.back());
    for (size_t i = firstPart; i < values.size(); ++i) {
      ASSERT_TRUE(db.WriteNew64KValue(values[i], error)) << i << ": " << error;
    }
    db.Close();
    EXPECT_EQ(ReadFileValues(path), values);
  }
}

TEST(PackedKDBReopen, ShorterFileGrowsToTheSizeLongerFileIsRefused) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  std::vector<uint64_t> values;
  for (uint64_t i = 0; i < 9; ++i) values.push_back(100 + i * i);
  WriteValues(path, values, SizeForWords(3));  // full: 9 of 9

  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  const std::string before = ReadFile(path);
  EXPECT_FALSE(db.WriteOpenDB(SizeForWords(2), error));
  EXPECT_EQ(error, "Error, attempting to write open a small length for PackedPrimeDB file " + path);
  ExpectClosed(db);
  EXPECT_EQ(ReadFile(path), before);

  ASSERT_TRUE(db.WriteOpenDB(SizeForWords(10), error)) << error;
  EXPECT_EQ(FileBytes(path), SizeForWords(10));
  EXPECT_EQ(db.Capacity(), 30u);
  for (uint64_t i = 9; i < 30; ++i) {
    values.push_back(100 + i * i);
    ASSERT_TRUE(db.WriteNew64KValue(values.back(), error)) << i << ": " << error;
  }
  EXPECT_FALSE(db.WriteNew64KValue(values.back(), error));
  EXPECT_EQ(error, kWriteOverflow);
  db.Close();
  EXPECT_EQ(ReadFileValues(path), values);

  // The same size as the file is fine too.
  ASSERT_TRUE(db.WriteOpenDB(SizeForWords(10), error)) << error;
  EXPECT_EQ(db.Count(), 30u);
}

TEST(PackedKDBReopen, ReservedFieldsAreNeverRewritten) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  WriteValues(path, {50, 60}, SizeForWords(4), 0x1111222233334444ull);
  // Give the three reserved fields values that differ from each other and
  // from what a writer would put there.
  std::string bytes = ReadFile(path);
  PutLE(bytes, 4, 0xDEADBEEFu, 4);
  PutLE(bytes, 32, 0x5555666677778888ull, 8);
  WriteFile(path, bytes);

  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  ASSERT_TRUE(db.WriteOpenDB(SizeForWords(4), error)) << error;
  ASSERT_TRUE(db.WriteNew64KValue(70, error)) << error;
  ASSERT_TRUE(db.FlushHeader(error)) << error;
  ASSERT_TRUE(db.WriteNew64KValue(80, error)) << error;
  db.Close();

  bytes = ReadFile(path);
  EXPECT_EQ(GetLE(bytes, 0, 4), 4u);
  EXPECT_EQ(GetLE(bytes, 4, 4), 0xDEADBEEFu);
  EXPECT_EQ(GetLE(bytes, 8, 8), 50u);
  EXPECT_EQ(GetLE(bytes, 16, 8), 0x1111222233334444ull);
  EXPECT_EQ(GetLE(bytes, 24, 8), 80u);
  EXPECT_EQ(GetLE(bytes, 32, 8), 0x5555666677778888ull);
}

TEST(PackedKDBReopen, NewFileOverAnExistingNameIsRefusedAndTheFileUntouched) {
  ScratchDir dir;
  const std::string kdb = dir / "k.kdb";
  WriteValues(kdb, {1, 2, 3}, SizeForWords(2));
  const std::string text = dir / "notes.txt";
  WriteFile(text, "not a K file\n");

  for (const std::string& path : {kdb, text}) {
    const std::string before = ReadFile(path);
    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    EXPECT_FALSE(db.InitOpenNewFile(99, 0, SizeForWords(100), error));
    EXPECT_EQ(error,
              "Error in InitOpenNewFile for PackedPrimeDB file " + path + "\n" + Sys(EEXIST));
    ExpectClosed(db);
    EXPECT_EQ(ReadFile(path), before) << path;
  }
}

// --- a writer killed between flushes -------------------------------------------

TEST(PackedKDBCrash, KilledWriterLeavesExactlyItsFlushedValues) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  const uint64_t size = SizeForWords(20);
  CPackedKDB writer;
  writer.SetFileName(path);
  std::string error;
  ASSERT_TRUE(writer.InitOpenNewFile(1000, 0, size, error)) << error;

  // Before any flush, the file already shows the start value.
  std::filesystem::copy_file(path, dir / "early.kdb");
  EXPECT_EQ(ReadFileValues(dir / "early.kdb"), (std::vector<uint64_t>{1000}));

  // Eight values flushed, leaving the cursor inside word 2; then ten steps of
  // 1023 that are never flushed, filling the rest of word 2 and beyond.
  std::vector<uint64_t> flushed{1000};
  for (uint64_t i = 1; i < 8; ++i) {
    flushed.push_back(flushed.back() + 3 * i);
    ASSERT_TRUE(writer.WriteNew64KValue(flushed.back(), error)) << error;
  }
  ASSERT_TRUE(writer.FlushHeader(error)) << error;
  uint64_t v = flushed.back();
  for (int i = 0; i < 10; ++i) {
    v += 1023;
    ASSERT_TRUE(writer.WriteNew64KValue(v, error)) << error;
  }
  // The file as the kill would leave it: the writer never closes it.
  const std::string crashed = dir / "crashed.kdb";
  std::filesystem::copy_file(path, crashed);
  writer.Close();

  {
    const std::string bytes = ReadFile(crashed);
    EXPECT_EQ(GetLE(bytes, 0, 4), 8u);
    EXPECT_EQ(GetLE(bytes, 24, 8), flushed.back());
    // The unflushed values really are in the data behind the count.
    EXPECT_EQ((GetLE(bytes, 40 + 2 * 4, 4) >> 20) & 1023, 1023u);
  }
  EXPECT_EQ(ReadFileValues(crashed), flushed);

  // Continuing writes small steps over the stale fields of 1023.
  CPackedKDB again;
  again.SetFileName(crashed);
  ASSERT_TRUE(again.WriteOpenDB(size, error)) << error;
  uint64_t last = 0;
  again.LastValue(last);
  EXPECT_EQ(last, flushed.back());
  std::vector<uint64_t> expected = flushed;
  for (uint64_t i = 0; i < 12; ++i) {
    expected.push_back(expected.back() + (i % 3 == 0 ? 1 : i));
    ASSERT_TRUE(again.WriteNew64KValue(expected.back(), error)) << error;
  }
  again.Close();
  EXPECT_EQ(ReadFileValues(crashed), expected);
}

// --- locks --------------------------------------------------------------------

// A file held by another run is told as such, not by the system's text for
// a lock that would block.
std::string InUse(const std::string& path) {
  return "Packed K file " + path + " is in use by another run (it is locked).";
}

TEST(PackedKDBLocking, WriterKeepsOtherWritersAndReadersOut) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  std::string error;
  for (bool created : {true, false}) {
    SCOPED_TRACE(created ? "writer from InitOpenNewFile" : "writer from WriteOpenDB");
    CPackedKDB writer;
    writer.SetFileName(path);
    if (created) {
      ASSERT_TRUE(writer.InitOpenNewFile(5, 0, SizeForWords(4), error)) << error;
    } else {
      ASSERT_TRUE(writer.WriteOpenDB(SizeForWords(4), error)) << error;
    }

    CPackedKDB other;
    other.SetFileName(path);
    EXPECT_FALSE(other.WriteOpenDB(SizeForWords(4), error));
    EXPECT_EQ(error, InUse(path));
    ExpectClosed(other);
    EXPECT_FALSE(other.OpenForRead(error));
    EXPECT_EQ(error, InUse(path));
    ExpectClosed(other);

    writer.Close();
    EXPECT_TRUE(other.OpenForRead(error)) << error;
  }
}

TEST(PackedKDBLocking, ReadersShareTheFileAndKeepWritersOut) {
  ScratchDir dir;
  const std::string path = dir / "k.kdb";
  WriteValues(path, {5, 6, 7, 8}, SizeForWords(4));
  std::string error;
  CPackedKDB first;
  CPackedKDB second;
  first.SetFileName(path);
  second.SetFileName(path);
  ASSERT_TRUE(first.OpenForRead(error)) << error;
  ASSERT_TRUE(second.OpenForRead(error)) << error;
  EXPECT_EQ(ReadValues(first), (std::vector<uint64_t>{5, 6, 7, 8}));
  EXPECT_EQ(ReadValues(second), (std::vector<uint64_t>{5, 6, 7, 8}));

  CPackedKDB writer;
  writer.SetFileName(path);
  EXPECT_FALSE(writer.WriteOpenDB(SizeForWords(4), error));
  EXPECT_EQ(error, InUse(path));
  first.Close();
  EXPECT_FALSE(writer.WriteOpenDB(SizeForWords(4), error));
  second.Close();
  EXPECT_TRUE(writer.WriteOpenDB(SizeForWords(4), error)) << error;
}

// --- damaged and foreign files ---------------------------------------------------

// Both openers refuse path with the given texts, closed afterwards, and the
// file (if any) keeps its bytes.
void ExpectRefused(const std::string& path, const std::string& readerText,
                   const std::string& writerText, uint64_t writeSize) {
  const bool isFile = std::filesystem::is_regular_file(path);
  const std::string before = isFile ? ReadFile(path) : std::string();
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  EXPECT_FALSE(db.OpenForRead(error));
  EXPECT_EQ(error, readerText);
  ExpectClosed(db);
  error.clear();
  EXPECT_FALSE(db.WriteOpenDB(writeSize, error));
  EXPECT_EQ(error, writerText);
  ExpectClosed(db);
  EXPECT_EQ(std::filesystem::is_regular_file(path), isFile);
  if (isFile) {
    // Sizes first: a refused file that grew to 100 MB must not print its bytes.
    ASSERT_EQ(FileBytes(path), before.size());
    EXPECT_TRUE(ReadFile(path) == before);
  }
}

TEST(PackedKDBBadFiles, MissingEmptyAndShortFiles) {
  ScratchDir dir;
  const std::string missing = dir / "missing.kdb";
  ExpectRefused(missing, "Error opening CPackedKDB file " + missing + "\n" + Sys(ENOENT),
                "Error in WriteOpenDB for PackedPrimeDB file " + missing + "\n" + Sys(ENOENT),
                SizeForWords(10));

  const std::string empty = dir / "empty.kdb";
  WriteFile(empty, "");
  ExpectRefused(empty, "Error CreateFileMapping CPackedKDB file " + empty + "\n" + Sys(EINVAL),
                "Error, CPackedKDB file " + empty + " is shorter than its 40-byte header.",
                SizeForWords(10));

  const std::string shortFile = dir / "short.kdb";
  WriteFile(shortFile, RawFile(40, 0, 1, 1).substr(0, 39));
  const std::string shortText =
      "Error, CPackedKDB file " + shortFile + " is shorter than its 40-byte header.";
  ExpectRefused(shortFile, shortText, shortText, SizeForWords(10));

  CPackedKDB db;
  db.SetFileName("");
  std::string error;
  EXPECT_FALSE(db.InitOpenNewFile(1, 0, SizeForWords(2), error));
  EXPECT_EQ(error, "Error in InitOpenNewFile for PackedPrimeDB file \n" + Sys(ENOENT));
  const std::string noFolder = dir / "no/such/folder.kdb";
  db.SetFileName(noFolder);
  EXPECT_FALSE(db.InitOpenNewFile(1, 0, SizeForWords(2), error));
  EXPECT_EQ(error,
            "Error in InitOpenNewFile for PackedPrimeDB file " + noFolder + "\n" + Sys(ENOENT));
}

TEST(PackedKDBBadFiles, CountsBeyondWhatTheSizeHolds) {
  ScratchDir dir;
  // 48 bytes: two words, six values. Six is fine, seven is one too many,
  // whatever size a writer would map it to.
  const std::string fits = dir / "fits.kdb";
  std::string full = RawFile(SizeForWords(2), 6, 77, 82);
  PutLE(full, 40, (1u << 10) | (1u << 20), 4);
  PutLE(full, 44, 1u | (1u << 10) | (1u << 20), 4);
  WriteFile(fits, full);
  EXPECT_EQ(ReadFileValues(fits), (std::vector<uint64_t>{77, 78, 79, 80, 81, 82}));

  for (uint32_t count : {7u, 0xFFFFFFFFu}) {
    const std::string path = dir / (std::to_string(count) + "-claimed.kdb");
    WriteFile(path, RawFile(SizeForWords(2), count, 77, 77));
    const std::string text = "Error, CPackedKDB file " + path + " claims " + std::to_string(count) +
                             " values but its size holds only 6.";
    ExpectRefused(path, text, text, SizeForWords(2));
    ExpectRefused(path, text, text, kRealSize);
  }

  // A file with no data words holds no values at all.
  const std::string bare = dir / "bare.kdb";
  WriteFile(bare, RawFile(40, 1, 5, 5));
  const std::string text =
      "Error, CPackedKDB file " + bare + " claims 1 values but its size holds only 0.";
  ExpectRefused(bare, text, text, SizeForWords(1));
}

// Headers changed over the data {1000, 1001, 1005}: a reader opens what only a
// full decode can fault but never reads a value that does not ascend; a
// writer decodes everything before it extends a file.
TEST(PackedKDBBadFiles, DataThatDoesNotAscendOrMatchItsHeaderIsRefused) {
  struct Case {
    uint32_t count;
    uint64_t first, last;
    size_t readable;  // values a reader gets; npos: both opens refused with readText
    std::string readText, writeText;  // after the name; "" for the end of the list
  };
  const std::string damaged = " is damaged: value 3 is not above the value before it.";
  const std::string above =
      " is damaged: value 2 is 1005, outside its header's values 1000 to 1004.";
  const Case cases[] = {
      {5, 1000, 1005, 3, damaged, damaged},  // count raised over zeroed words
      {3, 1000, 1004, 2, above, above},      // the header's last value below the data
      {3, 1000, ~0ull, 3, "", " gives 18446744073709551615 as its last value in the header, "
                              "but the last value stored is 1005."},
      {3, 2000, 1005, std::string::npos, " has its first value 2000 above its last value 1005.", ""},
      {0, 1000, 1005, std::string::npos, " holds no values: its count is 0.", ""},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    const std::string path = dir / (std::to_string(&c - cases) + ".kdb");
    const std::string prefix = "Error, CPackedKDB file " + path;
    WriteValues(path, {1000, 1001, 1005}, SizeForWords(2));
    std::string bytes = ReadFile(path);
    PutLE(bytes, 0, c.count, 4);
    PutLE(bytes, 8, c.first, 8);
    PutLE(bytes, 24, c.last, 8);
    WriteFile(path, bytes);
    if (c.readable == std::string::npos) {
      ExpectRefused(path, prefix + c.readText, prefix + c.readText, SizeForWords(4));
      continue;
    }
    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    ASSERT_TRUE(db.OpenForRead(error)) << error;
    uint64_t v = 0;
    for (size_t i = 0; i < c.readable; ++i) EXPECT_TRUE(db.ReadNext64KValue(v, error)) << i;
    EXPECT_FALSE(db.ReadNext64KValue(v, error));
    EXPECT_EQ(error, c.readText.empty() ? kReadOverflow : prefix + c.readText);
    EXPECT_FALSE(db.WriteOpenDB(SizeForWords(4), error));
    EXPECT_EQ(error, prefix + c.writeText);
    EXPECT_EQ(ReadFile(path), bytes);  // neither grown nor rewritten
  }
}

TEST(PackedKDBBadFiles, FoldersPipesAndDevicesAreRefused) {
  ScratchDir dir;
  const std::string folder = dir / "folder.kdb";
  std::filesystem::create_directory(folder);
  ExpectRefused(folder, "Error opening CPackedKDB file " + folder + "\n" + Sys(EISDIR),
                "Error in WriteOpenDB for PackedPrimeDB file " + folder + "\n" + Sys(EISDIR),
                SizeForWords(10));
  CPackedKDB db;
  db.SetFileName(folder);
  std::string error;
  EXPECT_FALSE(db.InitOpenNewFile(1, 0, SizeForWords(2), error));
  EXPECT_EQ(error,
            "Error in InitOpenNewFile for PackedPrimeDB file " + folder + "\n" + Sys(EEXIST));
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  // A named pipe with no writer must not leave the reader waiting.
  const std::string pipe = dir / "pipe.kdb";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ExpectRefused(pipe, "Error opening CPackedKDB file " + pipe + "\n" + Sys(ENODEV),
                "Error in WriteOpenDB for PackedPrimeDB file " + pipe + "\n" + Sys(ENODEV),
                SizeForWords(10));

  if (std::filesystem::exists("/dev/zero")) {
    db.SetFileName("/dev/zero");
    EXPECT_FALSE(db.OpenForRead(error));
    EXPECT_EQ(error, "Error opening CPackedKDB file /dev/zero\n" + Sys(ENODEV));
    ExpectClosed(db);
  }
}

TEST(PackedKDBBadFiles, FailedOpenClosesWhatWasOpenBefore) {
  ScratchDir dir;
  const std::string good = dir / "good.kdb";
  WriteValues(good, {1, 2, 3}, SizeForWords(1));
  CPackedKDB db;
  db.SetFileName(good);
  std::string error;
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  // The same object, a refused reopen: nothing of the good file may remain.
  EXPECT_FALSE(db.WriteOpenDB(SizeForWords(0), error));
  ExpectClosed(db);
  ASSERT_TRUE(db.OpenForRead(error)) << error;
  EXPECT_EQ(ReadValues(db), (std::vector<uint64_t>{1, 2, 3}));
}

}  // namespace
}  // namespace zentrova
