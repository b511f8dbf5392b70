// What the Win32 files of the platform layer share (Windows only). File names
// are UTF-8 everywhere in the program; Win32 calls take UTF-16: Widen and
// Narrow convert at that boundary.
#pragma once

#include <string>
#include <string_view>

namespace zentrova::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// The errno that stands for a Win32 error code (GetLastError), so that
// messages read as on other systems.
int ErrnoOf(unsigned long error);

}  // namespace zentrova::platform
