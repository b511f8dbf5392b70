// The packed K file: an ascending list of 64-bit k values kept as 10-bit
// differences, three to a 32-bit word, in a file that is memory-mapped whole.
//
// Layout, every field little-endian:
//   0  uint32  count of values stored, the first value included
//   4  uint32  reserved: 0 in a new file, never read or rewritten
//   8  uint64  first value
//   16 uint64  reserved: set at creation, carried unchanged
//   24 uint64  last value written
//   32 uint64  reserved: as offset 16
//   40 ...     data words; value i is v(i-1) + bits 10*(i%3) .. 10*(i%3)+9 of
//              word i/3, with v(-1) the first value (so value 0 stores 0)
//
// Values strictly ascend: every difference after value 0 is at least 1, so a
// zero field inside the count marks a damaged file, never a repeated value.
//
// One writer holds a file exclusively; readers share it and are refused while
// a writer has it. The writer publishes its progress with FlushHeader: the
// data words are in place before the count that covers them, so a writer
// killed between flushes loses only the values written since the last one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "files/MappedFile.h"
#include "files/TextFile.h"

namespace zentrova {

// Why a call of CPackedKDB failed, for the callers that decide by it; the
// error text says the same for people.
enum class PackedKFailure {
  kNone,
  kEndOfValues,  // every stored value has been read: the normal end of a list
  kFull,         // the file has no room for another value
  kMissing,      // no such file
  kInUse,        // another run holds the file
  kDamaged,      // the header or the values contradict the format
  kRefused,      // a request the file cannot honour (too small, not open, too far a step)
  kSystem,       // the system refused a read, a write, a map or a rename
};

class CPackedKDB : public CNamedFile {
 public:
  static constexpr uint64_t kHeaderBytes = 40;
  static constexpr uint64_t kMaxDifference = 1023;

  CPackedKDB() = default;
  ~CPackedKDB() override { Close(); }
  CPackedKDB(const CPackedKDB&) = delete;
  CPackedKDB& operator=(const CPackedKDB&) = delete;

  // Closes an open file first.
  void SetFileName(std::string name) {
    Close();
    m_name = std::move(name);
  }

  // The opens below fail with "Packed K file <name> is in use by another
  // run (it is locked)." when another run holds the file: a writer, or
  // readers where a writer wants it.

  // Creates the file (never over an existing one), sized and mapped to size
  // bytes, holding startValue as value 0. Both reserved 64-bit fields are set
  // to reserved.
  bool InitOpenNewFile(uint64_t startValue, uint64_t reserved, uint64_t size, std::string& error);

  // Moves the open writer's file to name, never over an existing file: the
  // header is written and the file synced first, so name only ever shows a
  // complete file. The file stays open for writing under its new name. On
  // failure the file is removed and closed.
  bool Publish(const std::string& name, std::string& error);

  // Opens an existing file for appending, mapped to size bytes; a shorter file
  // grows to size, a longer one is refused, as is a damaged header. Every
  // stored value is decoded once first: the header's last value must be the
  // last value stored.
  bool WriteOpenDB(uint64_t size, std::string& error);

  // Opens an existing file read-only at its actual size. Only the header is
  // checked; damage in the data shows as ReadNext64KValue fails.
  bool OpenForRead(std::string& error);

  // For a writer about to extend a sequence: removes the closed file when it
  // holds no value at all (empty, shorter than its header, or a count of 0),
  // what a writer killed while creating it may leave; why is then set to the
  // reason. A file held by another process is left alone, as is anything
  // that is not a regular file (the open that follows reports both).
  bool RemoveIfHoldsNoValue(bool& removed, std::string& why, std::string& error);

  // Takes the in-memory header from the mapped file and places both cursors:
  // reading at value 0, writing behind the last value. False only when
  // nothing is open.
  bool LoadHeader();
  bool Rewind();

  // False with "File read overflow in ReadNext64KValue" once every stored
  // value has been read (the normal end of the list, Exhausted() is then
  // true), or with an error naming the file at a value that does not ascend,
  // at a value 0 other than the header's first value, or at a value above the
  // header's last one.
  bool ReadNext64KValue(uint64_t& value, std::string& error);
  bool Exhausted() const { return m_readIndex >= m_count; }
  // The values read since the last Rewind: the value read last is the one
  // at index ValuesRead() - 1 of the file.
  uint64_t ValuesRead() const { return m_readIndex; }

  // Appends a value above the last one and at most 1023 above it.
  bool WriteNew64KValue(uint64_t value, std::string& error);

  bool LastValue(uint64_t& value) const {
    value = m_lastValue;
    return true;
  }

  // Publishes the count and the 64-bit header fields in the mapping and
  // schedules the write-back.
  bool FlushHeader(std::string& error);

  // A writer writes its header and waits for the write-back first.
  void Close();

  // The reason of the last call that failed.
  PackedKFailure LastFailure() const { return m_failure; }

  uint32_t Count() const { return m_count; }
  uint64_t Capacity() const { return m_capacity; }
  bool IsOpen() const { return m_file.IsOpen(); }
  bool IsReadOnly() const { return m_readOnly; }

 private:
  bool MapForWrite(uint64_t size, std::string& error);
  // Gives up an open: the failure and its text are kept, the file closed;
  // false. (The text is made before the file closes, so errno is still the
  // failed call's.)
  bool Abandon(PackedKFailure failure, std::string text, std::string& error);
  // Maps the file's first fileSize bytes, or abandons the open.
  bool MapWhole(uint64_t fileSize, std::string& error);
  // Refuses a file whose header is cut short, counts no values or more than
  // its size holds, or has its first value above its last; header points at
  // its first 40 bytes.
  bool CheckHeader(const uint8_t* header, uint64_t fileSize, std::string& error) const;
  // Reads the mapped values through and compares the last with the header's.
  bool CheckValues(std::string& error);
  void WriteHeader();
  void Reset();
  uint8_t* DataWord(uint64_t index) const { return m_file.Data() + kHeaderBytes + 4 * index; }

  MappedFile m_file;
  bool m_readOnly = true;
  mutable PackedKFailure m_failure = PackedKFailure::kNone;
  uint64_t m_capacity = 0;

  // The in-memory header.
  uint32_t m_count = 0;
  uint64_t m_firstValue = 0;
  uint64_t m_reserved16 = 0;
  uint64_t m_lastValue = 0;
  uint64_t m_reserved32 = 0;

  // Read cursor.
  uint64_t m_readIndex = 0;
  uint64_t m_readWord = 0;
  unsigned m_readShift = 0;
  uint64_t m_lastRead = 0;

  // Write cursor: the field the next value goes into.
  uint64_t m_writeWord = 0;
  unsigned m_writeShift = 0;
};

}  // namespace zentrova
