// The kernels for factor candidates above the one-word bounds: the same
// contracts as the one-word kernels (Dispatch.h, WideKernel.h), with p and the
// root of unity a0 as unsigned __int128. Every p = k*2N + 1 with k < 2^63 and
// N <= 2^30 lies below 2^94 (kMaxModulus128); the kernels themselves are exact
// for every odd p below 2^126 (Montgomery128.h) or 2^127 (the Shoup walk).
//
// Each kernel has one crossover constant: the one-word kernel serves every p
// below it, the two-word kernel every p from it up. The one-word vector
// kernels keep their own, lower, limits and hand anything above to the
// portable one-word kernel, so they need no constant here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/Fermat128.h"
#include "sieve/kernels/Dispatch.h"
#include "sieve/kernels/WideKernel.h"

namespace zentrova {

// NormalSieveArray squares in Montgomery64, lazy for p < 2^62 (a raw base
// b < 2^32 included); its comparison with the target is on normalized
// residues below p. Nothing else in it depends on p.
inline constexpr uint64_t kNormalOneWordLimit = uint64_t{1} << 62;

// WideRootsPortable multiplies by Shoup's method: the remainder x*w - q*p is
// below 2p and is computed modulo 2^64, so it is exact while 2p < 2^64; its
// quotients (w * 2^64) / p fit one word since w < p. WideRootsSmallN uses the
// exact one-word reference only.
inline constexpr uint64_t kWideOneWordLimit = uint64_t{1} << 63;

// The a0 search in the wide loop (Montgomery64 powering and squaring) is lazy
// for p < 2^62, like the normal kernel.
inline constexpr uint64_t kA0OneWordLimit = uint64_t{1} << 62;

// The AVX2 two-word kernels (avx2_128.cpp) keep Montgomery forms on four
// 24-bit limbs, R = 2^96: a lazy product (x*y + M*p) / R of inputs below 2p
// is below 2p exactly while p < R/4, so they take every odd p below 2^94,
// which is every p of the range (kMaxModulus128), and hand the rest back.
inline constexpr unsigned __int128 kAvx2TwoWordLimit = static_cast<unsigned __int128>(1) << 94;

// The portable two-word normal kernel: every position j with
// cand[j]^(2^ln) == -1 (mod p), appended in increasing order, for odd
// 3 <= p < 2^126 and bases 0 <= cand[j] < 2^31. Needs no scratch.
void NormalSieveArray128(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                         std::vector<uint32_t>& hits, KernelScratch& scratch);

// The vector normal kernel for a level (kAuto: the best available): AVX-512
// IFMA on two 52-bit limbs for p < 2^102, AVX2 on four 24-bit limbs for
// p < kAvx2TwoWordLimit, else the portable two-word kernel.
inline NormalKernel128Fn NormalSieveArray128_SSE2(Isa isa) {
  return RunningIsaLevel(isa).kernels.normal128;
}

// The wide walk for odd p < 2^127 and N >= 32 (n = N), Shoup multiplication in
// two words, storing in the order of `order` exactly as WideRootsPortable
// does. Appends the roots (at most bMax) to `roots`; false when more than
// `capacity` would be stored.
bool WideRootsPortable128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                          WideOrder order, std::vector<uint32_t>& roots, size_t capacity);

// The same roots for N below 32, one by one, as WideRootsSmallN.
bool WideRootsSmallN128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                        std::vector<uint32_t>& roots, size_t capacity);

// The portable wide kernel behind the kernel signature, in the Athlon8x order,
// and the one for N below 32.
bool Athlon8xCondLoopArray128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                              std::vector<uint32_t>& roots, size_t capacity,
                              KernelScratch& scratch);
bool WideSmallN128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                   std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch);

// The vector wide kernel for a level, storing in the WideSieveArray_SSE
// order: AVX-512 IFMA on two 52-bit limbs for 2^52 < p < 2^102, AVX2 on four
// 24-bit limbs for 2^52 < p < kAvx2TwoWordLimit, else the portable two-word
// walk in the same order. N >= 32.
inline WideKernel128Fn WideSieveArray128_SSE(Isa isa) {
  return RunningIsaLevel(isa).kernels.wide128;
}

// The two-word Fermat batch test for the candidate generator at a level:
// AVX-512 IFMA for groups of moduli below 2^102, else FermatBatchScalar128.
inline FermatBatch128Fn FermatBatch128For(Isa isa) {
  return RunningIsaLevel(isa).kernels.fermat128;
}

// The a0 search of FindA0 (WideKernel.h) in two words, for odd 3 <= p < 2^126.
A0Search FindA0_128(unsigned __int128 p, uint64_t k, int ln, unsigned __int128& a0);

// The instruction-set files work on raw buffers only and return false for a
// p outside their range. Their two kernels have one shape each:
//
// NormalRaw128: the hits of NormalSieveArray128 into `hits` (room for n),
// their number in `count`, with `scratch` words of the file's own.
//
// WideRaw128: the walk of the stages split into `segments` (at most the
// file's kWideSegments) runs of stagesEach stages, walked side by side:
// starts holds each run's 16 values x_1, x_3, ..., x_31 (in [0, p)),
// stepMont the step S = a0^32 in the file's Montgomery form. Run h stores its
// roots (as the orders say, the first order for stage 0 of run 0 only) at
// roots + h * perSegment and their number in counts[h]; false also when a
// run has more than perSegment roots.
using NormalRaw128 = bool(const int32_t* cand, size_t n, int ln, unsigned __int128 p,
                          uint64_t* scratch, uint32_t* hits, size_t& count);
using WideRaw128 = bool(unsigned __int128 p, const unsigned __int128* starts, int segments,
                        int64_t stagesEach, unsigned __int128 stepMont, int32_t bMax,
                        const uint8_t* firstOrder, const uint8_t* laterOrder, uint32_t* roots,
                        size_t perSegment, size_t* counts);

// The IFMA file: two 52-bit limbs in Montgomery form (R = 2^104), 8 lanes.
namespace kernels::avx512ifma128 {
// Odd 3 <= p < 2^102; scratch has room for 16 * ((n + 8) / 8) words.
NormalRaw128 NormalSieveRaw;
// The base-2 Fermat test of FermatBatchScalar128 on eight moduli at a time,
// each odd, 3 <= p[i] < 2^102.
void FermatBatch(const unsigned __int128* p, int n, bool* pass);
// Odd 2^52 < p < 2^102, stepMont = S * 2^104 mod p.
inline constexpr int kWideSegments = 4;
WideRaw128 WideSieveRaw;
}  // namespace kernels::avx512ifma128

// The AVX2 file: four 24-bit limbs in Montgomery form (R = 2^96), 4 lanes.
namespace kernels::avx2_128 {
// Odd 3 <= p < kAvx2TwoWordLimit; scratch has room for 16 * ((n + 4) / 4)
// words.
NormalRaw128 NormalSieveRaw;
// Odd 2^52 < p < kAvx2TwoWordLimit, stepMont = S * 2^96 mod p.
inline constexpr int kWideSegments = 4;
WideRaw128 WideSieveRaw;
}  // namespace kernels::avx2_128

// The files above behind the common signatures, as the table of levels
// (KernelIsa.cpp) lists them, like their one-word counterparts in Dispatch.h
// (the wide walks: WideVector128.h).
namespace kernels {
// Groups of eight moduli below 2^102 to the IFMA test, others to the portable one.
void FermatAvx512_128(const unsigned __int128* p, int n, bool* pass);
// The portable walk in the vector kernels' storing order.
bool WidePortableSse128(unsigned __int128 p, unsigned __int128 a0, int64_t n, int32_t bMax,
                        std::vector<uint32_t>& roots, size_t capacity, KernelScratch& scratch);
}  // namespace kernels

}  // namespace zentrova
