#include <dlfcn.h>

#include "platform/DynamicLibrary.h"

namespace zentrova::platform {

DynamicLibrary::DynamicLibrary(std::span<const char* const> names) {
  for (const char* name : names) {
    m_handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (m_handle != nullptr) {
      m_name = name;
      return;
    }
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (m_handle != nullptr) ::dlclose(m_handle);
}

void* DynamicLibrary::Symbol(const char* name) const {
  return m_handle == nullptr ? nullptr : ::dlsym(m_handle, name);
}

}  // namespace zentrova::platform
