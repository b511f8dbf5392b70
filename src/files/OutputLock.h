// Claims the output files of one run: "<target>.lock" beside each target
// (beside the file its symbolic links lead to, where a save replaces it),
// held with an exclusive advisory lock (flock, LockFileEx) for as long as the run lasts.
// A second run that names the same output is refused instead of racing the
// first one to the last rename. The lock dies with its process, so a killed
// run never blocks the next one; a stale lock file is simply locked again.
//
// Taking the lock also proves, before any work is done, that a file can be
// created beside the target (which every save needs for its temporary file),
// and clears the temporary files that saves of an earlier, killed run left
// behind: while we hold the lock no one else can be writing them.
#pragma once

#include <string>

#include "platform/Files.h"

namespace zentrova {

class OutputLock {
 public:
  OutputLock() = default;
  ~OutputLock() { Release(); }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

  // False with a complete message in error: the target is held by another
  // run, is a folder, or no file can be created beside it.
  bool Acquire(const std::string& target, std::string& error);

  // Removes the lock file and drops the lock.
  void Release();

  // Temporary files removed by Acquire.
  int StaleRemoved() const { return m_staleRemoved; }
  // After a failed Acquire: whether another run holds the target (rather
  // than the target being a folder or its folder refusing new files).
  bool HeldByAnotherRun() const { return m_heldByAnotherRun; }

 private:
  std::string m_path;
  platform::FileLock m_lock;
  int m_staleRemoved = 0;
  bool m_heldByAnotherRun = false;
};

// The reader's side of the same lock: a shared lock on "<input>.lock" when
// that file exists, never creating it. Refused while a run holds the input as
// its output (it is being rewritten under the reader); while held, a run that
// would take the input as its output is refused instead, since its exclusive
// lock cannot be had. A missing lock file means that no run holds the input.
class InputLock {
 public:
  InputLock() = default;
  ~InputLock() { Release(); }
  InputLock(const InputLock&) = delete;
  InputLock& operator=(const InputLock&) = delete;

  // False with a complete message in error: the input is the output of a
  // run in progress, or its lock file cannot be read.
  bool Acquire(const std::string& input, std::string& error);

  // Drops the lock; the lock file stays (it is its owner's).
  void Release();

 private:
  platform::FileLock m_lock;
};

// True when both names lead to the same file: the same existing file (links
// included), or the same path once made absolute and normalised.
bool SameFile(const std::string& a, const std::string& b);

// The creation test of an output: whether a save could replace target, that
// is, whether target is not a folder and its folder takes a new file. Tried
// with a temporary file removed at once: an existing target is never opened,
// let alone truncated.
bool OutputCanBeCreated(const std::string& target);

// Removes "<target>.tmp.XXXXXX" files (the temporary files of atomic saves)
// beside target; returns how many.
int RemoveStaleTemporaries(const std::string& target);

}  // namespace zentrova
