#include <windows.h>

#include "platform/DynamicLibrary.h"
#include "platform/Utf8.h"

namespace zentrova::platform {

DynamicLibrary::DynamicLibrary(std::span<const char* const> names) {
  for (const char* name : names) {
    // The program's folder and the system's, never the current folder (where
    // a planted DLL would be loaded); the plain search only on a Windows too
    // old to take the flag.
    const std::wstring wide = Widen(name);
    HMODULE module = ::LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
      module = ::LoadLibraryW(wide.c_str());
    }
    if (module != nullptr) {
      m_handle = module;
      m_name = name;
      return;
    }
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (m_handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_handle));
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (m_handle == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

}  // namespace zentrova::platform
