// The base-2 Fermat test of the candidate generator for two-word moduli:
// 2^(p-1) == 1 (mod p), batched so that the multiplies of several p overlap.
#pragma once

#include <cstdint>

namespace zentrova {

// The largest p the one-word test (FermatBatchScalar, Montgomery64) takes,
// plus one: its doubling step shifts a lazy residue below 2p left by one bit,
// which stays below 2^64 exactly when p < 2^62. At and above it, the
// two-word test below.
inline constexpr uint64_t kFermatOneWordLimit = uint64_t{1} << 62;

// For each of n odd moduli 3 <= p[i] < 2^126 set pass[i] to whether
// 2^(p-1) == 1 (mod p[i]).
using FermatBatch128Fn = void (*)(const unsigned __int128* p, int n, bool* pass);
void FermatBatchScalar128(const unsigned __int128* p, int n, bool* pass);

}  // namespace zentrova
