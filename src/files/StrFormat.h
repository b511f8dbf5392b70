// printf-style formatting into a std::string, for the fixed message and line
// formats of the files and jobs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// The C99 rules of the format string (MinGW's "printf" would be the old
// Windows runtime's, which knows no %zu).
#ifdef __MINGW32__
#define ZENTROVA_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define ZENTROVA_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace zentrova {

ZENTROVA_PRINTF_FORMAT(1, 2) inline std::string StrFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

}  // namespace zentrova
