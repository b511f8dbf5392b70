// Small parts that the kernels share, the portable ones and the
// instruction-set files alike: what every wide walk does with a stage of 32
// exponents (the layout of a stage's slots, storing a stage's roots in slot
// order, the odd powers of a0 that start a walk), and the blocks in which
// the normal vector kernels run their chains.
//
// Everything here has internal linkage: the instruction-set files include
// this header too, and each must keep its own copy, compiled with its own
// flags, rather than one that the linker could pick for the portable code
// (the same reason those files use no standard-library templates).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentrova {
namespace {  // internal linkage: see above

// A slot of WideStageOrder: the index (j - 1) / 2 of x_j within the stage,
// plus kSlotNegated for p - x_j.
constexpr uint8_t kSlotIndex = 15;
constexpr uint8_t kSlotNegated = 0x80;

// Offers the 32 slots of one stage in their order: x[i] (residues in [0, p))
// or p - x[i], and calls store(root) for each that is at most limit. Stops
// and returns false as soon as store does (when the room is used up).
template <typename Word, typename Store>
inline bool StoreStageRoots(const Word* x, const uint8_t* slots, Word p, Word limit,
                            Store&& store) {
  for (int t = 0; t < 32; ++t) {
    const Word xj = x[slots[t] & kSlotIndex];
    const Word v = (slots[t] & kSlotNegated) ? p - xj : xj;
    if (v <= limit && !store(static_cast<uint32_t>(v))) return false;
  }
  return true;
}

// a*b mod p, exactly, for one-word moduli (set-up only).
inline uint64_t MulModScalar(uint64_t a, uint64_t b, uint64_t p) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) % p);
}

// x[i] = a0^(2i + 1) mod p for i < count: the first values of a one-word
// walk (set-up only).
inline void OddPowers(uint64_t a0, uint64_t p, int count, uint64_t* x) {
  const uint64_t a2 = MulModScalar(a0, a0, p);
  x[0] = a0 % p;
  for (int i = 1; i < count; ++i) x[i] = MulModScalar(x[i - 1], a2, p);
}

// The two-word vector walks (WideSieveRaw of avx2_128.cpp and
// avx512ifma128.cpp): whether a walk takes p (odd, 2^52 < p < maxP), bMax
// and the number of runs.
inline bool WideRawTakes(unsigned __int128 p, unsigned __int128 maxP, int32_t bMax, int segments,
                         int maxSegments) {
  return p < maxP && p > (static_cast<unsigned __int128>(1) << 52) && (p & 1) != 0 && bMax >= 0 &&
         segments >= 1 && segments <= maxSegments;
}

// Stores the roots of one run's stage, its 16 values lazily below 2p, after
// the `count` roots at out; false when there is room for no more than `room`.
inline bool StoreRunStage(unsigned __int128* values, const uint8_t* slots, unsigned __int128 p,
                          unsigned __int128 limit, uint32_t* out, size_t room, size_t& count) {
  for (int i = 0; i < 16; ++i) values[i] = values[i] >= p ? values[i] - p : values[i];
  return StoreStageRoots(values, slots, p, limit, [&](uint32_t root) {
    if (count == room) return false;
    out[count++] = root;
    return true;
  });
}

// block.template operator()<size>(first) for a size from 1 to kMost known
// only at run time.
template <int kMost, typename Block>
inline void RunSize(size_t size, size_t first, Block& block) {
  if constexpr (kMost > 1) {
    if (size < static_cast<size_t>(kMost)) {
      RunSize<kMost - 1>(size, first, block);
      return;
    }
  }
  block.template operator()<kMost>(first);
}

// Runs `vectors` vectors of chains in blocks of at most kMost vectors, the
// sizes evened out (26 vectors in blocks of at most 8 run as 7, 7, 6, 6
// rather than 8, 8, 8, 2): a short last block would leave the multipliers
// waiting on its few chains. block.template operator()<U>(first) runs the U
// vectors from vector `first`, 1 <= U <= kMost.
template <int kMost, typename Block>
inline void EvenBlocks(size_t vectors, Block&& block) {
  const size_t blocks = (vectors + kMost - 1) / kMost;
  size_t v = 0;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t size = (vectors - v) / (blocks - b) + ((vectors - v) % (blocks - b) != 0 ? 1 : 0);
    RunSize<kMost>(size, v, block);
    v += size;
  }
}

}  // namespace
}  // namespace zentrova
