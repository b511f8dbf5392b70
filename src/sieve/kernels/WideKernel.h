// The wide-mode kernels: for a factor candidate p and a primitive 2N-th root
// of unity a0 modulo p, list every root of x^N == -1 (mod p) that is at most
// bMax. The N roots are the odd powers a0^j, j < 2N; a pass walks
// x_j = a0^j for j = 1, 3, ..., 31 in stages of 32 exponents (x_j times
// S = a0^32 per stage, N/32 stages), and a0^(j+N) = p - a0^j gives the other
// half. Every root is offered once and stored when it is at most bMax.
//
// The two kernels store the same set of roots, each in its own order within
// a stage (the order decides the order of factor lines within one p):
//   Athlon8xCondLoopArray   x_1, x_3, ..., x_31, then p-x_1, ..., p-x_31
//   WideSieveArray_SSE      for j = 1, 5, ..., 29: x_j, x_j+2, p-x_j, p-x_j+2;
//                           after the first stage the last group is stored as
//                           x_29, p-x_29, x_31, p-x_31
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zentrova {

enum class WideOrder { kAthlon, kSse };

// The storing order of one stage: 32 entries, the index (j - 1) / 2 of x_j
// plus 0x80 for p - x_j.
void WideStageOrder(WideOrder order, bool firstStage, uint8_t* slots);

// The portable pass (Shoup multiplication by the fixed step S, 64-bit).
// Appends the roots to `roots`; false when more than `capacity` would be
// stored (which cannot happen for a true root of unity: a pass yields at most
// N roots).
bool WideRootsPortable(uint64_t p, uint64_t a0, int64_t n, int32_t bMax, WideOrder order,
                       std::vector<uint32_t>& roots, size_t capacity);

// The same roots for N below 32, where a stage of 32 exponents would overrun
// the N roots: x_j for j = 1, 3, ..., 2N - 1 in turn. Same contract.
bool WideRootsSmallN(uint64_t p, uint64_t a0, int64_t n, int32_t bMax,
                     std::vector<uint32_t>& roots, size_t capacity);

// What the search for a0 found, in one word or two (FindA0_128, Kernels128.h).
enum class A0Search { kFound, kComposite, kInvalid };

// The primitive 2N-th root of unity a0 that the wide walk starts from, for
// p = k*2N + 1 (odd, 3 <= p < 2^62 in one word, below 2^126 in two): a = g^k
// for g = 2, 3, 5, 7, 9, ... (up to config::kWideMaxGTries of them) until
// a^N != 1, in lazy Montgomery arithmetic. For a prime p, a^N = g^((p-1)/2) is
// -1 exactly for the non-residues g, and then a has order 2N: a0 = a when
// a^N == -1 (kFound, a0 in [0, p), confirmed again with the exact reference),
// else p is composite, as it is when every g gives 1. kInvalid when the two
// arithmetics disagree.
A0Search FindA0(uint64_t p, uint64_t k, int ln, uint64_t& a0);

}  // namespace zentrova
