// The file operations that differ between systems, for files/ and the front
// ends. Names are UTF-8 throughout the program; on Windows they reach the
// system as UTF-16, so a folder named "Prüfung" or "素数" works on both.
// Failures return false (or nullptr) with errno set, as the C library does.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace zentrova::platform {

// fopen with a UTF-8 name; the stream is not inherited by child processes.
std::FILE* OpenStream(const std::string& name, const char* mode);

// What a stream leads to: a regular file, a pipe or a device (readable as a
// stream of bytes), a folder, or something else.
enum class StreamKind { kStream, kFolder, kOther };
StreamKind KindOf(std::FILE* stream);

// Pushes what the system holds of the stream's file to the disk (fsync /
// FlushFileBuffers), after fflush.
bool SyncStream(std::FILE* stream);

// A new file "<target>.tmp.XXXXXX" (six characters of the system's choice)
// beside target, created for writing and for no one else, readable by all.
// Sets name; nullptr when it cannot be created.
std::FILE* CreateTemporaryBeside(const std::string& target, std::string& name);

// Renames from over to, replacing it in one step (rename / MoveFileExW with
// replace and write-through).
bool RenameOver(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& name);
bool IsFolder(const std::string& name);

// The std::filesystem path of a UTF-8 name, and back.
std::filesystem::path FsPath(const std::string& name);
std::string Utf8(const std::filesystem::path& path);

// A new empty folder "<prefix>XXXXXX" in the system's temporary folder; ""
// when none can be made.
std::string MakeTemporaryFolder(const std::string& prefix);

// The local time of t.
std::tm LocalTime(std::time_t t);

// A file opened for reading and writing at any offset (the cut of a torn
// last line).
class RandomAccessFile {
 public:
  RandomAccessFile() = default;
  ~RandomAccessFile() { Close(); }
  RandomAccessFile(const RandomAccessFile&) = delete;
  RandomAccessFile& operator=(const RandomAccessFile&) = delete;

  bool Open(const std::string& name);
  bool Size(uint64_t& size) const;
  // Exactly length bytes from offset.
  bool ReadAt(void* buffer, size_t length, uint64_t offset) const;
  bool TruncateAndSync(uint64_t size);
  void Close();

 private:
  intptr_t m_handle = -1;
};

// An advisory lock on a lock file, dropped with its process.
enum class LockResult { kTaken, kNoFile, kHeld, kFailed, kReplaced };
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens path (creating it for an exclusive lock; a shared lock on no file
  // is kNoFile) and takes the lock without waiting. The lock file can be
  // removed by its owner between our open and our lock: the lock is ours only
  // when the name still leads to the file we locked, which is retried a few
  // times (kReplaced when it never does). error is the errno of kFailed;
  // opening tells whether the open (rather than the lock) failed.
  LockResult Take(const std::string& path, bool exclusive, int& error, bool& opening);
  bool Held() const { return m_handle != -1; }
  // Drops the lock; with remove, the lock file goes first (while still held).
  void Release(const std::string& removePath = {});

 private:
  intptr_t m_handle = -1;
};

}  // namespace zentrova::platform
