#include <windows.h>

#include <cerrno>
#include <limits>

#include "files/MappedFile.h"
#include "platform/Utf8.h"

namespace zentrova {

namespace {

using platform::ErrnoOf;

bool Failed() {
  errno = ErrnoOf(::GetLastError());
  return false;
}

HANDLE H(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The lock covers one byte far beyond any data: Windows' locks bar reads and
// writes of the range they cover, and the lock is only a flag between runs.
constexpr DWORD kLockLow = 0xFFFFFFFEu;
constexpr DWORD kLockHigh = 0x7FFFFFFFu;

}  // namespace

bool MappedFile::Open(const std::string& path, Access access) {
  Close();
  m_openFailure = OpenFailure::kSystem;
  const bool creating = access == Access::kCreateExclusive;
  const bool writable = access != Access::kReadShared;
  const std::wstring wide = platform::Widen(path);
  HANDLE h = ::CreateFileW(wide.c_str(), writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           creating ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    errno = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ? EISDIR
                : ErrnoOf(error);
    return false;
  }
  const auto abandon = [&] {
    const int saved = errno;
    ::CloseHandle(h);
    if (creating) ::DeleteFileW(wide.c_str());
    errno = saved;
  };
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    errno = ENODEV;
    abandon();
    return false;
  }
  OVERLAPPED at{};
  at.Offset = kLockLow;
  at.OffsetHigh = kLockHigh;
  const DWORD flags = (writable ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  if (!::LockFileEx(h, flags, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
      m_openFailure = OpenFailure::kInUse;
    }
    errno = error == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : ErrnoOf(error);
    abandon();
    return false;
  }
  m_openFailure = OpenFailure::kNone;
  m_path = path;
  m_fd = reinterpret_cast<intptr_t>(h);
  m_writable = writable;
  return true;
}

bool MappedFile::FileSize(uint64_t& size) const {
  size = 0;
  if (m_fd == -1) {
    errno = EBADF;
    return false;
  }
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(H(m_fd), &s)) return Failed();
  size = static_cast<uint64_t>(s.QuadPart);
  return true;
}

bool MappedFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
  if (m_fd == -1) {
    errno = EBADF;
    return false;
  }
  auto* out = static_cast<char*>(buffer);
  while (length > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD n = 0;
    if (!::ReadFile(H(m_fd), out, want, &n, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) {
        errno = EIO;
        return false;
      }
      return Failed();
    }
    if (n == 0) {
      // The file ended early: it shrank after its size was taken.
      errno = EIO;
      return false;
    }
    out += n;
    length -= n;
    offset += n;
  }
  return true;
}

bool MappedFile::Extend(uint64_t size) {
  uint64_t current = 0;
  if (!FileSize(current)) return false;
  if (size <= current) return true;
  if (size > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max())) {
    errno = EFBIG;
    return false;
  }
  // NTFS allocates the new length at once (a file is sparse only when asked
  // to be), so running out of space is told here rather than by a store
  // through the mapping.
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(size);
  if (::SetFilePointerEx(H(m_fd), to, nullptr, FILE_BEGIN) && ::SetEndOfFile(H(m_fd))) {
    return true;
  }
  const int saved = ErrnoOf(::GetLastError());
  to.QuadPart = static_cast<LONGLONG>(current);
  if (::SetFilePointerEx(H(m_fd), to, nullptr, FILE_BEGIN)) ::SetEndOfFile(H(m_fd));
  errno = saved;
  return false;
}

bool MappedFile::MapView(uint64_t length) {
  HANDLE mapping =
      ::CreateFileMappingW(H(m_fd), nullptr, m_writable ? PAGE_READWRITE : PAGE_READONLY,
                           static_cast<DWORD>(length >> 32), static_cast<DWORD>(length), nullptr);
  if (mapping == nullptr) return Failed();
  void* p = ::MapViewOfFile(mapping, m_writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                            static_cast<SIZE_T>(length));
  if (p == nullptr) {
    const int saved = ErrnoOf(::GetLastError());
    ::CloseHandle(mapping);
    errno = saved;
    return false;
  }
  m_mapping = reinterpret_cast<intptr_t>(mapping);
  m_data = static_cast<uint8_t*>(p);
  m_mappedLength = length;
  return true;
}

bool MappedFile::Sync(bool wait) {
  if (m_data != nullptr && !::FlushViewOfFile(m_data, static_cast<SIZE_T>(m_mappedLength))) {
    return Failed();
  }
  if (wait && m_fd != -1 && m_writable && !::FlushFileBuffers(H(m_fd))) return Failed();
  return true;
}

bool MappedFile::Unlink() {
  if (m_path.empty()) {
    errno = ENOENT;
    return false;
  }
  return ::DeleteFileW(platform::Widen(m_path).c_str()) ? true : Failed();
}

bool MappedFile::Rename(const std::string& path) {
  if (m_path.empty()) {
    errno = ENOENT;
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING an existing name is refused.
  if (!::MoveFileExW(platform::Widen(m_path).c_str(), platform::Widen(path).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
    return Failed();
  }
  m_path = path;
  return true;
}

void MappedFile::Unmap() {
  if (m_data != nullptr) {
    ::UnmapViewOfFile(m_data);
    m_data = nullptr;
    m_mappedLength = 0;
  }
  if (m_mapping != 0) {
    ::CloseHandle(H(m_mapping));
    m_mapping = 0;
  }
}

void MappedFile::Close() {
  const int saved = errno;
  Unmap();
  if (m_fd != -1) {
    ::CloseHandle(H(m_fd));
    m_fd = -1;
  }
  m_writable = false;
  m_path.clear();
  errno = saved;
}

}  // namespace zentrova
