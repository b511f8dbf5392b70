#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Files.h"

namespace {

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name, value.c_str());
#else
  ::setenv(name, value.c_str(), 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The GPU kernels' calibration goes to a cache folder of the tests' own,
  // never the user's (PoCL keeps its compiled kernels where it did).
  if (std::getenv("POCL_CACHE_DIR") == nullptr) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg != '\0') {
      SetEnv("POCL_CACHE_DIR", std::string(xdg) + "/pocl");
    } else if (home != nullptr && *home != '\0') {
      SetEnv("POCL_CACHE_DIR", std::string(home) + "/.cache/pocl");
    }
  }
  const std::string folder = zentrova::platform::MakeTemporaryFolder("zentrova-test-cache-");
  const bool cache = !folder.empty();
  if (cache) {
    SetEnv("XDG_CACHE_HOME", folder);
    SetEnv("LOCALAPPDATA", folder);
  }
  const int result = RUN_ALL_TESTS();
  if (cache) std::filesystem::remove_all(zentrova::platform::FsPath(folder));
  return result;
}
