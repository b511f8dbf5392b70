// The backend of a build without OpenCL: no device can be opened.
#include "gpu/OpenClBackend.h"

namespace zentrova {

struct OpenClBackend::Impl {};

std::vector<DeviceInfo> ListOpenClDevices() {
  return {};
}

OpenClBackend::OpenClBackend(int) {
  throw DeviceError("This build of the program has no OpenCL support.");
}

OpenClBackend::~OpenClBackend() = default;

void OpenClBackend::Wide(const std::vector<uint64_t>&, const std::vector<uint64_t>&, int, int64_t,
                         int32_t, int, std::vector<uint8_t>&, std::vector<uint64_t>&,
                         std::vector<WideHit>&) {}

void OpenClBackend::Normal(const std::vector<uint64_t>&, const std::vector<int32_t>&, int,
                           std::vector<NormalHit>&) {}

}  // namespace zentrova
