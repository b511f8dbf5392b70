#include "files/PackedKSequence.h"

#include <cstdlib>

#include "files/Format.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"

namespace zentrova {

std::string PackedKFileName(const std::string& dir, int ln, int number) {
  return StrFormat("%s/ln%dpi%.5d.pkk", dir.c_str(), ln, number);
}

int PackedKFileNumber(const std::string& name) {
  if (name.size() < 9) return 0;
  return ParseInt32At(name.substr(name.size() - 9, 5), 0);
}

bool StartPackedK(CPackedKDB& db, const std::string& dir, int ln, uint64_t& k, const LogFn& log) {
  db.SetFileName(PackedKFileName(dir, ln, 0));
  std::string error;
  if (!db.OpenForRead(error) || !db.Rewind() || !db.ReadNext64KValue(k, error)) {
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
    if (!db.OpenForRead(error)) {
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
  db.Close();
  log(StrFormat("Sequence file %s is completed.  Switching to next file.", finished.c_str()));
  const std::string next = PackedKFileName(dir, ln, PackedKFileNumber(finished) + 1);
  db.SetFileName(next);
  log(StrFormat("Using sequence file %s.", next.c_str()));
  std::string error;
  if (!db.OpenForRead(error)) {
    log(StrFormat(loop == PackedKLoop::kNormal ? "Sequence file %s could opened."
                                               : "Sequence file %s could not be opened.",
                  next.c_str()));
    log(error);
    return false;
  }
  db.Rewind();
  if (!db.ReadNext64KValue(k, error)) {
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

bool RollOverPackedKFile(CPackedKDB& db, const std::string& dir, int ln, uint64_t value,
                         const LogFn& log) {
  const std::string full = db.GetFileName();
  db.Close();
  log(StrFormat("Sequence file %s is full.  Switching to next file.", full.c_str()));
  const std::string next = PackedKFileName(dir, ln, PackedKFileNumber(full) + 1);
  db.SetFileName(next);
  std::string error;
  if (!db.InitOpenNewFile(value, 0, kPackedKFileBytes, error)) {
    log(StrFormat("Sequence file %s could not be initialized.", next.c_str()));
    log(error);
    return false;
  }
  db.Close();
  if (!db.WriteOpenDB(kPackedKFileBytes, error)) {
    log(StrFormat("Sequence file %s could not be opened.", next.c_str()));
    log(error);
    return false;
  }
  log(StrFormat("Continuing in new sequence file %s.", next.c_str()));
  return true;
}

}  // namespace zentrova
