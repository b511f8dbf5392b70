#include "files/OutputLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "files/AtomicTextFile.h"
#include "files/StrFormat.h"

namespace zentrova {

namespace fs = std::filesystem;

namespace {

// How an attempt to lock a lock file ended.
enum class Lock { kTaken, kNoFile, kHeld, kFailed, kReplaced };

// Opens path (creating it for an exclusive lock) and takes the lock without
// waiting. The lock file can be removed by its owner between our open and our
// lock; the lock is ours only when the name still leads to the file we
// locked, so that is retried a few times. fd is set when taken; err is the
// errno of kFailed (open for kNoFile aside: a shared lock on no file is none).
Lock TakeLock(const std::string& path, bool exclusive, int& fd, int& err, bool& opening) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    fd = exclusive ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                   : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      err = errno;
      opening = true;
      return !exclusive && err == ENOENT ? Lock::kNoFile : Lock::kFailed;
    }
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      err = errno;
      opening = false;
      ::close(fd);
      fd = -1;
      return err == EWOULDBLOCK ? Lock::kHeld : Lock::kFailed;
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return Lock::kTaken;
    }
    ::close(fd);
    fd = -1;
  }
  return Lock::kReplaced;
}

}  // namespace

bool OutputLock::Acquire(const std::string& target, std::string& error) {
  Release();
  m_heldByAnotherRun = false;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = StrFormat("Output file %s is a folder.", target.c_str());
    return false;
  }
  // Beside the file a save replaces (the end of a symbolic link), so that
  // every name of one file takes one lock, and the temporary files cleared
  // are those its saves make.
  const std::string saved = SaveTarget(target);
  const std::string path = saved + ".lock";
  int fd = -1, err = 0;
  bool opening = false;
  switch (TakeLock(path, /*exclusive=*/true, fd, err, opening)) {
    case Lock::kTaken:
      m_fd = fd;
      m_path = path;
      m_staleRemoved = RemoveStaleTemporaries(saved);
      return true;
    case Lock::kHeld:
      m_heldByAnotherRun = true;
      error = StrFormat("Output file %s is in use by another run (%s is locked).", target.c_str(),
                        path.c_str());
      return false;
    case Lock::kNoFile:
    case Lock::kFailed:
      error = opening ? StrFormat("Unable to create a file beside output file %s: %s.",
                                  target.c_str(), std::strerror(err))
                      : StrFormat("Unable to lock %s: %s.", path.c_str(), std::strerror(err));
      return false;
    case Lock::kReplaced:
      break;
  }
  error = StrFormat("Unable to lock %s: it keeps being replaced.", path.c_str());
  return false;
}

void OutputLock::Release() {
  if (m_fd < 0) return;
  ::unlink(m_path.c_str());
  ::close(m_fd);
  m_fd = -1;
  m_path.clear();
}

bool InputLock::Acquire(const std::string& input, std::string& error) {
  Release();
  const std::string path = SaveTarget(input) + ".lock";
  int fd = -1, err = 0;
  bool opening = false;
  switch (TakeLock(path, /*exclusive=*/false, fd, err, opening)) {
    case Lock::kTaken:
      m_fd = fd;
      return true;
    case Lock::kNoFile:
      return true;  // no run writes it
    case Lock::kHeld:
      error = StrFormat("Input file %s is in use by another run (%s is locked): it is "
                        "being rewritten.",
                        input.c_str(), path.c_str());
      return false;
    case Lock::kFailed:
      error = opening ? StrFormat("Unable to tell whether input file %s is in use by a run: %s: %s.",
                                  input.c_str(), path.c_str(), std::strerror(err))
                      : StrFormat("Unable to lock %s: %s.", path.c_str(), std::strerror(err));
      return false;
    case Lock::kReplaced:
      break;
  }
  error = StrFormat("Unable to lock %s: it keeps being replaced.", path.c_str());
  return false;
}

void InputLock::Release() {
  if (m_fd < 0) return;
  ::close(m_fd);
  m_fd = -1;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  if (fs::equivalent(a, b, ec) && !ec) return true;
  ec.clear();
  const fs::path x = fs::weakly_canonical(fs::absolute(a, ec), ec);
  if (ec) return fs::path(a).lexically_normal() == fs::path(b).lexically_normal();
  const fs::path y = fs::weakly_canonical(fs::absolute(b, ec), ec);
  if (ec) return fs::path(a).lexically_normal() == fs::path(b).lexically_normal();
  return x == y;
}

bool OutputCanBeCreated(const std::string& target) {
  if (target.empty()) return false;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  // The name of a save's own temporary file, which a lock holder clears.
  std::string probe = SaveTarget(target) + ".tmp.XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

int RemoveStaleTemporaries(const std::string& target) {
  const fs::path path(target);
  const std::string prefix = path.filename().string() + ".tmp.";
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // mkstemp's six characters, and nothing else: never a file of the user's.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    std::error_code removeError;
    if (fs::remove(it->path(), removeError)) ++removed;
  }
  return removed;
}

}  // namespace zentrova
