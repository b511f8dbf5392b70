// The devices of this build: every backend compiled in, behind the sieve's
// DeviceProvider. Front ends hand SystemDevices() to the jobs they run.
#pragma once

#include <string>

#include "sieve/Device.h"

namespace zentrova {

// The OpenCL backend: its name in device ids ("opencl:0") and in
// DeviceInfo::backend.
inline constexpr const char* kOpenClBackend = "opencl";

DeviceProvider& SystemDevices();

// Whether a backend of this build is called `name`, as a numbered device
// ("name:N") must be.
bool IsBackendName(const std::string& name);

}  // namespace zentrova
