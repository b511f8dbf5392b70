// The sieve kernels on an OpenCL device: the wide mode's a0 search and root
// walk, and the normal mode's squaring chains, for batches of candidates p.
// One of the sieve's devices (sieve/Device.h): every OpenCL failure is thrown
// as DeviceError with the driver's code in its text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sieve/Device.h"

namespace zentrova {

// Every OpenCL device of every platform, numbered platforms in order, then
// their devices (empty when there is no driver, or in a build without
// OpenCL).
std::vector<DeviceInfo> ListOpenClDevices();

class OpenClBackend : public SieveDevice {
 public:
  // Device `index` of ListOpenClDevices(); throws DeviceError.
  explicit OpenClBackend(int index);
  ~OpenClBackend() override;
  OpenClBackend(const OpenClBackend&) = delete;
  OpenClBackend& operator=(const OpenClBackend&) = delete;

  const DeviceInfo& Info() const override { return m_info; }
  void Wide(const std::vector<uint64_t>& p, const std::vector<uint64_t>& k, int ln, int64_t n,
            int32_t bMax, int tries, std::vector<uint8_t>& kind, std::vector<uint64_t>& a0,
            std::vector<WideHit>& hits) override;
  void Normal(const std::vector<uint64_t>& p, const std::vector<int32_t>& cand, int ln,
              std::vector<NormalHit>& hits) override;
  double BusySeconds() const override { return m_busy.count(); }

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  DeviceInfo m_info;
  std::chrono::duration<double> m_busy{0};
};

}  // namespace zentrova
