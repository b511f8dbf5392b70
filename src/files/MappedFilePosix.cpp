#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>

#include "files/MappedFile.h"

namespace zentrova {

namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

// Closes fd and unlinks path if asked, keeping the errno of the failure that
// led here rather than one from the cleanup.
void Abandon(int fd, const std::string& path, bool unlink) {
  const int saved = errno;
  if (unlink) ::unlink(path.c_str());
  ::close(fd);
  errno = saved;
}

// Makes a new or changed entry of the folder holding path durable.
bool SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // Some file systems cannot sync a folder at all (EINVAL); there is nothing
  // more to be done on them.
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return ok;
}

}  // namespace

bool MappedFile::Open(const std::string& path, Access access) {
  Close();
  m_openFailure = OpenFailure::kSystem;
  int flags = O_CLOEXEC | O_NOCTTY;
  // Without O_NONBLOCK, opening a named pipe for reading would wait for a
  // writer forever; on regular files the flag changes nothing.
  flags |= O_NONBLOCK;
  int lock = LOCK_EX;
  switch (access) {
    case Access::kCreateExclusive:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      break;
    case Access::kReadWriteExclusive:
      flags |= O_RDWR;
      break;
    case Access::kReadShared:
      flags |= O_RDONLY;
      lock = LOCK_SH;
      break;
  }
  const bool creating = access == Access::kCreateExclusive;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;

  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Abandon(fd, path, creating);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    Abandon(fd, path, false);
    return false;
  }
  if (::flock(fd, lock | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) m_openFailure = OpenFailure::kInUse;
    // Someone opened the file between our create and our lock; the file is
    // ours and still empty, so it goes rather than lingering as debris.
    Abandon(fd, path, creating);
    return false;
  }
  m_openFailure = OpenFailure::kNone;
  m_path = path;
  m_fd = fd;
  m_writable = access != Access::kReadShared;
  return true;
}

bool MappedFile::FileSize(uint64_t& size) const {
  size = 0;
  struct stat st {};
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (::fstat(m_fd, &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool MappedFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    if (offset > kMaxOffset) {
      errno = EINVAL;
      return false;
    }
    const ssize_t n = ::pread(m_fd, out, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      // The file ended early: it shrank after its size was taken.
      errno = EIO;
      return false;
    }
    out += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool MappedFile::Extend(uint64_t size) {
  uint64_t current = 0;
  if (!FileSize(current)) return false;
  if (size > kMaxOffset) {
    errno = EFBIG;
    return false;
  }
  // Also for a file already long enough: one written by ftruncate alone is
  // sparse, and its holes are as dangerous as new length.
  int rc;
  do {
    rc = ::posix_fallocate(m_fd, 0, static_cast<off_t>(size));
  } while (rc == EINTR);
  if (rc == 0) return true;
  // A failed reservation may have grown the file part of the way.
  if (size > current) ::ftruncate(m_fd, static_cast<off_t>(current));
  errno = rc;
  return false;
}

bool MappedFile::MapView(uint64_t length) {
  const int prot = m_writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* p = ::mmap(nullptr, static_cast<size_t>(length), prot, MAP_SHARED, m_fd, 0);
  if (p == MAP_FAILED) return false;
  m_data = static_cast<uint8_t*>(p);
  m_mappedLength = length;
  return true;
}

bool MappedFile::Sync(bool wait) {
  if (m_data != nullptr &&
      ::msync(m_data, static_cast<size_t>(m_mappedLength), wait ? MS_SYNC : MS_ASYNC) != 0) {
    return false;
  }
  return !wait || m_fd < 0 || ::fsync(m_fd) == 0;
}

bool MappedFile::Unlink() {
  if (m_path.empty()) {
    errno = ENOENT;
    return false;
  }
  return ::unlink(m_path.c_str()) == 0;
}

bool MappedFile::Rename(const std::string& path) {
  if (m_path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    // Without RENAME_NOREPLACE (an older kernel, some file systems) the test
    // for an existing name and the rename are two steps.
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::access(path.c_str(), F_OK) == 0) {
      errno = EEXIST;
      return false;
    }
    if (std::rename(m_path.c_str(), path.c_str()) != 0) return false;
  }
  m_path = path;
  return SyncFolderOf(path);
}

void MappedFile::Unmap() {
  if (m_data != nullptr) {
    ::munmap(m_data, static_cast<size_t>(m_mappedLength));
    m_data = nullptr;
    m_mappedLength = 0;
  }
}

void MappedFile::Close() {
  const int saved = errno;
  Unmap();
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  m_writable = false;
  m_path.clear();
  errno = saved;
}

}  // namespace zentrova
