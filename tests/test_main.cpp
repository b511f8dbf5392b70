#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The GPU kernels' calibration goes to a cache folder of the tests' own,
  // never the user's (PoCL keeps its compiled kernels where it did).
  if (std::getenv("POCL_CACHE_DIR") == nullptr) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg != '\0') {
      ::setenv("POCL_CACHE_DIR", (std::string(xdg) + "/pocl").c_str(), 1);
    } else if (home != nullptr && *home != '\0') {
      ::setenv("POCL_CACHE_DIR", (std::string(home) + "/.cache/pocl").c_str(), 1);
    }
  }
  char folder[] = "/tmp/zentrova-test-cache-XXXXXX";
  const bool cache = ::mkdtemp(folder) != nullptr;
  if (cache) ::setenv("XDG_CACHE_HOME", folder, 1);
  const int result = RUN_ALL_TESTS();
  if (cache) std::filesystem::remove_all(folder);
  return result;
}
