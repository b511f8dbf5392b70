// A file descriptor with an advisory lock and an optional whole-file memory
// mapping, released together (unmap, then close, which drops the lock). One
// implementation per system: MappedFilePosix.cpp (open, flock, mmap) and
// MappedFileWin32.cpp (CreateFileW, LockFileEx, MapViewOfFile).
//
// Every call reports failure as false with errno set, so the owner can word
// its own message. Locks are taken without waiting: a file held by another
// writer is an error for the caller to report, never a reason to hang.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace zentrova {

class MappedFile {
 public:
  enum class Access {
    kCreateExclusive,     // new file only, read-write, exclusive lock
    kReadWriteExclusive,  // existing file, read-write, exclusive lock
    kReadShared,          // existing file, read-only, shared lock
  };

  // Why the last Open failed.
  enum class OpenFailure {
    kNone,    // it did not fail
    kInUse,   // another open file holds a lock that conflicts with ours
    kSystem,  // anything else; errno tells what
  };

  MappedFile() = default;
  ~MappedFile() { Close(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens and locks a regular file. Anything else (a folder, a device, a
  // pipe) is refused as EISDIR or ENODEV, since none of them can be mapped.
  // A file that this call created is removed again when the lock fails.
  // LastOpenFailure tells a file held by another run from other failures.
  bool Open(const std::string& path, Access access);
  OpenFailure LastOpenFailure() const { return m_openFailure; }

  // The size of the file on disk, which may differ from the mapped length.
  bool FileSize(uint64_t& size) const;

  // Reads exactly length bytes at offset, without mapping anything.
  bool ReadAt(void* buffer, size_t length, uint64_t offset) const;

  // Makes the file at least size bytes long, with the disk space for all of
  // its first size bytes reserved: a store through a mapping into a block the
  // file system cannot supply ends the process with SIGBUS, so space has to
  // be claimed here, where running out is an ordinary error (ENOSPC). A
  // longer file keeps its length. A file that could not be grown keeps its
  // former length.
  bool Extend(uint64_t size);

  // Maps the first length bytes, writable when the file was opened so. An
  // existing mapping is released first. A length of 0 fails with EINVAL.
  bool Map(uint64_t length) {
    Unmap();
    if (const int refusal = MapRefusal(length); refusal != 0) {
      errno = refusal;
      return false;
    }
    return MapView(length);
  }

  // Schedules (wait false) or completes (wait true) the write-back of the
  // mapping; waiting also puts the file's length and blocks on disk.
  bool Sync(bool wait);

  // Removes the file from its folder; used to take back a file this object
  // created and could not complete.
  bool Unlink();

  // Moves the file to path, never over an existing name (EEXIST), and waits
  // until the new folder entry is on disk. The file stays open, locked and
  // mapped.
  bool Rename(const std::string& path);

  void Close();

  bool IsOpen() const { return m_fd != -1; }
  bool IsMapped() const { return m_data != nullptr; }
  bool IsWritable() const { return m_writable; }
  uint8_t* Data() const { return m_data; }
  uint64_t MappedLength() const { return m_mappedLength; }

 private:
  // The errno of a map of length that cannot be made at all (no file open,
  // nothing to map, more than the address space holds), or 0.
  int MapRefusal(uint64_t length) const {
    if (!IsOpen()) return EBADF;
    if (length == 0) return EINVAL;
    if (length > std::numeric_limits<size_t>::max()) return ENOMEM;
    return 0;
  }

  void Unmap();
  // Map once the length is known to be one a view can have.
  bool MapView(uint64_t length);

  std::string m_path;
  intptr_t m_fd = -1;      // the file descriptor (Windows: the file's HANDLE)
  intptr_t m_mapping = 0;  // Windows: the file mapping object of the view
  bool m_writable = false;
  uint8_t* m_data = nullptr;
  uint64_t m_mappedLength = 0;
  OpenFailure m_openFailure = OpenFailure::kNone;
};

}  // namespace zentrova
