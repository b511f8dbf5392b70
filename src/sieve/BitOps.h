// Bitmaps of bases in 32-bit words: bit i is bit i % 32 of word i / 32, least
// significant first. Each helper returns whether the bit was set before.
#pragma once

#include <cstdint>

namespace zentrova {

bool SetBitTest(int32_t i, uint32_t* bitmap);
bool ClearBitTest(int32_t i, uint32_t* bitmap);

}  // namespace zentrova
