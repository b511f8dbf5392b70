#include "files/TextFile.h"

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace zentrova {

bool CTextFile::Open(const char* mode) {
  Close();
  if (m_strName.empty()) return false;
  m_pStream = std::fopen(m_strName.c_str(), mode);
  return m_pStream != nullptr;
}

void CTextFile::Close() {
  if (m_pStream != nullptr) {
    std::fclose(m_pStream);
    m_pStream = nullptr;
  }
}

bool CTextFile::ReadLine(std::string& line) {
  line.clear();
  if (m_pStream == nullptr) return false;
  char* buffer = nullptr;
  size_t capacity = 0;
  const ssize_t n = ::getline(&buffer, &capacity, m_pStream);
  if (n > 0) line.assign(buffer, static_cast<size_t>(n));
  std::free(buffer);
  if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n') {
    line.erase(line.size() - 2, 1);
  } else if (!line.empty() && line.back() == '\r') {
    line.pop_back();  // the last line of a CR LF file without its LF
    if (line.empty()) line.push_back('\n');
  }
  return true;
}

bool CTextFile::FileExists(const std::string& name) {
  if (name.empty()) return false;
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(name), ec);
}

}  // namespace zentrova
