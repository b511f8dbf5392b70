// The five wheel bitmaps that reject factor candidates with a prime factor
// from 3 to 61. Table t covers the residues modulo L_t (a product of a few of
// those primes); bit j is 1 when j is divisible by none of the table's primes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zentrova {

struct WheelTable {
  uint32_t modulus = 0;
  std::vector<uint32_t> bits;  // bit j = bit (j % 32) of word j / 32

  bool Passes(uint64_t p) const {
    const uint64_t r = p % modulus;
    return (bits[r >> 5] >> (r & 31)) & 1;
  }
};

class WheelTables {
 public:
  static constexpr int kTables = 5;
  // Moduli 15015 = 3*5*7*11*13, 7429 = 17*19*23, 33263 = 29*31*37,
  // 82861 = 41*43*47, 190747 = 53*59*61.
  static constexpr std::array<uint32_t, kTables> kModuli = {15015, 7429, 33263, 82861, 190747};

  WheelTables() { BuildWheelTables(); }

  void BuildWheelTables();

  const WheelTable& Table(int i) const { return m_tables[i]; }

  // True when p has no prime factor from 3 to 61, or p is itself one of
  // those primes (a small modulus can be a true factor for small N).
  bool Passes(uint64_t p) const;

 private:
  std::array<WheelTable, kTables> m_tables;
};

// The primes of table i, for tests and documentation.
const std::vector<uint32_t>& WheelPrimes(int table);

}  // namespace zentrova
