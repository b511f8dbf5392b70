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
//
// The levels and the kernels of each: the table of KernelIsa.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sieve/kernels/KernelIsa.h"

namespace zentrova {

// The portable kernel (it needs no scratch).
void NormalSieveArray(const int32_t* cand, size_t n, int ln, uint64_t p,
                      std::vector<uint32_t>& hits, KernelScratch& scratch);

// The vector kernel for a level (kAuto: the best available). Falls back to
// the portable kernel for a level the processor lacks.
inline NormalKernelFn NormalSieveArray_SSE2(Isa isa) {
  return RunningIsaLevel(isa).kernels.normal;
}

// Batch Fermat test for the candidate generator at a level.
inline FermatBatchFn FermatBatchFor(Isa isa) {
  return RunningIsaLevel(isa).kernels.fermat;
}

// The wide-mode kernels (see WideKernel.h): the roots of x^N == -1 (mod p)
// that are at most bMax, from a primitive 2N-th root of unity a0, appended
// to `roots`. False when more than `capacity` roots would be stored. The
// portable kernel:
bool Athlon8xCondLoopArray(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                           std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch);

// The kernel a wide loop runs for N, with its name for messages: below
// N = 32 a stage of 32 exponents would overrun the N roots, so every level
// walks them one by one; else the vector kernel of the level, or the
// portable one when `vector` is false.
WideKernelFn WideKernelFor(Isa isa, bool vector, int64_t n, const char** name);

// The vector kernel for a level (AVX-512 IFMA for p < 2^51, AVX2 + FMA for
// p < 2^50, else portable arithmetic), storing in its own order.
inline WideKernelFn WideSieveArray_SSE(Isa isa) {
  return RunningIsaLevel(isa).kernels.wide;
}

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

// The files above behind the common signatures, as the table of levels
// (KernelIsa.cpp) lists them: they work in the caller's scratch and hand a p
// outside their range to the portable code. Their two-word counterparts are
// in Kernels128.h.
bool WideAvx2(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
              size_t capacity, KernelScratch& scratch);
bool WideAvx512(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, std::vector<uint32_t>& roots,
                size_t capacity, KernelScratch& scratch);
// The portable walk in the vector kernels' storing order.
bool WidePortableSse(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                     std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch);

// The storing order of the vector walks (WideOrder::kSse) as the raw files
// take it, made once.
struct SseStageOrders {
  uint8_t first[32];
  uint8_t later[32];
};
const SseStageOrders& SseOrders();
}  // namespace kernels

}  // namespace zentrova
