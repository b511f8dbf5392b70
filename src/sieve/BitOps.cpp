#include "sieve/BitOps.h"

namespace zentrova {

bool SetBitTest(int32_t i, uint32_t* bitmap) {
  const auto index = static_cast<uint32_t>(i);
  const uint32_t mask = uint32_t{1} << (index & 31);
  uint32_t& word = bitmap[index >> 5];
  const bool was = (word & mask) != 0;
  word |= mask;
  return was;
}

bool ClearBitTest(int32_t i, uint32_t* bitmap) {
  const auto index = static_cast<uint32_t>(i);
  const uint32_t mask = uint32_t{1} << (index & 31);
  uint32_t& word = bitmap[index >> 5];
  const bool was = (word & mask) != 0;
  word &= ~mask;
  return was;
}

}  // namespace zentrova
