// The packed K files on any bytes: CPackedKDB's reader and writer and the
// sequence functions that read files (StartPackedK, NextPackedKFile,
// SeekPackedK, FindLastPackedKFile, PreparePackedKSequence).
//
// Input: a byte for ln (1 + byte % 30), two bytes of an offset for the seek,
// then file 0 of the sequence and, after "NEXT", file 1.
//
// A file is refused with a message, or each value read lies above the one
// before, from the header's first value up to its last one, until reading
// ends: at the count (the normal end) or with a message at damage. The writer
// takes a file exactly when it reads through to the header's last value, and
// a value it appends reads back behind the others. The sequence functions
// give the values the file reader gives, and only those that are factor
// candidates (by a rule of this file's own: trial division by the primes
// from 3 to 61 and a base-2 Fermat test).
#include "FuzzUtil.h"
#include "files/PackedKSequence.h"
#include "math/ModArith.h"

using namespace zentrova;

namespace {

uint64_t LoadLE(const std::string& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width && offset + i < bytes.size(); ++i) {
    value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

struct FileRead {
  bool opened = false;
  bool complete = false;  // read through to the count
  uint64_t last = 0;      // the header's last value
  std::vector<uint64_t> values;
};

FileRead ReadAll(const std::string& path, const std::string& bytes) {
  FileRead read;
  CPackedKDB db;
  db.SetFileName(path);
  std::string error;
  read.opened = db.OpenForRead(error);
  if (!read.opened) {
    FUZZ_CHECK(!error.empty() && !db.IsOpen());
    return read;
  }
  db.LastValue(read.last);
  FUZZ_CHECK(db.Count() >= 1 && db.Count() <= db.Capacity());
  FUZZ_CHECK(LoadLE(bytes, 8, 8) <= read.last);
  uint64_t value = 0;
  while (db.ReadNext64KValue(value, error)) {
    FUZZ_CHECK(read.values.empty() ? value == LoadLE(bytes, 8, 8) : value > read.values.back());
    FUZZ_CHECK(value <= read.last);
    read.values.push_back(value);
  }
  read.complete = db.Exhausted();
  FUZZ_CHECK(read.complete
                 ? read.values.size() == db.Count() &&
                       error == "File read overflow in ReadNext64KValue"
                 : read.values.size() < db.Count() && error.find(path) != std::string::npos);
  return read;
}

// Whether p = k*2^(ln+1)+1 is a factor candidate: below 2^61, no prime factor
// from 3 to 61 unless it is that prime, and 2^(p-1) == 1 (mod p).
bool IsCandidate(uint64_t k, int ln) {
  const unsigned __int128 wide = (static_cast<unsigned __int128>(k) << (ln + 1)) + 1;
  if (k == 0 || wide >= kMaxModulus) return false;
  const auto p = static_cast<uint64_t>(wide);
  for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61}) {
    if (p == q) return true;
    if (p % q == 0) return false;
  }
  return PowModExact(2, p - 1, p) == 1;
}

// What StartPackedK needs: the file opens, its first value reads and is a
// factor candidate, and its last value is within a sieve's reach.
bool Usable(const FileRead& read, int ln) {
  return read.opened && !read.values.empty() && IsCandidate(read.values[0], ln) &&
         (static_cast<unsigned __int128>(read.last) << (ln + 1)) + 1 < kMaxModulus;
}

bool HoldsNoValue(const std::string& bytes) {
  return bytes.size() < CPackedKDB::kHeaderBytes || LoadLE(bytes, 0, 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int ln = 1 + data[0] % 30;
  const uint64_t offset = data[1] | (data[2] << 8);
  const std::string rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  const size_t marker = rest.find("NEXT");
  const std::string bytes0 = rest.substr(0, marker);
  const bool two = marker != std::string::npos;
  const std::string bytes1 = two ? rest.substr(marker + 4) : "";

  fuzz::Scratch::Get().Reset();
  const std::string dir = fuzz::Scratch::Get() / "seq";
  fuzz::fs::create_directories(dir);
  const std::string f0 = PackedKFileName(dir, ln, 0), f1 = PackedKFileName(dir, ln, 1);
  fuzz::WriteFile(f0, bytes0);
  if (two) fuzz::WriteFile(f1, bytes1);
  const FileRead r0 = ReadAll(f0, bytes0);
  const FileRead r1 = two ? ReadAll(f1, bytes1) : FileRead{};
  const LogFn ignore = [](const std::string&) {};

  CPackedKDB db;
  uint64_t k = 0;
  std::string error;
  const bool started = StartPackedK(db, dir, ln, k, ignore);
  FUZZ_CHECK(started == Usable(r0, ln));
  if (started) {
    FUZZ_CHECK(k == r0.values[0]);
    for (size_t i = 1; i < r0.values.size(); ++i) {
      FUZZ_CHECK(db.ReadNext64KValue(k, error) && k == r0.values[i]);
    }
    FUZZ_CHECK(!db.ReadNext64KValue(k, error) && db.Exhausted() == r0.complete);
    if (r0.complete && two) {
      const bool next = NextPackedKFile(db, dir, ln, PackedKLoop::kWide, k, ignore, ignore);
      FUZZ_CHECK(next == (Usable(r1, ln) && r1.values[0] > r0.last));
      if (next) FUZZ_CHECK(k == r1.values[0]);
    }
  }
  db.Close();

  const uint64_t target = (r0.values.empty() ? 0 : r0.values[0]) + offset;
  uint64_t found = 0;
  if (SeekPackedK(db, dir, ln, target, found, ignore)) {
    const std::vector<uint64_t>& in = db.GetFileName() == f0 ? r0.values : r1.values;
    FUZZ_CHECK(found >= target && std::find(in.begin(), in.end(), found) != in.end());
    FUZZ_CHECK(IsCandidate(found, ln));
  }
  db.Close();
  std::string name;
  FUZZ_CHECK(FindLastPackedKFile(dir, ln, name, ignore) == (two ? 1 : 0));

  // The writer continues a copy of file 0, with room for a few more values.
  const std::string copy = fuzz::Scratch::Get() / "copy.pkk";
  fuzz::WriteFile(copy, bytes0);
  CPackedKDB writer;
  writer.SetFileName(copy);
  const bool taken = writer.WriteOpenDB(bytes0.size() + 8, error);
  FUZZ_CHECK(taken == (r0.opened && r0.complete && r0.values.back() == r0.last));
  if (taken) {
    FUZZ_CHECK(writer.WriteNew64KValue(r0.last + 1, error) || r0.last + 1 == 0);
    writer.Close();
    const FileRead again = ReadAll(copy, fuzz::ReadFile(copy));
    std::vector<uint64_t> expected = r0.values;
    if (r0.last + 1 != 0) expected.push_back(r0.last + 1);
    FUZZ_CHECK(again.complete && again.values == expected);
  }

  // The writer's start clears away a last file that holds no value.
  int last = -2;
  FUZZ_CHECK(PreparePackedKSequence(dir, ln, last, name, ignore, error));
  const bool dropped = HoldsNoValue(two ? bytes1 : bytes0);
  FUZZ_CHECK(last == (two ? 1 : 0) - (dropped ? 1 : 0));
  FUZZ_CHECK(fuzz::fs::exists(two ? f1 : f0) == !dropped);
  return 0;
}
