// The normal-mode sieve kernels and the choice between them.
//
// A kernel gets the remaining bases b_0 .. b_{n-1}, ln and a factor candidate
// p < 2^61, and appends to `hits` (in increasing order) every position j with
// b_j^(2^ln) == -1 (mod p). All kernels report exactly the same positions;
// the loop confirms each one with exact arithmetic anyway.
//
//   NormalSieveArray       portable 64-bit Montgomery, blocks of 8 bases
//   NormalSieveArray_SSE2  the vector kernel: the best instruction set the
//                          processor offers (AVX-512 IFMA, 8 lanes of 52-bit
//                          Montgomery; AVX2 + FMA, 4 lanes of exact double
//                          arithmetic), else the portable code
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zentrova {

enum class Isa { kAuto, kScalar, kAvx2, kAvx512 };

const char* IsaName(Isa isa);
bool ParseIsa(const std::string& text, Isa& isa);
// Whether this build and processor can run the level (kAuto, kScalar: always).
bool IsaAvailable(Isa isa);
// The level kAuto resolves to here.
Isa BestIsa();

using NormalKernelFn = void (*)(const int32_t* cand, size_t n, int ln, uint64_t p,
                                std::vector<uint32_t>& hits);

void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits);

// The vector kernel for a level (kAuto: the best available). Falls back to
// the portable kernel for a level the processor lacks.
NormalKernelFn NormalSieveArray_SSE2(Isa isa);

// Batch Fermat test for the candidate generator at a level.
using FermatBatchFn = void (*)(const uint64_t* p, int n, bool* pass);
FermatBatchFn FermatBatchFor(Isa isa);

namespace kernels {
namespace avx2 {
// 2^31 < p < 2^50 run in double-precision lanes; others in the portable kernel.
void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits);
}  // namespace avx2
namespace avx512ifma {
// 2^31 < p < 2^52 run in vector lanes; others in the portable kernel.
void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits);
void FermatBatch(const uint64_t* p, int n, bool* pass);
}  // namespace avx512ifma
}  // namespace kernels

}  // namespace zentrova
