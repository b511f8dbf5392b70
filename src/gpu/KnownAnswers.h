// The known-answer test of a device's arithmetic: a short fixed set of wide
// walks and normal chains, run through the device's own Wide and Normal
// calls (so what is checked is what the sieve uses), whose answers the CPU
// computes exactly beforehand. Its p lie at the arithmetic's edges (just
// below its bound, both sides of 2^32 and 2^64, small p) and inside its
// range, for N from 2 (the walk one value at a time) to 2^13 (the walk of
// pairs); most are primes b^N + 1 or divide one, so that b is a root the
// walk and the chains must report. Toolkit-free: any SieveDevice runs it.
#pragma once

#include <string>

#include "sieve/Device.h"

namespace zentrova {

// The first answer of `device` that differs from the CPU's on the cases
// with p below `bound` (the device must take all of them), as a text such
// as "p = 17, N = 2: expected a0 = 13, got 4"; empty when every answer is
// right. A DeviceError of the device passes through.
std::string FirstWrongKnownAnswer(SieveDevice& device, UInt128 bound);

}  // namespace zentrova
