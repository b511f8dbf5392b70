#include "files/AtomicTextFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/Files.h"

namespace zentrova {

std::string SaveTarget(const std::string& name) {
  namespace fs = std::filesystem;
  // The kernel's own limit on links followed in one path.
  constexpr int kMaxLinks = 40;
  fs::path path = platform::FsPath(name);
  for (int links = 0; links < kMaxLinks; ++links) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec) return platform::Utf8(path);
    const fs::path to = fs::read_symlink(path, ec);
    if (ec) return platform::Utf8(path);
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  return name;
}

AtomicTextFile::~AtomicTextFile() { Discard(); }

bool AtomicTextFile::Open() {
  Discard();
  errno = 0;
  if (m_target.empty()) {
    errno = ENOENT;
    return false;
  }
  m_saved = SaveTarget(m_target);
  m_stream = platform::CreateTemporaryBeside(m_saved, m_temp);
  if (m_stream == nullptr) return false;
  // Large buffered writes: candidate files can hold millions of lines.
  std::setvbuf(m_stream, nullptr, _IOFBF, 1 << 20);
  return true;
}

bool AtomicTextFile::Finish() {
  if (m_stream == nullptr) return false;
  // errno was cleared at Open: a write that failed on the way (a full disk)
  // left its reason there, which the flush may not repeat.
  int reason = 0;
  if (std::fflush(m_stream) != 0 || std::ferror(m_stream) != 0) {
    reason = errno != 0 ? errno : EIO;
  } else if (!platform::SyncStream(m_stream)) {
    reason = errno != 0 ? errno : EIO;
  }
  if (std::fclose(m_stream) != 0 && reason == 0) reason = errno != 0 ? errno : EIO;
  m_stream = nullptr;
  if (reason == 0) {
    m_finished = true;
    return true;
  }
  platform::RemoveFile(m_temp);
  m_temp.clear();
  errno = reason;
  return false;
}

bool AtomicTextFile::Publish() {
  if (!m_finished || m_temp.empty()) return false;
  m_finished = false;
  if (platform::RenameOver(m_temp, m_saved)) {
    m_temp.clear();
    return true;
  }
  const int saved = errno;
  platform::RemoveFile(m_temp);
  m_temp.clear();
  errno = saved;
  return false;
}

void AtomicTextFile::Discard() {
  m_finished = false;
  if (m_stream != nullptr) {
    std::fclose(m_stream);
    m_stream = nullptr;
  }
  if (!m_temp.empty()) {
    const int saved = errno;
    platform::RemoveFile(m_temp);
    errno = saved;
    m_temp.clear();
  }
}

}  // namespace zentrova
