// The other processes of a run spread over several (an MPI run): what the
// loops and the feed see of them. Process 0 runs the job, owns the files and
// applies every result; the others compute the batches it hands them.
//
// Messages are byte strings, written and read with ByteWriter and ByteReader
// (fixed-width fields in the machines' byte order, which the processes of a
// run share: x86-64 and arm64 alike). Process 0 says which job runs (a job
// message), then sends batches and takes their results in order; an end
// message closes the job, a quit message ends the process.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace zentrova {

// A message that cannot be sent or received, or one that is malformed.
class ClusterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BatchCluster {
 public:
  virtual ~BatchCluster() = default;
  // This process's number (0 runs the job) and the number of processes.
  virtual int Rank() const = 0;
  virtual int Size() const = 0;
  // Both throw ClusterError when the transport fails.
  virtual void Send(int rank, const std::string& bytes) = 0;
  // Waits for the next message from rank (without keeping a core busy).
  virtual std::string Receive(int rank) = 0;
};

// The kinds of message, the first byte of each.
enum class ClusterMessage : uint8_t {
  kJob = 'J',     // process 0: the job's parameters
  kBatch = 'B',   // process 0: k to compute
  kResult = 'R',  // a batch's results
  kEndJob = 'E',  // process 0: the job ended
  kQuit = 'Q',    // process 0: the run is over
  kThreads = 'T', // the answer to a job message: the process's thread count
  kList = 'L',    // process 0: the bases of the normal loop, when they changed
};

class ByteWriter {
 public:
  explicit ByteWriter(ClusterMessage kind) { m_bytes.push_back(static_cast<char>(kind)); }
  template <typename T>
  ByteWriter& Put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const size_t at = m_bytes.size();
    m_bytes.resize(at + sizeof(T));
    std::memcpy(m_bytes.data() + at, &value, sizeof(T));
    return *this;
  }
  template <typename T>
  ByteWriter& PutVector(const std::vector<T>& values) {
    static_assert(std::is_trivially_copyable_v<T>);
    Put<uint64_t>(values.size());
    const size_t at = m_bytes.size();
    m_bytes.resize(at + values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(m_bytes.data() + at, values.data(), values.size() * sizeof(T));
    return *this;
  }
  ByteWriter& PutString(const std::string& text) {
    Put<uint64_t>(text.size());
    m_bytes += text;
    return *this;
  }
  const std::string& Bytes() const { return m_bytes; }

 private:
  std::string m_bytes;
};

// Reads what a ByteWriter wrote; a short or malformed message throws.
class ByteReader {
 public:
  explicit ByteReader(const std::string& bytes) : m_bytes(bytes) {
    if (bytes.empty()) throw ClusterError("An empty message was received.");
  }
  ClusterMessage Kind() const { return static_cast<ClusterMessage>(m_bytes[0]); }
  template <typename T>
  T Get() {
    static_assert(std::is_trivially_copyable_v<T>);
    Need(sizeof(T));
    T value;
    std::memcpy(&value, m_bytes.data() + m_at, sizeof(T));
    m_at += sizeof(T);
    return value;
  }
  template <typename T>
  void GetVector(std::vector<T>& values) {
    const uint64_t count = Get<uint64_t>();
    if (count > (m_bytes.size() - m_at) / sizeof(T)) throw ClusterError("A message was cut short.");
    values.resize(count);
    if (count != 0) std::memcpy(values.data(), m_bytes.data() + m_at, count * sizeof(T));
    m_at += count * sizeof(T);
  }
  std::string GetString() {
    const uint64_t count = Get<uint64_t>();
    Need(count);
    std::string text = m_bytes.substr(m_at, count);
    m_at += count;
    return text;
  }

 private:
  void Need(size_t count) const {
    if (count > m_bytes.size() - m_at) throw ClusterError("A message was cut short.");
  }
  const std::string& m_bytes;
  size_t m_at = 1;
};

}  // namespace zentrova
