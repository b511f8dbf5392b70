// The merge of sieves that split one range of p between machines: each slice
// is a new sieve of the same b range and exponent over its own --p-min ..
// --p-max, with its factor file and candidate file. The whole is what one run
// over all the slices' p would have written: a base is a candidate when no
// slice struck it, its factor is the one of the first slice that struck it
// (the smallest, since the slices follow each other in p), and the depth is
// the last slice's.
//
// The files do not say where a slice started, so each slice comes with its
// --p-min: slice i covers every factor candidate p from pMin[i] to its
// depth. The slices must tile the p from the first one on: the first starts
// at the first p (no candidate below its pMin), and each next one starts
// above the depth of the one before (no overlap) with no candidate p between
// that depth and its start (no gap: a slice stopped early, or a --p-max below
// the next --p-min minus one, leaves one).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/CandidateFiles.h"

namespace zentrova {

struct SliceMergeInput {
  std::vector<std::string> factorFiles;     // one per slice, in increasing p
  std::vector<std::string> candidateFiles;  // the same slices, the same order
  std::vector<UInt128> pMins;               // the --p-min each slice was started with
  bool wide = false;                        // the wide factor format (appended lines)
  std::string factorOut, candidateOut;
};

// Locks the two outputs as a run does (OutputLock) and refuses inputs that a
// run holds as its outputs (InputLock), checks that the slices fit (one range
// and exponent, a pair per slice, every factor verified and inside its slice,
// the slices tiling the p as above) and writes the two outputs; false after
// a message naming the file and what does not fit, the outputs untouched.
// The outputs replace their targets only when complete.
bool MergeSlices(const SliceMergeInput& in, const LogFn& log);

}  // namespace zentrova
