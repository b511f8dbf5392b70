// The portable base-2 Fermat tests of the candidate generator, one word and
// two: 2^(p-1) == 1 (mod p), batched so that the multiplies of several p
// overlap. Both come from one template over the arithmetic (Fermat128.cpp).
#pragma once

#include <cstdint>

namespace zentrova {

// Signature of a batch Fermat test: for each of n odd moduli set pass[i] to
// whether 2^(p[i]-1) == 1 (mod p[i]). The vector kernels provide faster ones.
using FermatBatchFn = void (*)(const uint64_t* p, int n, bool* pass);

// The portable one-word test, four interleaved 64-bit Montgomery chains.
void FermatBatchScalar(const uint64_t* p, int n, bool* pass);

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
