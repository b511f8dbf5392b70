#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The GPU kernels' calibration goes to a cache folder of the tests' own,
  // never the user's.
  char folder[] = "/tmp/zentrova-test-cache-XXXXXX";
  const bool cache = ::mkdtemp(folder) != nullptr;
  if (cache) ::setenv("XDG_CACHE_HOME", folder, 1);
  const int result = RUN_ALL_TESTS();
  if (cache) std::filesystem::remove_all(folder);
  return result;
}
