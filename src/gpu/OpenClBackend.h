// The sieve kernels on an OpenCL device: the wide mode's a0 search and root
// walk, and the normal mode's squaring chains, for batches of candidates p.
// The device only proposes: every hit comes back as an index that the loops
// confirm with exact arithmetic and apply in increasing p, as they do with
// the CPU kernels, so the files do not depend on where the work ran.
//
// Every OpenCL failure (no such device, a build error, a lost device, memory)
// is thrown as GpuError with the driver's code in its text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zentrova {

class GpuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct GpuDeviceInfo {
  int index = 0;  // the N of "opencl:N": platforms in order, then their devices
  std::string platform;
  std::string name;
  bool gpu = false;
};

// Every OpenCL device of every platform (empty when there is no driver).
std::vector<GpuDeviceInfo> ListOpenClDevices();

// A hit of the wide walk: the candidate's index in the batch, the exponent j
// of x_j = a0^j, whether the root is p - x_j, and the root.
struct WideHit {
  uint32_t index;
  uint32_t j;
  bool negated;
  uint32_t root;
};
// A hit of the normal chains: the candidate's index and the base's position.
struct NormalHit {
  uint32_t index;
  uint32_t position;
};

class OpenClBackend {
 public:
  // The device of "gpu" (the first GPU), or "opencl:N"; throws GpuError.
  explicit OpenClBackend(const std::string& device);
  ~OpenClBackend();
  OpenClBackend(const OpenClBackend&) = delete;
  OpenClBackend& operator=(const OpenClBackend&) = delete;

  const GpuDeviceInfo& Device() const { return m_info; }

  // For each p = k*2N + 1: kind 2 and a0 when a primitive 2N-th root of
  // unity was found from g = 2, 3, 5, 7, ... within `tries` g, else kind 0;
  // then every root at most bMax as a hit (pairs: the N >= 32 walk of x_j and
  // p - x_j for odd j < N; else x_j for odd j < 2N).
  void Wide(const std::vector<uint64_t>& p, const std::vector<uint64_t>& k, int ln, int64_t n,
            int32_t bMax, int tries, std::vector<uint8_t>& kind, std::vector<uint64_t>& a0,
            std::vector<WideHit>& hits);

  // For each p, the positions j with cand[j]^(2^ln) == -1 (mod p).
  void Normal(const std::vector<uint64_t>& p, const std::vector<int32_t>& cand, int ln,
              std::vector<NormalHit>& hits);

  // Time spent waiting for the device's work, for its busy fraction.
  double BusySeconds() const { return m_busy.count(); }
  // Test hook: backends made from now on let `launches` launches succeed and
  // fail every later one, as a lost device would (-1: never).
  static void FailNewBackendsAfter(int launches);

 private:
  // The test hook's count of launches; throws once it has run out.
  void CountLaunch();

  struct Impl;
  std::unique_ptr<Impl> m_impl;
  GpuDeviceInfo m_info;
  std::chrono::duration<double> m_busy{0};
  int m_failAfter = -1;
};

}  // namespace zentrova
