#include "files/AtomicTextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace zentrova {

std::string SaveTarget(const std::string& name) {
  namespace fs = std::filesystem;
  // The kernel's own limit on links followed in one path.
  constexpr int kMaxLinks = 40;
  fs::path path(name);
  for (int links = 0; links < kMaxLinks; ++links) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec) return path.string();
    const fs::path to = fs::read_symlink(path, ec);
    if (ec) return path.string();
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
  std::string pattern = m_saved + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  // mkstemp creates 0600; output files are for sharing with testers.
  ::fchmod(fd, 0644);
  m_stream = ::fdopen(fd, "wb");
  if (m_stream == nullptr) {
    ::close(fd);
    ::unlink(name.data());
    return false;
  }
  m_temp = name.data();
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
  } else if (::fsync(::fileno(m_stream)) != 0) {
    reason = errno;
  }
  if (std::fclose(m_stream) != 0 && reason == 0) reason = errno != 0 ? errno : EIO;
  m_stream = nullptr;
  if (reason == 0) {
    m_finished = true;
    return true;
  }
  ::unlink(m_temp.c_str());
  m_temp.clear();
  errno = reason;
  return false;
}

bool AtomicTextFile::Publish() {
  if (!m_finished || m_temp.empty()) return false;
  m_finished = false;
  if (std::rename(m_temp.c_str(), m_saved.c_str()) == 0) {
    m_temp.clear();
    return true;
  }
  const int saved = errno;
  ::unlink(m_temp.c_str());
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
    ::unlink(m_temp.c_str());
    m_temp.clear();
  }
}

}  // namespace zentrova
