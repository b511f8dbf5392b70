#include "files/PackedKDB.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace zentrova {

namespace {

constexpr uint64_t kCountOffset = 0;
constexpr uint64_t kFirstValueOffset = 8;
constexpr uint64_t kReserved16Offset = 16;
constexpr uint64_t kLastValueOffset = 24;
constexpr uint64_t kReserved32Offset = 32;
constexpr uint32_t kFieldMask = 1023;

// Byte by byte, so the file reads the same on a big-endian host; compilers
// turn these into single loads and stores on little-endian ones.
uint32_t LoadLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t LoadLE64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLE32(p)) | (static_cast<uint64_t>(LoadLE32(p + 4)) << 32);
}

void StoreLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void StoreLE64(uint8_t* p, uint64_t v) {
  StoreLE32(p, static_cast<uint32_t>(v));
  StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Values a file of size bytes can hold, before the limit of the 32-bit count.
uint64_t RawCapacity(uint64_t size) {
  if (size < CPackedKDB::kHeaderBytes) return 0;
  return (size - CPackedKDB::kHeaderBytes) / 4 * 3;
}

std::string SystemText(int err) {
  return std::strerror(err);
}

// The text of a failed open: a file locked by another run (a writer, or
// readers where a writer wants it) says so, anything else gives what the
// system said after what.
std::string OpenFailureText(const MappedFile& file, const std::string& name,
                            const std::string& what) {
  const std::string system = SystemText(errno);
  if (file.LastOpenFailure() == MappedFile::OpenFailure::kInUse) {
    return "Packed K file " + name + " is in use by another run (it is locked).";
  }
  return what + "\n" + system;
}

// The reason of a failed open, told as OpenFailureText tells it.
PackedKFailure OpenFailureKind(const MappedFile& file) {
  if (file.LastOpenFailure() == MappedFile::OpenFailure::kInUse) return PackedKFailure::kInUse;
  return errno == ENOENT ? PackedKFailure::kMissing : PackedKFailure::kSystem;
}

}  // namespace

bool CPackedKDB::InitOpenNewFile(uint64_t startValue, uint64_t reserved, uint64_t size,
                                 std::string& error) {
  Close();
  // The start value is stored as value 0, so even a new file needs one word.
  if (size < kHeaderBytes + 4) {
    m_failure = PackedKFailure::kRefused;
    error = "Error, CPackedKDB file " + m_name + " needs at least " +
            std::to_string(kHeaderBytes + 4) + " bytes for its header and first value.";
    return false;
  }
  if (!m_file.Open(m_name, MappedFile::Access::kCreateExclusive)) {
    m_failure = OpenFailureKind(m_file);
    error = OpenFailureText(m_file, m_name,
                            "Error in InitOpenNewFile for PackedPrimeDB file " + m_name);
    return false;
  }
  if (!MapForWrite(size, error)) {
    // Nothing of value is in the file yet; leaving it would only make the
    // next attempt fail on an existing name.
    m_file.Unlink();
    Close();
    return false;
  }
  uint8_t* header = m_file.Data();
  StoreLE32(header + 4, 0);
  m_count = 1;
  m_firstValue = startValue;
  m_reserved16 = reserved;
  m_lastValue = startValue;
  m_reserved32 = reserved;
  WriteHeader();
  // Fresh zeros already, but a difference of 0 for value 0 is part of the
  // format, not an accident of how a new file reads.
  for (uint64_t word = 0; word < 2 && kHeaderBytes + 4 * word + 4 <= size; ++word) {
    StoreLE32(DataWord(word), 0);
  }
  m_readOnly = false;
  return LoadHeader();
}

bool CPackedKDB::WriteOpenDB(uint64_t size, std::string& error) {
  Close();
  if (!m_file.Open(m_name, MappedFile::Access::kReadWriteExclusive)) {
    m_failure = OpenFailureKind(m_file);
    error =
        OpenFailureText(m_file, m_name, "Error in WriteOpenDB for PackedPrimeDB file " + m_name);
    return false;
  }
  uint64_t fileSize = 0;
  if (!m_file.FileSize(fileSize)) {
    return Abandon(PackedKFailure::kSystem,
                   "Error getting size of PackedPrimeDB file " + m_name + "\n" + SystemText(errno),
                   error);
  }
  if (fileSize > size) {
    return Abandon(
        PackedKFailure::kRefused,
        "Error, attempting to write open a small length for PackedPrimeDB file " + m_name, error);
  }
  // The header is checked before anything is mapped or extended, so a file
  // that is refused stays exactly as it was.
  uint8_t header[kHeaderBytes] = {};
  if (fileSize >= kHeaderBytes && !m_file.ReadAt(header, sizeof header, 0)) {
    return Abandon(
        PackedKFailure::kSystem,
        "Error reading the header of CPackedKDB file " + m_name + "\n" + SystemText(errno), error);
  }
  if (!CheckHeader(header, fileSize, error)) {
    Close();
    return false;
  }
  // The values are decoded at the file's present length, before it is
  // extended: a writer continuing behind a header that does not match its
  // data would bury the damage under new values.
  if (!MapWhole(fileSize, error)) return false;
  LoadHeader();
  if (!CheckValues(error) || !MapForWrite(size, error)) {
    Close();
    return false;
  }
  m_readOnly = false;
  return LoadHeader();
}

bool CPackedKDB::Publish(const std::string& name, std::string& error) {
  if (m_readOnly || !m_file.IsMapped()) {
    m_failure = PackedKFailure::kRefused;
    error = "Error, CPackedKDB file " + m_name + " is not open for writing.";
    return false;
  }
  WriteHeader();
  if (!m_file.Sync(true)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error flushing CPackedKDB file " + m_name + "\n" + SystemText(errno);
  } else if (!m_file.Rename(name)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error renaming CPackedKDB file " + m_name + " to " + name + "\n" + SystemText(errno);
  } else {
    m_name = name;
    return true;
  }
  // Not Close(): a file that is being taken back needs no header.
  m_file.Unlink();
  m_file.Close();
  Reset();
  return false;
}

bool CPackedKDB::RemoveIfHoldsNoValue(bool& removed, std::string& why, std::string& error) {
  Close();
  removed = false;
  why.clear();
  MappedFile file;
  if (!file.Open(m_name, MappedFile::Access::kReadWriteExclusive)) return true;
  uint64_t size = 0;
  if (!file.FileSize(size)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error getting size of CPackedKDB file " + m_name + "\n" + SystemText(errno);
    return false;
  }
  if (size == 0) {
    why = "it is empty";
  } else if (size < kHeaderBytes) {
    why = "it is shorter than its 40-byte header";
  } else {
    uint8_t count[4] = {};
    if (!file.ReadAt(count, sizeof count, kCountOffset)) {
      m_failure = PackedKFailure::kSystem;
      error = "Error reading the header of CPackedKDB file " + m_name + "\n" + SystemText(errno);
      return false;
    }
    if (LoadLE32(count) != 0) return true;
    why = "its count is 0";
  }
  if (!file.Unlink()) {
    m_failure = PackedKFailure::kSystem;
    error = "Error removing CPackedKDB file " + m_name + "\n" + SystemText(errno);
    why.clear();
    return false;
  }
  removed = true;
  return true;
}

bool CPackedKDB::OpenForRead(std::string& error) {
  Close();
  if (!m_file.Open(m_name, MappedFile::Access::kReadShared)) {
    m_failure = OpenFailureKind(m_file);
    error = OpenFailureText(m_file, m_name, "Error opening CPackedKDB file " + m_name);
    return false;
  }
  uint64_t fileSize = 0;
  if (!m_file.FileSize(fileSize)) {
    return Abandon(PackedKFailure::kSystem,
                   "Error getting size of CPackedKDB file " + m_name + "\n" + SystemText(errno),
                   error);
  }
  if (fileSize == 0) {
    // An empty file cannot be mapped at all.
    return Abandon(PackedKFailure::kSystem,
                   "Error CreateFileMapping CPackedKDB file " + m_name + "\n" + SystemText(EINVAL),
                   error);
  }
  if (!CheckHeader(nullptr, fileSize, error)) {
    Close();
    return false;
  }
  if (!MapWhole(fileSize, error)) return false;
  if (!CheckHeader(m_file.Data(), fileSize, error)) {
    Close();
    return false;
  }
  m_capacity = std::min<uint64_t>(RawCapacity(fileSize), std::numeric_limits<uint32_t>::max());
  m_readOnly = true;
  return LoadHeader();
}

bool CPackedKDB::MapForWrite(uint64_t size, std::string& error) {
  // The count is 32 bits wide, which caps what any size can be used for.
  m_capacity = std::min<uint64_t>(RawCapacity(size), std::numeric_limits<uint32_t>::max());
  if (!m_file.Extend(size)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error reserving " + std::to_string(size) + " bytes for CPackedKDB file " + m_name +
            "\n" + SystemText(errno);
    return false;
  }
  if (!m_file.Map(size)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error MapViewOfFile CPackedKDB file " + m_name + "\n" + SystemText(errno);
    return false;
  }
  return true;
}

bool CPackedKDB::CheckHeader(const uint8_t* header, uint64_t fileSize, std::string& error) const {
  if (fileSize < kHeaderBytes) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " is shorter than its 40-byte header.";
    return false;
  }
  if (header == nullptr) return true;
  const uint32_t count = LoadLE32(header + kCountOffset);
  const uint64_t holds = RawCapacity(fileSize);
  if (count > holds) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " claims " + std::to_string(count) +
            " values but its size holds only " + std::to_string(holds) + ".";
    return false;
  }
  // Value 0 is written with the file, so a count of 0 is a file that was
  // never completed.
  if (count == 0) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " holds no values: its count is 0.";
    return false;
  }
  const uint64_t first = LoadLE64(header + kFirstValueOffset);
  const uint64_t last = LoadLE64(header + kLastValueOffset);
  if (first > last) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " has its first value " + std::to_string(first) +
            " above its last value " + std::to_string(last) + ".";
    return false;
  }
  return true;
}

bool CPackedKDB::CheckValues(std::string& error) {
  uint64_t value = m_firstValue;
  for (uint64_t i = 0; i < m_count; ++i) {
    if (!ReadNext64KValue(value, error)) return false;
  }
  Rewind();
  if (value != m_lastValue) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " gives " + std::to_string(m_lastValue) +
            " as its last value in the header, but the last value stored is " +
            std::to_string(value) + ".";
    return false;
  }
  return true;
}

bool CPackedKDB::LoadHeader() {
  if (!m_file.IsMapped()) return false;
  const uint8_t* header = m_file.Data();
  m_count = LoadLE32(header + kCountOffset);
  m_firstValue = LoadLE64(header + kFirstValueOffset);
  m_reserved16 = LoadLE64(header + kReserved16Offset);
  m_lastValue = LoadLE64(header + kLastValueOffset);
  m_reserved32 = LoadLE64(header + kReserved32Offset);
  Rewind();
  m_writeWord = m_count / 3;
  m_writeShift = 10 * (m_count % 3);
  return true;
}

bool CPackedKDB::Rewind() {
  m_readIndex = 0;
  m_readWord = 0;
  m_readShift = 0;
  m_lastRead = m_firstValue;
  return true;
}

bool CPackedKDB::ReadNext64KValue(uint64_t& value, std::string& error) {
  // The count never exceeds what the mapping holds, so the word read here is
  // always inside it.
  if (m_readIndex >= m_count) {
    m_failure = PackedKFailure::kEndOfValues;
    error = "File read overflow in ReadNext64KValue";
    return false;
  }
  const uint32_t word = LoadLE32(DataWord(m_readWord));
  const uint64_t next = m_lastRead + ((word >> m_readShift) & kFieldMask);
  // A zero field, or a sum past 2^64, where a value must ascend: data that
  // was zeroed or never written lies inside the count.
  if (next <= m_lastRead && m_readIndex != 0) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " is damaged: value " +
            std::to_string(m_readIndex) + " is not above the value before it.";
    return false;
  }
  // Value 0 stores a difference of 0, and no value lies above the header's
  // last value: the reach of a file (CheckPackedKLastValue) is judged by it.
  if ((m_readIndex == 0 && next != m_firstValue) || next > m_lastValue) {
    m_failure = PackedKFailure::kDamaged;
    error = "Error, CPackedKDB file " + m_name + " is damaged: value " +
            std::to_string(m_readIndex) + " is " + std::to_string(next) +
            ", outside its header's values " + std::to_string(m_firstValue) + " to " +
            std::to_string(m_lastValue) + ".";
    return false;
  }
  value = next;
  m_lastRead = value;
  ++m_readIndex;
  if (m_readShift == 20) {
    m_readShift = 0;
    ++m_readWord;
  } else {
    m_readShift += 10;
  }
  return true;
}

bool CPackedKDB::WriteNew64KValue(uint64_t value, std::string& error) {
  if (m_readOnly || !m_file.IsMapped()) {
    m_failure = PackedKFailure::kRefused;
    error = "Error, CPackedKDB file " + m_name + " is not open for writing.";
    return false;
  }
  if (m_count >= m_capacity) {
    m_failure = PackedKFailure::kFull;
    error = "File write overflow in WriteNew64KValue";
    return false;
  }
  const uint64_t difference = value - m_lastValue;
  if (value <= m_lastValue || difference > kMaxDifference) {
    m_failure = PackedKFailure::kRefused;
    error = "Difference overflow on WriteNew64KValue";
    return false;
  }
  // Words behind the count may hold bits of values a killed writer never
  // published, so the field is cleared rather than merely OR-ed into.
  uint8_t* p = DataWord(m_writeWord);
  uint32_t word = LoadLE32(p);
  word &= ~(kFieldMask << m_writeShift);
  word |= static_cast<uint32_t>(difference) << m_writeShift;
  StoreLE32(p, word);
  m_lastValue = value;
  ++m_count;
  if (m_writeShift == 20) {
    m_writeShift = 0;
    ++m_writeWord;
  } else {
    m_writeShift += 10;
  }
  return true;
}

bool CPackedKDB::FlushHeader(std::string& error) {
  if (m_readOnly || !m_file.IsMapped()) {
    m_failure = PackedKFailure::kRefused;
    error = "Error, CPackedKDB file " + m_name + " is not open for writing.";
    return false;
  }
  WriteHeader();
  if (!m_file.Sync(false)) {
    m_failure = PackedKFailure::kSystem;
    error = "Error flushing CPackedKDB file " + m_name + "\n" + SystemText(errno);
    return false;
  }
  return true;
}

void CPackedKDB::WriteHeader() {
  // Offset 4 belongs to no one and is left as it is.
  uint8_t* header = m_file.Data();
  StoreLE32(header + kCountOffset, m_count);
  StoreLE64(header + kFirstValueOffset, m_firstValue);
  StoreLE64(header + kReserved16Offset, m_reserved16);
  StoreLE64(header + kLastValueOffset, m_lastValue);
  StoreLE64(header + kReserved32Offset, m_reserved32);
}

bool CPackedKDB::MapWhole(uint64_t fileSize, std::string& error) {
  if (m_file.Map(fileSize)) return true;
  return Abandon(PackedKFailure::kSystem,
                 "Error MapViewOfFile CPackedKDB file " + m_name + "\n" + SystemText(errno), error);
}

bool CPackedKDB::Abandon(PackedKFailure failure, std::string text, std::string& error) {
  m_failure = failure;
  error = std::move(text);
  Close();
  return false;
}

void CPackedKDB::Close() {
  if (m_file.IsMapped() && !m_readOnly) {
    WriteHeader();
    m_file.Sync(true);
  }
  m_file.Close();
  Reset();
}

void CPackedKDB::Reset() {
  m_readOnly = true;
  m_capacity = 0;
  m_count = 0;
  m_firstValue = 0;
  m_reserved16 = 0;
  m_lastValue = 0;
  m_reserved32 = 0;
  m_readIndex = 0;
  m_readWord = 0;
  m_readShift = 0;
  m_lastRead = 0;
  m_writeWord = 0;
  m_writeShift = 0;
}

}  // namespace zentrova
