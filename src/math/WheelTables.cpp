#include "math/WheelTables.h"

namespace zentrova {

namespace {

const std::array<std::vector<uint32_t>, WheelTables::kTables> kPrimes = {{
    {3, 5, 7, 11, 13},
    {17, 19, 23},
    {29, 31, 37},
    {41, 43, 47},
    {53, 59, 61},
}};

}  // namespace

const std::vector<uint32_t>& WheelPrimes(int table) { return kPrimes[table]; }

void WheelTables::BuildWheelTables() {
  for (int t = 0; t < kTables; ++t) {
    WheelTable& table = m_tables[t];
    const uint32_t modulus = kModuli[t];
    table.modulus = modulus;
    // One spare word so that bit L itself is addressable.
    table.bits.assign(modulus / 32 + 2, 0xffffffffu);
    auto clear = [&](uint32_t j) { table.bits[j >> 5] &= ~(uint32_t{1} << (j & 31)); };
    for (uint32_t q : kPrimes[t]) {
      for (uint32_t j = modulus; j >= q; j -= q) clear(j);
    }
    clear(0);
  }
}

bool WheelTables::Passes(uint64_t p) const {
  if (!m_tables[0].Passes(p)) {
    // p = 5 or 13 (p = 3 cannot be k*2N + 1 with N >= 2).
    return p == 3 || p == 5 || p == 7 || p == 11 || p == 13;
  }
  for (int t = 1; t < kTables; ++t) {
    if (!m_tables[t].Passes(p)) {
      if (p > 61) return false;
      for (uint32_t q : kPrimes[t]) {
        if (p == q) return true;
      }
      return false;
    }
  }
  return true;
}

}  // namespace zentrova
