#include "files/PackedKSequence.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "files/Format.h"
#include "files/MappedFile.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"
#include "math/ModArith.h"

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
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string file = it->path().filename().string();
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

bool StartPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t& k, const LogFn& log) {
  db.SetFileName(PackedKFileName(dir, ln, 0));
  std::string error;
  if (!OpenChecked(db, ln, error) || !db.Rewind() || !db.ReadNext64KValue(k, error)) {
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
  do {
    if (!db.ReadNext64KValue(found, error)) {
      log(StrFormat("Sequence file %s read error.", db.GetFileName().c_str()));
      log(error);
      db.Close();
      return false;
    }
  } while (found < k);
  return true;
}

bool NextPackedKFile(CPackedKDB& db, const std::string& dir, int ln, PackedKLoop loop,
                     uint64_t& k, const LogFn& log) {
  const std::string finished = db.GetFileName();
  uint64_t before = 0;
  db.LastValue(before);
  db.Close();
  log(StrFormat("Sequence file %s is completed.  Switching to next file.", finished.c_str()));
  const std::string next = PackedKFileName(dir, ln, PackedKFileNumber(finished) + 1);
  db.SetFileName(next);
  log(StrFormat("Using sequence file %s.", next.c_str()));
  std::string error;
  if (!OpenChecked(db, ln, error)) {
    log(StrFormat(loop == PackedKLoop::kNormal ? "Sequence file %s could opened."
                                               : "Sequence file %s could not be opened.",
                  next.c_str()));
    log(error);
    return false;
  }
  db.Rewind();
  bool read = db.ReadNext64KValue(k, error);
  // A file that goes back (one a writer restarted from k = 0) would have the
  // sieve repeat the p it has done.
  if (read && k <= before) {
    error = StrFormat("Error, CPackedKDB file %s starts with %" PRIu64
                      ", not above the last value %" PRIu64 " of %s.",
                      next.c_str(), k, before, finished.c_str());
    read = false;
  }
  if (!read) {
    log(StrFormat(loop == PackedKLoop::kNormal ? "Sequence file %s could not read."
                                               : "Sequence file %s could not be read.",
                  next.c_str()));
    log(error);
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
  const auto shift = static_cast<unsigned>(std::clamp(ln + 1, 1, 64));
  const unsigned __int128 p = (static_cast<unsigned __int128>(last) << shift) + 1;
  if (p < kMaxModulus) return true;
  error = StrFormat("Error, CPackedKDB file %s ends with k = %" PRIu64
                    ", whose p = k*2^%d+1 is not below 2^61.",
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
