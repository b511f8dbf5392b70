// The sieve kernels on an OpenCL device: the wide mode's a0 search and root
// walk, and the normal mode's squaring chains, for batches of candidates p.
// The kernels are written once (gpu/kernels/walks.cl) over several
// arithmetics (gpu/kernels/arith_*.cl), each exact below its bound; the
// fastest one on the device for each p range is chosen by a calibration
// (gpu/KernelChoice.h), or forced by name. One of the sieve's devices
// (sieve/Device.h): every OpenCL failure is thrown as DeviceError with the
// driver's code in its text.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gpu/KernelChoice.h"
#include "sieve/Device.h"

namespace zentrova {

// Every OpenCL device of every platform, numbered platforms in order, then
// their devices (empty when there is no driver, or in a build without
// OpenCL).
std::vector<DeviceInfo> ListOpenClDevices();

// Every arithmetic of the GPU kernels, in the order of the kernel files.
const std::vector<GpuArithmetic>& GpuArithmetics();

// The source text of an arithmetic of GpuArithmetics() by name: the
// functions gpu/kernels/walks.cl lists (empty for no such arithmetic).
std::string GpuArithmeticSource(const std::string& name);

// For tests that prove a wrong arithmetic is caught: adds one after the
// others (say, a built-in one with a planted fault) for as long as it lives.
// Made and dropped while no device is open; the last one made goes first.
// Without `checked` (a source that defines ZK_UNCHECKED, to time what the
// checks cost), the host neither launches nor makes the checks of its
// results either.
class ScopedExtraArithmetic {
 public:
  ScopedExtraArithmetic(GpuArithmetic arithmetic, std::string source, int rBits,
                        bool needsFp64 = false, bool checked = true);
  ~ScopedExtraArithmetic();
  ScopedExtraArithmetic(const ScopedExtraArithmetic&) = delete;
  ScopedExtraArithmetic& operator=(const ScopedExtraArithmetic&) = delete;
};

// The refusal of an arithmetic forced by name that gave a wrong answer on
// its known-answer test on the device.
class KnownAnswerError : public DeviceError {
 public:
  using DeviceError::DeviceError;
};

class OpenClBackend : public SieveDevice {
 public:
  // Device `index` of ListOpenClDevices(), its kernels chosen for options
  // (calibrated unless one is forced), each passing its known-answer test
  // first; throws DeviceError (KnownAnswerError for a forced one that fails).
  OpenClBackend(int index, const DeviceOptions& options);
  ~OpenClBackend() override;
  OpenClBackend(const OpenClBackend&) = delete;
  OpenClBackend& operator=(const OpenClBackend&) = delete;

  const DeviceInfo& Info() const override { return m_info; }
  UInt128 PLimit() const override { return m_plan.Limit(); }
  std::vector<std::string> KernelNotes() const override { return m_notes; }
  void Wide(const std::vector<UInt128>& p, const std::vector<uint64_t>& k, int ln, int64_t n,
            int32_t bMax, int tries, std::vector<uint8_t>& kind, std::vector<UInt128>& a0,
            std::vector<WideHit>& hits) override;
  void Normal(const std::vector<UInt128>& p, const std::vector<int32_t>& cand, int ln,
              std::vector<NormalHit>& hits) override;
  DeviceChecks LastChecks() const override { return m_checks; }
  double BusySeconds() const override { return m_busy.count(); }

  // Steps of the wide walk per second of arithmetic i of GpuArithmetics() on
  // this device, timed for about `seconds`; 0 when it cannot run here.
  double MeasureWalk(int arithmetic, double seconds);

  // The first wrong answer of arithmetic i of GpuArithmetics() on its
  // known-answer test (gpu/KnownAnswers.h) on this device, through the
  // device's own Wide and Normal; empty when all are right. Not while a
  // batch runs: the test lends itself the device's plan.
  std::string KnownAnswerFailure(int arithmetic);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  DeviceInfo m_info;
  KernelPlan m_plan;
  std::vector<std::string> m_notes;
  std::chrono::duration<double> m_busy{0};
  DeviceChecks m_checks;      // of the last Wide or Normal
  uint64_t m_checkRound = 0;  // launches of the normal chains, to move the checks' sample
};

}  // namespace zentrova
