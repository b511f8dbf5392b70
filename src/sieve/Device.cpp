#include "sieve/Device.h"

#include <cstdlib>

namespace zentrova {

std::optional<DeviceChoice> DeviceChoice::Parse(const std::string& text) {
  if (text == "cpu") return Cpu();
  if (text == "auto") return Auto();
  if (text == "gpu") return Gpu();
  const size_t colon = text.find(':');
  if (colon == 0 || colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] < 'a' || text[i] > 'z') return std::nullopt;
  }
  if (text.size() - colon - 1 > 6 ||
      text.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
    return std::nullopt;
  }
  return Numbered(text.substr(0, colon), std::atoi(text.c_str() + colon + 1));
}

std::string DeviceChoice::ToString() const {
  switch (kind) {
    case Kind::kCpu:
      return "cpu";
    case Kind::kAuto:
      return "auto";
    case Kind::kGpu:
      return "gpu";
    case Kind::kNumbered:
      break;
  }
  return backend + ":" + std::to_string(index);
}

}  // namespace zentrova
