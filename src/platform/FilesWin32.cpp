#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <random>

#include "platform/Files.h"
#include "platform/Utf8.h"

namespace zentrova::platform {

namespace {

bool Failed() {
  errno = ErrnoOf(::GetLastError());
  return false;
}

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

// Six characters for a temporary name, as mkstemp makes them.
std::string RandomSuffix() {
  static constexpr char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 rng{std::random_device{}() ^ ::GetTickCount64() ^
                                   ::GetCurrentProcessId()};
  std::string out(6, 'x');
  for (char& c : out) c = kChars[rng() % (sizeof kChars - 1)];
  return out;
}

}  // namespace

std::FILE* OpenStream(const std::string& name, const char* mode) {
  std::string m = mode;
  m += 'N';  // not inherited by child processes
  return ::_wfopen(Widen(name).c_str(), Widen(m).c_str());
}

StreamKind KindOf(std::FILE* stream) {
  const DWORD type = ::GetFileType(HandleOf(stream));
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR
             ? StreamKind::kStream
             : StreamKind::kOther;
}

bool SyncStream(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  return ::FlushFileBuffers(HandleOf(stream)) ? true : Failed();
}

std::FILE* CreateTemporaryBeside(const std::string& target, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = target + ".tmp." + RandomSuffix();
    HANDLE h = ::CreateFileW(Widen(candidate).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_FILE_EXISTS) continue;
      Failed();
      return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(h);
      ::DeleteFileW(Widen(candidate).c_str());
      errno = EMFILE;
      return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (stream == nullptr) {
      ::_close(fd);
      ::DeleteFileW(Widen(candidate).c_str());
      return nullptr;
    }
    name = candidate;
    return stream;
  }
  errno = EEXIST;
  return nullptr;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return ::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? true
             : Failed();
}

bool RemoveFile(const std::string& name) {
  return ::DeleteFileW(Widen(name).c_str()) ? true : Failed();
}

bool IsFolder(const std::string& name) {
  const DWORD attributes = ::GetFileAttributesW(Widen(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::filesystem::path FsPath(const std::string& name) {
  return std::filesystem::path(Widen(name));
}

std::string Utf8(const std::filesystem::path& path) { return Narrow(path.wstring()); }

std::string MakeTemporaryFolder(const std::string& prefix) {
  std::error_code ec;
  const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path folder = base / Widen(prefix + RandomSuffix());
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return Narrow(folder.wstring());
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  ::localtime_s(&local, &t);
  return local;
}

bool RandomAccessFile::Open(const std::string& name) {
  Close();
  HANDLE h = ::CreateFileW(Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Failed();
  m_handle = reinterpret_cast<intptr_t>(h);
  return true;
}

bool RandomAccessFile::Size(uint64_t& size) const {
  LARGE_INTEGER s;
  if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(m_handle), &s)) return Failed();
  size = static_cast<uint64_t>(s.QuadPart);
  return true;
}

bool RandomAccessFile::ReadAt(void* buffer, size_t length, uint64_t offset) const {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(m_handle), buffer, static_cast<DWORD>(length), &read,
                  &at)) {
    return Failed();
  }
  if (read != length) {
    errno = EIO;
    return false;
  }
  return true;
}

bool RandomAccessFile::TruncateAndSync(uint64_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(m_handle);
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFilePointerEx(h, to, nullptr, FILE_BEGIN) || !::SetEndOfFile(h) ||
      !::FlushFileBuffers(h)) {
    return Failed();
  }
  return true;
}

void RandomAccessFile::Close() {
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
  m_handle = -1;
}

namespace {

bool SameFileId(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

LockResult FileLock::Take(const std::string& path, bool exclusive, int& error, bool& opening) {
  Release();
  const std::wstring wide = Widen(path);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  for (int attempt = 0; attempt < 16; ++attempt) {
    HANDLE h = ::CreateFileW(wide.c_str(), exclusive ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                             kShare, nullptr, exclusive ? OPEN_ALWAYS : OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = ErrnoOf(::GetLastError());
      opening = true;
      return !exclusive && error == ENOENT ? LockResult::kNoFile : LockResult::kFailed;
    }
    OVERLAPPED whole{};
    const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
    if (!::LockFileEx(h, flags, 0, 1, 0, &whole)) {
      const DWORD why = ::GetLastError();
      ::CloseHandle(h);
      error = ErrnoOf(why);
      opening = false;
      return why == ERROR_LOCK_VIOLATION || why == ERROR_IO_PENDING ? LockResult::kHeld
                                                                    : LockResult::kFailed;
    }
    HANDLE named = ::CreateFileW(wide.c_str(), 0, kShare, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool same = named != INVALID_HANDLE_VALUE && SameFileId(h, named);
    if (named != INVALID_HANDLE_VALUE) ::CloseHandle(named);
    if (same) {
      m_handle = reinterpret_cast<intptr_t>(h);
      return LockResult::kTaken;
    }
    ::CloseHandle(h);
  }
  return LockResult::kReplaced;
}

void FileLock::Release(const std::string& removePath) {
  if (m_handle == -1) return;
  if (!removePath.empty()) ::DeleteFileW(Widen(removePath).c_str());
  ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
  m_handle = -1;
}

}  // namespace zentrova::platform
