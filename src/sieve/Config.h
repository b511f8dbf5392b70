// Tuning constants, gathered in one place.
#pragma once

#include <cstdint>

namespace zentrova::config {

// Work of one batch of the normal loop, in modular squarings per thread
// (bases x ln x p). Larger batches waste less time in hand-over (at 2^23 the
// workers were idle 8% of the time, at 2^25 2%); smaller ones answer stop
// requests and ticks sooner. 2^25 squarings take about 20 ms with the
// portable kernel, 3 ms with AVX-512.
constexpr int64_t kNormalBatchWork = int64_t{1} << 25;

// Most p in one batch of the normal loop; bounds the look-ahead of the
// generator and the memory of the per-p hit lists.
constexpr int kNormalMaxBatch = 4096;

// Fermat lanes per generator round with a vector test (the portable test
// always uses 4). More lanes hide the multiply latency; the handed-out
// sequence does not depend on it.
constexpr int kVectorFermatBatch = 64;

// Work of one batch of the wide loop, in modular multiplications per thread
// (N/2 per p). 2^24 take a few milliseconds with the vector kernel.
constexpr int64_t kWideBatchWork = int64_t{1} << 24;

// Work of one launch on an OpenCL device: modular multiplications (wide) or
// squarings (normal). Larger launches keep a graphics card busy; the stop
// request and ticks are looked at between them.
constexpr int64_t kGpuBatchWork = int64_t{1} << 28;
// Most p in one launch.
constexpr int64_t kGpuMaxBatch = int64_t{1} << 16;

// A device whose own checks failed this many times in a run is dropped for
// the rest of it (the CPU kernels go on): one failure may be a passing bit
// flip, and its batch is computed again anyway; a device that keeps failing
// costs a batch computed twice each time.
constexpr int kDeviceMismatchLimit = 3;
// The host recomputes the normal chains' check values of about one part in
// this many of a launch's chains, while the device computes them (on one
// thread, so against a card a hundred times faster than it the check still
// ends first); at least kDeviceCheckMinCells cells per launch. In wide mode
// it searches a0 again for as large a part of the p the device passed over
// (kDeviceA0MinSample). Lower it to catch a fault confined to a few p
// sooner.
constexpr int64_t kDeviceCheckShare = 1024;
constexpr int64_t kDeviceCheckMinCells = 8;
// The normal chains' check values per p: the bases in this many groups
// (fewer for a short list; a power of two), so that the host can check a
// part of a p.
constexpr uint32_t kDeviceCheckGroups = 64;
// The host searches a0 again for one in kDeviceCheckShare of the p of a wide
// launch that the device passed over as composite, and for at least this
// many (all of them in a smaller launch), a different part of the launch
// each time: a device that loses primes would lose their factors silently.
// A fifth of a microsecond (one word) to two thirds (two words) each on the
// device's thread (zentrova_check_cost), which also puts every a0 the
// device found through the exact guard.
constexpr int64_t kDeviceA0MinSample = 16;

// In a run spread over processes, batches are this many times larger: each
// costs a message to every process and back, and a process waits for its
// next part while process 0 collects the others.
constexpr int64_t kClusterBatchScale = 8;

// The search for a non-residue g gives up after this many g and passes the
// p over as composite (for a prime p half of all g qualify).
constexpr int kWideMaxGTries = 300;

// The packed K creation job looks at the clock once per this many values to
// publish its file header every second (a few microseconds of work apart).
constexpr uint32_t kPackClockEvery = 4096;

}  // namespace zentrova::config
