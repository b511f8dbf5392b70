// File names are UTF-8 everywhere in the program; Win32 calls take UTF-16.
// These convert at that boundary (Windows only).
#pragma once

#include <string>
#include <string_view>

namespace zentrova::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace zentrova::platform
