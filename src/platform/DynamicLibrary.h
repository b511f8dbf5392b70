// A shared library opened at run time (dlopen / LoadLibraryW), so that a
// program can use one when it is installed and run without it when it is
// not: the OpenCL driver's loader is the case in point.
#pragma once

#include <span>
#include <string>

namespace zentrova::platform {

class DynamicLibrary {
 public:
  // Tries the names in turn; IsOpen() tells whether one was found.
  explicit DynamicLibrary(std::span<const char* const> names);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool IsOpen() const { return m_handle != nullptr; }
  // The name that was opened; empty when none.
  const std::string& Name() const { return m_name; }
  // The address of a symbol; nullptr when the library lacks it.
  void* Symbol(const char* name) const;

 private:
  void* m_handle = nullptr;
  std::string m_name;
};

}  // namespace zentrova::platform
