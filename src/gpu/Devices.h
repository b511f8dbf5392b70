// The devices of this build: every backend compiled in, behind the sieve's
// DeviceProvider. Front ends hand SystemDevices() to the jobs they run.
#pragma once

#include "sieve/Device.h"

namespace zentrova {

DeviceProvider& SystemDevices();

}  // namespace zentrova
