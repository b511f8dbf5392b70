// Helpers shared by the tests: a scratch folder per test, whole-file reads,
// and a seed for randomised tests that is printed so a failure can be replayed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/Files.h"
#include <sstream>
#include <string>

#include <random>

namespace zentrova::test {

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchDir {
  // Tells apart the folders of test programs running at once.
  static uint32_t ProcessTag() {
    static const uint32_t tag = std::random_device{}();
    return tag;
  }

 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("zentrova-") + (info ? info->test_suite_name() : "t") + "-" +
                       (info ? info->name() : "x") + "-" + std::to_string(ProcessTag()) + "-" +
                       std::to_string(Counter()++);
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    m_path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~ScratchDir() { std::filesystem::remove_all(m_path); }
  // UTF-8, as every name in the program.
  std::string operator/(const std::string& file) const {
    return platform::Utf8(m_path) + "/" + file;
  }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  static int& Counter() {
    static int counter = 0;
    return counter;
  }
  std::filesystem::path m_path;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The seed of a randomised test: ZENTROVA_SEED if set, else from the clock;
// printed either way.
inline uint64_t TestSeed() {
  uint64_t seed = 0;
  if (const char* env = std::getenv("ZENTROVA_SEED")) {
    seed = std::strtoull(env, nullptr, 10);
  } else {
    seed = std::random_device{}();
  }
  std::printf("random seed %llu (set ZENTROVA_SEED to repeat)\n",
              static_cast<unsigned long long>(seed));
  return seed;
}

}  // namespace zentrova::test
