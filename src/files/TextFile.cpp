#include "files/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zentrova {

namespace {

// Reads go through our own buffer so that a line end can be found with two
// memchr scans instead of a call per character.
constexpr size_t kReadBufferBytes = 1 << 16;

}  // namespace

bool CTextFile::Open(const char* mode) {
  Close();
  if (m_name.empty()) return false;
  m_stream = std::fopen(m_name.c_str(), mode);
  if (m_stream == nullptr) return false;
  struct stat st {};
  if (::fstat(::fileno(m_stream), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) &&
      !S_ISCHR(st.st_mode)) {
    Close();
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return false;
  }
  return true;
}

void CTextFile::Close() {
  if (m_stream != nullptr) {
    std::fclose(m_stream);
    m_stream = nullptr;
  }
  m_buffer.clear();
  m_begin = m_end = 0;
  m_readError = 0;
}

bool CTextFile::Fill() {
  if (m_readError != 0) return false;
  if (m_buffer.empty()) m_buffer.resize(kReadBufferBytes);
  m_begin = 0;
  m_end = std::fread(m_buffer.data(), 1, m_buffer.size(), m_stream);
  if (m_end == 0 && std::ferror(m_stream)) m_readError = errno != 0 ? errno : EIO;
  return m_end > 0;
}

bool CTextFile::ReadLine(std::string& line) {
  line.clear();
  if (m_stream == nullptr) return false;
  for (;;) {
    if (m_begin == m_end && !Fill()) return true;  // the end: line is the cut last line or ""
    const char* begin = m_buffer.data() + m_begin;
    const size_t length = m_end - m_begin;
    const char* stop = static_cast<const char*>(std::memchr(begin, '\n', length));
    const size_t scan = stop != nullptr ? static_cast<size_t>(stop - begin) : length;
    const char* cr = static_cast<const char*>(std::memchr(begin, '\r', scan));
    if (cr != nullptr) stop = cr;
    if (stop == nullptr) {
      line.append(begin, length);
      m_begin = m_end;
      continue;
    }
    line.append(begin, static_cast<size_t>(stop - begin));
    m_begin += static_cast<size_t>(stop - begin) + 1;
    if (*stop == '\r') {
      // "\r\n" is one line end, even when the buffer splits it.
      if (m_begin == m_end) Fill();
      if (m_begin < m_end && m_buffer[m_begin] == '\n') ++m_begin;
    }
    line.push_back('\n');
    return true;
  }
}

bool CTextFile::FileExists(const std::string& name) {
  if (name.empty()) return false;
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(name), ec);
}

bool CTextFile::TrimTornLastLine(const std::string& name, std::string& removed) {
  removed.clear();
  const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  // Walk back block by block to the last line end.
  off_t end = st.st_size;
  off_t keep = 0;
  std::string tail;
  char block[4096];
  while (end > 0) {
    const off_t start = end > static_cast<off_t>(sizeof block) ? end - sizeof block : 0;
    const auto length = static_cast<size_t>(end - start);
    if (::pread(fd, block, length, start) != static_cast<ssize_t>(length)) {
      const int err = errno != 0 ? errno : EIO;
      ::close(fd);
      errno = err;
      return false;
    }
    size_t i = length;
    while (i > 0 && block[i - 1] != '\n' && block[i - 1] != '\r') --i;
    tail.insert(0, block + i, length - i);
    if (i > 0) {
      keep = start + static_cast<off_t>(i);
      break;
    }
    end = start;
  }
  if (keep == st.st_size) {
    ::close(fd);
    return true;
  }
  if (::ftruncate(fd, keep) != 0 || ::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  ::close(fd);
  removed = std::move(tail);
  return true;
}

}  // namespace zentrova
