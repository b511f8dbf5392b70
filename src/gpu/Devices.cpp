#include "gpu/Devices.h"

#include <functional>
#include <string>

#include "files/StrFormat.h"
#include "gpu/OpenClBackend.h"
#ifdef ZENTROVA_HAVE_OPENCL
#include "gpu/OpenClLoader.h"
#endif

namespace zentrova {

namespace {

struct Backend {
  const char* name;
  std::function<std::vector<DeviceInfo>()> list;
  std::function<std::unique_ptr<SieveDevice>(int index, const DeviceOptions& options)> open;
};

// Every backend of the build, one line each, in the order "gpu" tries them.
const Backend kBackends[] = {
    {kOpenClBackend, &ListOpenClDevices,
     [](int index, const DeviceOptions& options) -> std::unique_ptr<SieveDevice> {
       return std::make_unique<OpenClBackend>(index, options);
     }},
};

// A build with OpenCL on a machine without any OpenCL driver: said as such,
// rather than as a device that was not found.
void RequireOpenCl() {
#ifdef ZENTROVA_HAVE_OPENCL
  if (!OpenClLibraryFound()) {
    throw DeviceError("No OpenCL is installed (" + OpenClLibraryNames() +
                      " was not found): a GPU needs its driver, which brings OpenCL.");
  }
#endif
}

class BuiltInDevices : public DeviceProvider {
 public:
  std::vector<DeviceInfo> List() override {
    std::vector<DeviceInfo> all;
    for (const Backend& b : kBackends) {
      for (DeviceInfo& d : b.list()) all.push_back(std::move(d));
    }
    return all;
  }

  std::unique_ptr<SieveDevice> Open(const DeviceChoice& choice,
                                    const DeviceOptions& options) override {
    if (choice.kind != DeviceChoice::Kind::kCpu) RequireOpenCl();
    if (choice.kind == DeviceChoice::Kind::kNumbered) {
      for (const Backend& b : kBackends) {
        if (choice.backend == b.name) return b.open(choice.index, options);
      }
      throw DeviceError("Unknown device " + choice.ToString() + ".");
    }
    if (choice.kind == DeviceChoice::Kind::kCpu) throw DeviceError("The CPU is not a device.");
    for (const Backend& b : kBackends) {
      for (const DeviceInfo& d : b.list()) {
        if (d.gpu) return b.open(d.index, options);
      }
    }
    throw DeviceError("No OpenCL GPU was found.");
  }
};

}  // namespace

bool IsBackendName(const std::string& name) {
  for (const Backend& b : kBackends) {
    if (name == b.name) return true;
  }
  return false;
}

DeviceProvider& SystemDevices() {
  static BuiltInDevices devices;
  return devices;
}

}  // namespace zentrova
