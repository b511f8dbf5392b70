#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Files.h"

namespace zentrova::platform {

std::FILE* OpenStream(const std::string& name, const char* mode) {
  std::string m = mode;
  m += 'e';  // O_CLOEXEC
  return std::fopen(name.c_str(), m.c_str());
}

StreamKind KindOf(std::FILE* stream) {
  struct stat st {};
  if (::fstat(::fileno(stream), &st) != 0) return StreamKind::kStream;
  if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
    return StreamKind::kStream;
  }
  return S_ISDIR(st.st_mode) ? StreamKind::kFolder : StreamKind::kOther;
}

bool SyncStream(std::FILE* stream) {
  return std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
}

std::FILE* CreateTemporaryBeside(const std::string& target, std::string& name) {
  std::string pattern = target + ".tmp.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  // mkstemp creates 0600; output files are for sharing with testers.
  ::fchmod(fd, 0644);
  std::FILE* stream = ::fdopen(fd, "wb");
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    ::unlink(buffer.data());
    errno = error;
    return nullptr;
  }
  name = buffer.data();
  return stream;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& name) { return ::unlink(name.c_str()) == 0; }

bool IsFolder(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::filesystem::path FsPath(const std::string& name) { return std::filesystem::path(name); }

std::string Utf8(const std::filesystem::path& path) { return path.string(); }

std::string MakeTemporaryFolder(const std::string& prefix) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  ::localtime_r(&t, &local);
  return local;
}

bool RandomAccessFile::Open(const std::string& name) {
  Close();
  const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  m_handle = fd;
  return true;
}

bool RandomAccessFile::Size(uint64_t& size) const {
  struct stat st {};
  if (::fstat(static_cast<int>(m_handle), &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool RandomAccessFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
  errno = 0;
  if (::pread(static_cast<int>(m_handle), buffer, length, static_cast<off_t>(offset)) ==
      static_cast<ssize_t>(length)) {
    return true;
  }
  if (errno == 0) errno = EIO;
  return false;
}

bool RandomAccessFile::TruncateAndSync(uint64_t size) {
  const int fd = static_cast<int>(m_handle);
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fsync(fd) == 0;
}

void RandomAccessFile::Close() {
  if (m_handle != -1) ::close(static_cast<int>(m_handle));
  m_handle = -1;
}

LockResult FileLock::Take(const std::string& path, bool exclusive, int& error, bool& opening) {
  Release();
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int fd = exclusive ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                             : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = errno;
      opening = true;
      return !exclusive && error == ENOENT ? LockResult::kNoFile : LockResult::kFailed;
    }
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      error = errno;
      opening = false;
      ::close(fd);
      return error == EWOULDBLOCK ? LockResult::kHeld : LockResult::kFailed;
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      m_handle = fd;
      return LockResult::kTaken;
    }
    ::close(fd);
  }
  return LockResult::kReplaced;
}

void FileLock::Release(const std::string& removePath) {
  if (m_handle == -1) return;
  if (!removePath.empty()) ::unlink(removePath.c_str());
  ::close(static_cast<int>(m_handle));
  m_handle = -1;
}

}  // namespace zentrova::platform
