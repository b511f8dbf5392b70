// The backend of a build without OpenCL: no device can be opened.
#include "gpu/OpenClBackend.h"

namespace zentrova {

struct OpenClBackend::Impl {};

std::vector<DeviceInfo> ListOpenClDevices() {
  return {};
}

const std::vector<GpuArithmetic>& GpuArithmetics() {
  static const std::vector<GpuArithmetic> none;
  return none;
}

std::string GpuArithmeticSource(const std::string&) {
  return {};
}

ScopedExtraArithmetic::ScopedExtraArithmetic(GpuArithmetic, std::string, int, bool, bool) {}

ScopedExtraArithmetic::~ScopedExtraArithmetic() = default;

OpenClBackend::OpenClBackend(int, const DeviceOptions&) {
  throw DeviceError("This build of the program has no OpenCL support.");
}

OpenClBackend::~OpenClBackend() = default;

void OpenClBackend::Wide(const std::vector<UInt128>&, const std::vector<uint64_t>&, int, int64_t,
                         int32_t, int, std::vector<uint8_t>&, std::vector<UInt128>&,
                         std::vector<WideHit>&) {}

void OpenClBackend::Normal(const std::vector<UInt128>&, const std::vector<int32_t>&, int,
                           std::vector<NormalHit>&) {}

double OpenClBackend::MeasureWalk(int, double) {
  return 0;
}

std::string OpenClBackend::KnownAnswerFailure(int) {
  return {};
}

}  // namespace zentrova
