#include "files/OutputLock.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "files/AtomicTextFile.h"
#include "files/StrFormat.h"
#include "platform/Files.h"

namespace zentrova {

namespace fs = std::filesystem;

using platform::LockResult;

namespace {

std::string UnableToLock(const std::string& path, int err) {
  return StrFormat("Unable to lock %s: %s.", path.c_str(), std::strerror(err));
}

// After a lock file was replaced under every try to take it.
bool KeptBeingReplaced(const std::string& path, std::string& error) {
  error = StrFormat("Unable to lock %s: it keeps being replaced.", path.c_str());
  return false;
}

}  // namespace

bool OutputLock::Acquire(const std::string& target, std::string& error) {
  Release();
  m_heldByAnotherRun = false;
  if (platform::IsFolder(target)) {
    error = StrFormat("Output file %s is a folder.", target.c_str());
    return false;
  }
  // Beside the file a save replaces (the end of a symbolic link), so that
  // every name of one file takes one lock, and the temporary files cleared
  // are those its saves make.
  const std::string saved = SaveTarget(target);
  const std::string path = saved + ".lock";
  int err = 0;
  bool opening = false;
  switch (m_lock.Take(path, /*exclusive=*/true, err, opening)) {
    case LockResult::kTaken:
      m_path = path;
      m_staleRemoved = RemoveStaleTemporaries(saved);
      return true;
    case LockResult::kHeld:
      m_heldByAnotherRun = true;
      error = StrFormat("Output file %s is in use by another run (%s is locked).", target.c_str(),
                        path.c_str());
      return false;
    case LockResult::kNoFile:
    case LockResult::kFailed:
      error = opening ? StrFormat("Unable to create a file beside output file %s: %s.",
                                  target.c_str(), std::strerror(err))
                      : UnableToLock(path, err);
      return false;
    case LockResult::kReplaced:
      break;
  }
  return KeptBeingReplaced(path, error);
}

void OutputLock::Release() {
  if (!m_lock.Held()) return;
  m_lock.Release(m_path);
  m_path.clear();
}

bool InputLock::Acquire(const std::string& input, std::string& error) {
  Release();
  const std::string path = SaveTarget(input) + ".lock";
  int err = 0;
  bool opening = false;
  switch (m_lock.Take(path, /*exclusive=*/false, err, opening)) {
    case LockResult::kTaken:
      return true;
    case LockResult::kNoFile:
      return true;  // no run writes it
    case LockResult::kHeld:
      error = StrFormat(
          "Input file %s is in use by another run (%s is locked): it is "
          "being rewritten.",
          input.c_str(), path.c_str());
      return false;
    case LockResult::kFailed:
      error = opening
                  ? StrFormat("Unable to tell whether input file %s is in use by a run: %s: %s.",
                              input.c_str(), path.c_str(), std::strerror(err))
                  : UnableToLock(path, err);
      return false;
    case LockResult::kReplaced:
      break;
  }
  return KeptBeingReplaced(path, error);
}

void InputLock::Release() {
  m_lock.Release();
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  const fs::path pa = platform::FsPath(a);
  const fs::path pb = platform::FsPath(b);
  std::error_code ec;
  if (fs::equivalent(pa, pb, ec) && !ec) return true;
  ec.clear();
  const fs::path x = fs::weakly_canonical(fs::absolute(pa, ec), ec);
  if (ec) return pa.lexically_normal() == pb.lexically_normal();
  const fs::path y = fs::weakly_canonical(fs::absolute(pb, ec), ec);
  if (ec) return pa.lexically_normal() == pb.lexically_normal();
  return x == y;
}

bool OutputCanBeCreated(const std::string& target) {
  if (target.empty()) return false;
  if (platform::IsFolder(target)) return false;
  // The name of a save's own temporary file, which a lock holder clears.
  std::string probe;
  std::FILE* stream = platform::CreateTemporaryBeside(SaveTarget(target), probe);
  if (stream == nullptr) return false;
  std::fclose(stream);
  platform::RemoveFile(probe);
  return true;
}

int RemoveStaleTemporaries(const std::string& target) {
  const fs::path path = platform::FsPath(target);
  const std::string prefix = platform::Utf8(path.filename()) + ".tmp.";
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = platform::Utf8(it->path().filename());
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
