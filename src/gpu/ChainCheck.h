// The normal chains' check values (gpu/kernels/walks.cl), as the host
// recomputes them: toolkit-free, so that any backend's chains can be
// checked the same way.
//
// The bases of a p are split by their position j in the list into `groups`
// groups (j mod groups); a group's check value is the XOR over its bases b
// of b^N * R mod p (R = 2^rBits, the arithmetic's Montgomery constant; 1 for
// rBits 0), each value folded to 32 bits (the XOR of its 32-bit words). One
// value per base below p, so a chain gone wrong changes its group's value
// (unless another wrong chain of the group cancels it exactly).
#pragma once

#include <cstdint>
#include <vector>

#include "math/ModArith.h"

namespace zentrova {

// The groups of a list of nCand bases: a power of two up to
// config::kDeviceCheckGroups, each of at least 64 bases where the list
// allows (the kernel takes a position's group with a mask).
uint32_t ChainCheckGroups(uint32_t nCand);

// The check value of group g of p.
uint32_t ChainCheckValue(UInt128 p, const std::vector<int32_t>& cand, int ln, int rBits, uint32_t g,
                         uint32_t groups);

// The cells (p index * groups + group) of a launch of `count` p that the
// host checks: about one in config::kDeviceCheckShare, at least
// config::kDeviceCheckMinCells (every cell of a small launch), spread evenly
// over the launch and shifted by `round` from one launch to the next.
std::vector<uint64_t> ChainCheckSample(uint32_t count, uint32_t groups, uint64_t round);

}  // namespace zentrova
