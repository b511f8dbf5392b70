// The normal-mode sieve kernels and the choice between them.
//
// A kernel gets the remaining bases b_0 .. b_{n-1}, ln and a factor candidate
// p < 2^62 (one word; the two-word kernels of Kernels128.h take the p
// above), and appends to `hits` (in increasing order) every position j with
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

// The instruction-set levels of the kernels. The numbers travel in the
// messages of runs spread over processes: a new level takes a new number.
enum class Isa { kAuto, kScalar, kAvx2, kAvx512 };

// Every level the kernels come in, from the portable one up: the one list
// that the dispatch, the command line, the benchmarks and the tests read. A
// new level (say arm64 NEON) is one entry here and one kernel file.
const std::vector<Isa>& KernelIsas();

const char* IsaName(Isa isa);
bool ParseIsa(const std::string& text, Isa& isa);
// Whether this build and processor can run the level (kAuto, kScalar: always).
bool IsaAvailable(Isa isa);
// The level kAuto resolves to here.
Isa BestIsa();

// Buffers the vector kernels work in. The caller owns them, one per thread
// that runs kernels, so that no kernel keeps state of its own between calls.
struct KernelScratch {
  std::vector<uint64_t> values;
  std::vector<uint32_t> found;
};

using NormalKernelFn = void (*)(const int32_t* cand, size_t n, int ln, uint64_t p,
                                std::vector<uint32_t>& hits, KernelScratch& scratch);

// The portable kernel (it needs no scratch).
void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits, KernelScratch& scratch);

// The vector kernel for a level (kAuto: the best available). Falls back to
// the portable kernel for a level the processor lacks.
NormalKernelFn NormalSieveArray_SSE2(Isa isa);

// Batch Fermat test for the candidate generator at a level.
using FermatBatchFn = void (*)(const uint64_t* p, int n, bool* pass);
FermatBatchFn FermatBatchFor(Isa isa);

// The wide-mode kernels (see WideKernel.h): the roots of x^N == -1 (mod p)
// that are at most bMax, from a primitive 2N-th root of unity a0, appended
// to `roots`. False when more than `capacity` roots would be stored.
using WideKernelFn = bool (*)(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                              std::vector<uint32_t>& roots, size_t capacity,
                              KernelScratch& scratch);

// The portable kernel.
bool Athlon8xCondLoopArray(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                           std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch);

// The kernel a wide loop runs for N, with its name for messages: below
// N = 32 a stage of 32 exponents would overrun the N roots, so every level
// walks them one by one; else the vector kernel of the level, or the
// portable one when `vector` is false.
WideKernelFn WideKernelFor(Isa isa, bool vector, int64_t n, const char** name);

// The vector kernel for a level (AVX-512 IFMA for p < 2^51, AVX2 + FMA for
// p < 2^50, else portable arithmetic), storing in its own order.
WideKernelFn WideSieveArray_SSE(Isa isa);

// The instruction-set files. They work on raw buffers only and return false
// for a p outside their range, which the callers then hand to the portable
// code.
namespace kernels {
namespace avx2 {
// 2^31 < p < 2^50; hits has room for n entries.
bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, uint64_t p, uint32_t* hits,
                    size_t& count);
// p < 2^50 and N >= 64; the orders as for the IFMA walk below.
bool WideSieveRaw(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, const uint8_t* firstOrder,
                  const uint8_t* laterOrder, uint32_t* roots, size_t capacity, size_t& count);
}  // namespace avx2
namespace avx512ifma {
// 2^31 < p < 2^52; scratch has room for 8 * ((n + 8) / 8) values, hits for n.
bool NormalSieveRaw(const int32_t* cand, size_t n, int ln, uint64_t p, uint64_t* scratch,
                    uint32_t* hits, size_t& count);
void FermatBatch(const uint64_t* p, int n, bool* pass);
// p < 2^51 and N >= 128. The orders are 32 entries: index of x_j in the stage
// ((j - 1) / 2), plus 0x80 for p - x_j.
bool WideSieveRaw(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, const uint8_t* firstOrder,
                  const uint8_t* laterOrder, uint32_t* roots, size_t capacity, size_t& count);
}  // namespace avx512ifma
}  // namespace kernels

}  // namespace zentrova
