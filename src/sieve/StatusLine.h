// The statistics message: "$ <count> <p>", with p from 10^12 on shown as its
// leading digits, a comma and its last twelve digits.
#pragma once

#include <cstdint>
#include <string>

namespace zentrova {

std::string FormatStatusLine(int32_t count, uint64_t p);

// The p of a statistics line as plain digits (commas removed), for front ends.
bool ParseStatusLine(const std::string& line, int64_t& count, uint64_t& p);

}  // namespace zentrova
