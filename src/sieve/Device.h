// The devices that compute batches of p for the sieve loops (graphics cards
// through OpenCL, or any later backend). The loops see only this interface:
// a backend lives in a folder of its own and is listed once, where the front
// ends enumerate devices (gpu/Devices.cpp), as BatchCluster is for MPI.
//
// A device only proposes: every hit comes back as an index that the loops
// confirm with exact arithmetic and apply in increasing p, as they do with
// the CPU kernels, so the files do not depend on where the work ran. Every
// device failure (no such device, a build error, a lost device, memory) is
// thrown as DeviceError with a complete message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "math/ModArith.h"

namespace zentrova {

class DeviceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a job's kernels run, as the user chose: the CPU; "auto" (the first
// graphics card, else the CPU); "gpu" (the first graphics card, else a
// refusal); or one device of a backend by its number ("opencl:N").
struct DeviceChoice {
  enum class Kind : uint8_t { kCpu, kAuto, kGpu, kNumbered };
  Kind kind = Kind::kCpu;
  std::string backend;  // kNumbered: the backend's name
  int index = 0;        // kNumbered: the device's number within its backend

  static DeviceChoice Cpu() { return {}; }
  static DeviceChoice Auto() { return {Kind::kAuto, {}, 0}; }
  static DeviceChoice Gpu() { return {Kind::kGpu, {}, 0}; }
  static DeviceChoice Numbered(std::string backend, int index) {
    return {Kind::kNumbered, std::move(backend), index};
  }
  // "cpu", "auto", "gpu" or "<backend>:<N>" (backend: lower-case letters);
  // nothing for any other text.
  static std::optional<DeviceChoice> Parse(const std::string& text);
  // The text Parse reads back.
  std::string ToString() const;
  bool OnCpu() const { return kind == Kind::kCpu; }
  bool operator==(const DeviceChoice&) const = default;
};

// What a job asks of a device beyond choosing it: an arithmetic forced by
// name (empty: the fastest, by a calibration on the device), and the first p
// it will sieve (an arithmetic that ends below it is of no use).
struct DeviceOptions {
  std::string kernel;
  UInt128 pMin = 0;
};

struct DeviceInfo {
  std::string backend;  // its name in device ids ("opencl" in "opencl:0")
  int index = 0;        // its number within the backend
  std::string platform;
  std::string name;
  bool gpu = false;          // a graphics card (not a CPU driver)
  std::string backendTitle{};  // the backend as messages name it ("OpenCL"); empty: its name
  std::string Id() const { return backend + ":" + std::to_string(index); }
};

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

// What a device's checks of its own results found in its last Wide or
// Normal call. Each work item of the wide walk compares the value it ends
// on with the power it must reach there, computed anew; the normal chains
// give each p a check value over all its bases, which the host recomputes
// for a sample of the p. A mismatch leaves every result of the call in
// doubt: the loops compute the batch again on the CPU.
struct DeviceChecks {
  struct Mismatch {
    uint32_t index;          // the p's index in the call
    std::string arithmetic;  // the kernel that computed it
  };
  int64_t checks = 0;  // walks or p checked
  std::vector<Mismatch> mismatches;
};

class SieveDevice {
 public:
  virtual ~SieveDevice() = default;

  virtual const DeviceInfo& Info() const = 0;

  // The device computes every p below this bound (p ascending in a batch:
  // the loops hand it the p below and compute the rest on the CPU).
  virtual UInt128 PLimit() const = 0;

  // Lines for the log about how the device computes (its kernels, and
  // whether their calibration could be kept), or none.
  virtual std::vector<std::string> KernelNotes() const { return {}; }

  // For each p = k*2N + 1: kind 2 and a0 when a primitive 2N-th root of
  // unity was found from g = 2, 3, 5, 7, ... within `tries` g, else kind 0;
  // then every root at most bMax as a hit (pairs: the N >= 32 walk of x_j and
  // p - x_j for odd j < N; else x_j for odd j < 2N).
  virtual void Wide(const std::vector<UInt128>& p, const std::vector<uint64_t>& k, int ln,
                    int64_t n, int32_t bMax, int tries, std::vector<uint8_t>& kind,
                    std::vector<UInt128>& a0, std::vector<WideHit>& hits) = 0;

  // For each p, the positions j with cand[j]^(2^ln) == -1 (mod p).
  virtual void Normal(const std::vector<UInt128>& p, const std::vector<int32_t>& cand, int ln,
                      std::vector<NormalHit>& hits) = 0;

  // The checks of the last Wide or Normal call (none for a device that
  // makes none).
  virtual DeviceChecks LastChecks() const { return {}; }

  // Time spent waiting for the device's work, for its busy fraction.
  virtual double BusySeconds() const = 0;
};

// The devices a program can use: every backend compiled in.
class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;
  // Every device of every backend (empty when there is none).
  virtual std::vector<DeviceInfo> List() = 0;
  // The device of a choice other than the CPU; throws DeviceError.
  virtual std::unique_ptr<SieveDevice> Open(const DeviceChoice& choice,
                                            const DeviceOptions& options) = 0;
};

}  // namespace zentrova
