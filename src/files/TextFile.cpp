#include "files/TextFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/Files.h"

namespace zentrova {

namespace {

// Reads go through our own buffer so that a line end can be found with two
// memchr scans instead of a call per character.
constexpr size_t kReadBufferBytes = 1 << 16;

}  // namespace

bool CTextFile::Open(const char* mode) {
  Close();
  if (m_name.empty()) return false;
  m_stream = platform::OpenStream(m_name, mode);
  if (m_stream == nullptr) {
    // (Windows opens no folder as a stream: said as elsewhere.)
    if (platform::IsFolder(m_name)) errno = EISDIR;
    return false;
  }
  const platform::StreamKind kind = platform::KindOf(m_stream);
  if (kind != platform::StreamKind::kStream) {
    Close();
    errno = kind == platform::StreamKind::kFolder ? EISDIR : ENODEV;
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
  return std::filesystem::exists(platform::FsPath(name), ec);
}

bool CTextFile::TrimTornLastLine(const std::string& name, std::string& removed) {
  removed.clear();
  platform::RandomAccessFile file;
  uint64_t size = 0;
  if (!file.Open(name) || !file.Size(size)) return false;
  // Walk back block by block to the last line end.
  uint64_t end = size;
  uint64_t keep = 0;
  std::string tail;
  char block[4096];
  while (end > 0) {
    const uint64_t start = end > sizeof block ? end - sizeof block : 0;
    const auto length = static_cast<size_t>(end - start);
    if (!file.ReadAt(block, length, start)) return false;
    size_t i = length;
    while (i > 0 && block[i - 1] != '\n' && block[i - 1] != '\r') --i;
    tail.insert(0, block + i, length - i);
    if (i > 0) {
      keep = start + i;
      break;
    }
    end = start;
  }
  if (keep == size) return true;
  if (!file.TruncateAndSync(keep)) return false;
  removed = std::move(tail);
  return true;
}

bool ReadNumberedLines(const std::string& path,
                       const std::function<bool(const std::string& line, int lineNo)>& visit,
                       int& readError) {
  CTextFile file(path);
  readError = 0;
  if (!file.OpenRead()) return false;
  std::string line;
  int lineNo = 0;
  while (file.ReadLine(line) && !line.empty() && visit(line, ++lineNo)) {
  }
  readError = file.ReadError();
  return true;
}

}  // namespace zentrova
