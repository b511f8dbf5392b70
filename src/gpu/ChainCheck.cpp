#include "gpu/ChainCheck.h"

#include <algorithm>

#include "math/Montgomery64.h"
#include "sieve/Config.h"

namespace zentrova {

uint32_t ChainCheckGroups(uint32_t nCand) {
  uint32_t groups = 1;
  while (groups < config::kDeviceCheckGroups && groups * 128 <= nCand) groups *= 2;
  return groups;
}

namespace {

uint32_t Fold(UInt128 v) {
  return static_cast<uint32_t>(v) ^ static_cast<uint32_t>(v >> 32) ^
         static_cast<uint32_t>(v >> 64) ^ static_cast<uint32_t>(v >> 96);
}

}  // namespace

uint32_t ChainCheckValue(UInt128 p, const std::vector<int32_t>& cand, int ln, int rBits, uint32_t g,
                         uint32_t groups) {
  const UInt128 r = rBits == 0 ? 1 % p : (static_cast<UInt128>(1) << rBits) % p;
  uint32_t value = 0;
  if (p < (static_cast<UInt128>(1) << 62)) {
    // One word: the chain in Montgomery form (R = 2^64), then back to plain.
    const auto q = static_cast<uint64_t>(p);
    const Montgomery64 mont(q);
    for (size_t j = g; j < cand.size(); j += groups) {
      uint64_t x = mont.ToMontgomery(static_cast<uint32_t>(cand[j]) % q);
      for (int i = 0; i < ln; ++i) x = mont.Square(x);
      const uint64_t plain = mont.FromMontgomery(x);
      value ^= Fold(MulModExact(plain, static_cast<uint64_t>(r), q));
    }
    return value;
  }
  for (size_t j = g; j < cand.size(); j += groups) {
    UInt128 x = static_cast<UInt128>(static_cast<uint32_t>(cand[j])) % p;
    for (int i = 0; i < ln; ++i) x = MulModExact128(x, x, p);
    value ^= Fold(MulModExact128(x, r, p));
  }
  return value;
}

std::vector<uint64_t> ChainCheckSample(uint32_t count, uint32_t groups, uint64_t round) {
  const uint64_t cells = static_cast<uint64_t>(count) * groups;
  const uint64_t want = std::min<uint64_t>(
      cells, std::max<uint64_t>(config::kDeviceCheckMinCells,
                                cells / static_cast<uint64_t>(config::kDeviceCheckShare)));
  std::vector<uint64_t> out;
  if (want == 0) return out;
  // Evenly spaced, all moved by a hash of the round so that the sample
  // changes from launch to launch.
  const uint64_t stride = cells / want;
  const uint64_t shift = round * 0x9E3779B97F4A7C15ULL % stride;
  out.reserve(want);
  for (uint64_t s = 0; s < want; ++s) out.push_back(s * stride + shift);
  return out;
}

}  // namespace zentrova
