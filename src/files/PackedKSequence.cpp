#include "files/PackedKSequence.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "math/Fermat128.h"
#include "files/PNumber.h"
#include "files/StrFormat.h"
#include "files/MappedFile.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "math/FactorCandidates.h"
#include "math/ModArith.h"
#include "math/WheelTables.h"
#include "platform/Files.h"

namespace zentrova {

namespace {

constexpr char kTempSuffix[] = ".tmp";

// "ln<ln>pi<nnnnn>.pkk.tmp": only names of this sequence, so that a writer
// never touches the files of another exponent or anyone else's.
bool IsTempOfSequence(const std::string& file, int ln) {
  const std::string prefix = StrFormat("ln%dpi", ln);
  const std::string suffix = std::string(".pkk") + kTempSuffix;
  if (file.size() != prefix.size() + 5 + suffix.size()) return false;
  if (file.compare(0, prefix.size(), prefix) != 0) return false;
  if (file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  return std::all_of(file.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                     file.begin() + static_cast<std::ptrdiff_t>(prefix.size() + 5),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Removes the temporary files of the sequence that no process holds. A
// folder that cannot be listed is left to the file operations that follow,
// which report it.
bool RemoveTempFiles(const std::string& dir, int ln, const LogFn& log, std::string& error) {
  std::vector<std::string> temps;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(platform::FsPath(dir), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string file = platform::Utf8(it->path().filename());
    if (IsTempOfSequence(file, ln)) temps.push_back(StrFormat("%s/%s", dir.c_str(), file.c_str()));
  }
  std::sort(temps.begin(), temps.end());
  for (const std::string& temp : temps) {
    MappedFile file;
    if (!file.Open(temp, MappedFile::Access::kReadWriteExclusive)) continue;
    if (!file.Unlink()) {
      error = StrFormat("Error removing temporary file %s\n%s", temp.c_str(), std::strerror(errno));
      return false;
    }
    log(StrFormat("Removed %s, left behind by an interrupted file creation.", temp.c_str()));
  }
  return true;
}

// OpenForRead, and the last value within reach of a sieve.
bool OpenChecked(CPackedKDB& db, int ln, std::string& error) {
  if (db.OpenForRead(error) && CheckPackedKLastValue(db, ln, error)) return true;
  db.Close();
  return false;
}

// The generator's wheel, built once for every reader of every sequence.
const WheelTables& Wheel() {
  static const WheelTables tables;
  return tables;
}

// WheelTables::Passes for p above 61 (none of the wheel's primes itself),
// with the moduli known to the compiler: a multiplication each rather than a
// division.
template <int... T>
bool PassesWheelAbove61(const WheelTables& wheel, uint64_t p,
                        std::integer_sequence<int, T...> /*tables*/) {
  auto passes = [&](const WheelTable& table, uint64_t r) {
    return ((table.bits[r >> 5] >> (r & 31)) & 1) != 0;
  };
  return (passes(wheel.Table(T), p % WheelTables::kModuli[T]) && ...);
}

bool PassesWheel(uint64_t p) {
  const WheelTables& wheel = Wheel();
  if (p <= 61) return wheel.Passes(p);
  return PassesWheelAbove61(wheel, p, std::make_integer_sequence<int, WheelTables::kTables>());
}

// The same for p of any width: p mod the product of the wheel's moduli
// leaves every residue the tables look at unchanged.
bool PassesWheel(UInt128 p) {
  if ((p >> 64) == 0) return PassesWheel(static_cast<uint64_t>(p));
  const WheelTables& wheel = Wheel();
  for (int t = 0; t < WheelTables::kTables; ++t) {
    const uint32_t r = static_cast<uint32_t>(p % WheelTables::kModuli[t]);
    if (((wheel.Table(t).bits[r >> 5] >> (r & 31)) & 1) == 0) return false;
  }
  return true;
}

// The least prime from 3 to 61 that divides p, for the message of a value
// the wheel refuses.
uint32_t SmallFactor(UInt128 p) {
  for (int t = 0; t < WheelTables::kTables; ++t) {
    for (uint32_t q : WheelPrimes(t)) {
      if (p % q == 0) return q;
    }
  }
  return 0;
}

// The base-2 Fermat test of the generator, in one word or two.
bool PassesFermat(UInt128 p) {
  bool pass = false;
  if (p < kFermatOneWordLimit) {
    const auto narrow = static_cast<uint64_t>(p);
    FermatBatchScalar(&narrow, 1, &pass);
  } else {
    FermatBatchScalar128(&p, 1, &pass);
  }
  return pass;
}

}  // namespace

std::string PackedKFileName(const std::string& dir, int ln, int number) {
  return StrFormat("%s/ln%dpi%.5d.pkk", dir.c_str(), ln, number);
}

std::string PackedKTempName(const std::string& name) {
  return name + kTempSuffix;
}

int PackedKFileNumber(const std::string& name) {
  if (name.size() < 9) return 0;
  return ParseInt32At(name.substr(name.size() - 9, 5), 0);
}

bool CheckPackedKValue(const CPackedKDB& db, int ln, uint64_t index, uint64_t k,
                       std::string& error) {
  const auto shift = static_cast<unsigned>(std::clamp(ln + 1, 1, 31));
  const UInt128 p = (static_cast<UInt128>(k) << shift) + 1;
  std::string why;
  if (k == 0 || k >= static_cast<uint64_t>(kKLimit)) {
    why = "has k outside 1 to 2^63 - 257";
  } else if (!PassesWheel(p)) {
    why = StrFormat("is divisible by %u", SmallFactor(p));
  } else {
    // The generator's portable tests; its vector tests give the same answers.
    if (PassesFermat(p)) return true;
    why = "fails the base-2 Fermat test";
  }
  const std::string pText = PToString(p);
  error = StrFormat("Error, CPackedKDB file %s is damaged: value %" PRIu64 " is k = %" PRIu64
                    ", no factor candidate: p = k*2^%d+1 = %s %s.",
                    db.GetFileName().c_str(), index, k, ln + 1, pText.c_str(), why.c_str());
  return false;
}

size_t CheckPackedKValues(const CPackedKDB& db, int ln, uint64_t first, const uint64_t* ks,
                          size_t n, FermatBatchFn fermat, std::string& error) {
  if (fermat == nullptr) fermat = &FermatBatchScalar;
  const auto shift = static_cast<unsigned>(std::clamp(ln + 1, 1, 31));
  constexpr size_t kBatch = 64;
  uint64_t p[kBatch];
  bool pass[kBatch];
  bool inWheel[kBatch];
  for (size_t at = 0; at < n; at += kBatch) {
    const size_t m = std::min(kBatch, n - at);
    for (size_t j = 0; j < m; ++j) {
      const uint64_t k = ks[at + j];
      const UInt128 wide = (static_cast<UInt128>(k) << shift) + 1;
      // Lanes of two words, or refused already, go to the one-by-one check
      // below; the batch test sees a modulus that passes in their place.
      inWheel[j] = k != 0 && wide < kFermatOneWordLimit && PassesWheel(static_cast<uint64_t>(wide));
      p[j] = inWheel[j] ? static_cast<uint64_t>(wide) : 3;
    }
    fermat(p, static_cast<int>(m), pass);
    for (size_t j = 0; j < m; ++j) {
      if (inWheel[j] && pass[j]) continue;
      if (!CheckPackedKValue(db, ln, first + at + j, ks[at + j], error)) return at + j;
    }
  }
  return n;
}

bool ReadPackedKValue(CPackedKDB& db, int ln, uint64_t& k, std::string& error) {
  uint64_t value = 0;
  if (!db.ReadNext64KValue(value, error) ||
      !CheckPackedKValue(db, ln, db.ValuesRead() - 1, value, error)) {
    return false;
  }
  k = value;
  return true;
}

bool StartPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t& k, const LogFn& log) {
  db.SetFileName(PackedKFileName(dir, ln, 0));
  std::string error;
  if (!OpenChecked(db, ln, error) || !db.Rewind() || !ReadPackedKValue(db, ln, k, error)) {
    log(error);
    db.Close();
    return false;
  }
  return true;
}

bool SeekPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t k, uint64_t& found,
                 const LogFn& log) {
  std::string error;
  for (int n = 0;; ++n) {
    db.SetFileName(PackedKFileName(dir, ln, n));
    if (!OpenChecked(db, ln, error)) {
      log(StrFormat("Sequence file %s could not be read.", db.GetFileName().c_str()));
      log(error);
      return false;
    }
    uint64_t last = 0;
    db.LastValue(last);
    if (last >= k) break;
    db.Close();
  }
  db.Rewind();
  // The values passed over are not sieved, and not checked either (that
  // would cost a Fermat test each, for up to a whole file): only the one
  // found, which is.
  bool read = true;
  do {
    read = db.ReadNext64KValue(found, error);
  } while (read && found < k);
  if (!read || !CheckPackedKValue(db, ln, db.ValuesRead() - 1, found, error)) {
    log(StrFormat("Sequence file %s read error.", db.GetFileName().c_str()));
    log(error);
    db.Close();
    return false;
  }
  return true;
}

bool NextPackedKFile(CPackedKDB& db, const std::string& dir, int ln, PackedKLoop loop,
                     uint64_t& k, const LogFn& log, const LogFn& fail) {
  const std::string finished = db.GetFileName();
  uint64_t before = 0;
  db.LastValue(before);
  db.Close();
  log(StrFormat("Sequence file %s is completed.  Switching to next file.", finished.c_str()));
  const std::string next = PackedKFileName(dir, ln, PackedKFileNumber(finished) + 1);
  db.SetFileName(next);
  log(StrFormat("Using sequence file %s.", next.c_str()));
  std::string error;
  const bool opened = db.OpenForRead(error);
  if (!opened && (db.LastFailure() == PackedKFailure::kMissing ||
                  db.LastFailure() == PackedKFailure::kInUse)) {
    // No next file yet, or one its writer still holds: the sequence ends here.
    log(StrFormat(loop == PackedKLoop::kNormal ? "Sequence file %s could opened."
                                               : "Sequence file %s could not be opened.",
                  next.c_str()));
    log(error);
    return false;
  }
  // A file that is there but damaged, unreadable or beyond a sieve's reach
  // would silently cut the sequence short: the run fails on it instead.
  bool read = opened && CheckPackedKLastValue(db, ln, error) && db.Rewind() &&
              ReadPackedKValue(db, ln, k, error);
  // A file that goes back (one a writer restarted from k = 0) would have the
  // sieve repeat the p it has done.
  if (read && k <= before) {
    error = StrFormat("Error, CPackedKDB file %s starts with %" PRIu64
                      ", not above the last value %" PRIu64 " of %s.",
                      next.c_str(), k, before, finished.c_str());
    read = false;
  }
  if (!read) {
    fail(StrFormat(loop == PackedKLoop::kNormal ? "Sequence file %s could not read."
                                                : "Sequence file %s could not be read.",
                   next.c_str()));
    fail(error);
    db.Close();
    return false;
  }
  return true;
}

int FindLastPackedKFile(const std::string& dir, int ln, std::string& name, const LogFn& log) {
  const std::string first = PackedKFileName(dir, ln, 0);
  if (!CTextFile::FileExists(first)) {
    log(StrFormat("Sequence file %s does not exist.  Starting new sequence.", first.c_str()));
    name.clear();
    return -1;
  }
  log(StrFormat("Sequence file %s found.  Extending sequence.", first.c_str()));
  int n = 1;
  while (n < 100000 && CTextFile::FileExists(PackedKFileName(dir, ln, n))) ++n;
  name = PackedKFileName(dir, ln, n - 1);
  log(StrFormat("Resuming with sequence file %s.", name.c_str()));
  return n - 1;
}

bool PreparePackedKSequence(const std::string& dir, int ln, int& last, std::string& name,
                            const LogFn& log, std::string& error) {
  if (!RemoveTempFiles(dir, ln, log, error)) return false;
  last = FindLastPackedKFile(dir, ln, name, log);
  if (last < 0) return true;
  CPackedKDB db;
  db.SetFileName(name);
  bool removed = false;
  std::string why;
  if (!db.RemoveIfHoldsNoValue(removed, why, error)) return false;
  if (!removed) return true;
  // The file before it was full when the creation began, and rolls over
  // again at its first new value.
  log(StrFormat("Sequence file %s holds no values (%s); removed it.", name.c_str(), why.c_str()));
  if (--last < 0) {
    name.clear();
    log("Starting new sequence.");
    return true;
  }
  name = PackedKFileName(dir, ln, last);
  log(StrFormat("Resuming with sequence file %s.", name.c_str()));
  return true;
}

bool CreatePackedKFile(CPackedKDB& db, const std::string& name, uint64_t value,
                       uint64_t fileBytes, std::string& error) {
  // Complete under the temporary name (space reserved, header on disk), then
  // renamed: a crash leaves either no file of this name or a usable one.
  db.SetFileName(PackedKTempName(name));
  return db.InitOpenNewFile(value, 0, fileBytes, error) && db.Publish(name, error);
}

bool CheckPackedKLastValue(const CPackedKDB& db, int ln, std::string& error) {
  uint64_t last = 0;
  db.LastValue(last);
  if (last < static_cast<uint64_t>(kKLimit)) return true;
  error = StrFormat("Error, CPackedKDB file %s ends with k = %" PRIu64
                    ", not below 2^63 - 256, the bound of every sieve (p = k*2^%d+1).",
                    db.GetFileName().c_str(), last, ln + 1);
  return false;
}

bool RollOverPackedKFile(CPackedKDB& db, const std::string& dir, int ln, uint64_t value,
                         uint64_t fileBytes, const LogFn& log, const LogFn& fail) {
  const std::string full = db.GetFileName();
  db.Close();
  log(StrFormat("Sequence file %s is full.  Switching to next file.", full.c_str()));
  const std::string next = PackedKFileName(dir, ln, PackedKFileNumber(full) + 1);
  std::string error;
  if (!CreatePackedKFile(db, next, value, fileBytes, error)) {
    fail(StrFormat("Sequence file %s could not be initialized.", next.c_str()));
    fail(error);
    return false;
  }
  log(StrFormat("Continuing in new sequence file %s.", next.c_str()));
  return true;
}

}  // namespace zentrova
