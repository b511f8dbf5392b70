#include "files/AtomicTextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zentrova {

AtomicTextFile::~AtomicTextFile() { Discard(); }

bool AtomicTextFile::Open() {
  Discard();
  if (m_target.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string pattern = m_target + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  // mkstemp creates 0600; output files are for sharing with testers.
  ::fchmod(fd, 0644);
  m_pStream = ::fdopen(fd, "wb");
  if (m_pStream == nullptr) {
    ::close(fd);
    ::unlink(name.data());
    return false;
  }
  m_temp = name.data();
  // Large buffered writes: candidate files can hold millions of lines.
  std::setvbuf(m_pStream, nullptr, _IOFBF, 1 << 20);
  return true;
}

bool AtomicTextFile::Commit() {
  if (m_pStream == nullptr) return false;
  bool ok = std::fflush(m_pStream) == 0 && std::ferror(m_pStream) == 0;
  ok = ok && ::fsync(::fileno(m_pStream)) == 0;
  ok = (std::fclose(m_pStream) == 0) && ok;
  m_pStream = nullptr;
  if (ok && std::rename(m_temp.c_str(), m_target.c_str()) == 0) {
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
  if (m_pStream != nullptr) {
    std::fclose(m_pStream);
    m_pStream = nullptr;
  }
  if (!m_temp.empty()) {
    ::unlink(m_temp.c_str());
    m_temp.clear();
  }
}

}  // namespace zentrova
