// Tuning constants, gathered in one place.
#pragma once

#include <cstdint>

namespace zentrova::config {

// Work of one batch of the normal loop, in modular squarings per thread
// (bases x ln x p). Larger batches waste less time in hand-over; smaller ones
// answer stop requests and ticks sooner. 2^23 squarings take about 10 ms with
// the portable kernel.
constexpr int64_t kNormalBatchWork = int64_t{1} << 23;

// Most p in one batch of the normal loop; bounds the look-ahead of the
// generator and the memory of the per-p hit lists.
constexpr int kNormalMaxBatch = 4096;

// Fermat lanes per generator round with a vector test (the portable test
// always uses 4). More lanes hide the multiply latency; the handed-out
// sequence does not depend on it.
constexpr int kVectorFermatBatch = 32;

// The packed K creation job looks at the clock once per this many values to
// publish its file header every second (a few microseconds of work apart).
constexpr uint32_t kPackClockEvery = 4096;

}  // namespace zentrova::config
