// The merge of sieves that split one range of p between machines: each slice
// is a new sieve of the same b range and exponent over its own --p-min ..
// --p-max, with its factor file and candidate file. The whole is what one run
// over all the slices' p would have written: a base is a candidate when no
// slice struck it, its factor is the one of the first slice that struck it
// (the smallest, since the slices follow each other in p), and the depth is
// the last slice's.
#pragma once

#include <string>
#include <vector>

#include "files/CandidateFiles.h"

namespace zentrova {

struct SliceMergeInput {
  std::vector<std::string> factorFiles;     // one per slice, in increasing p
  std::vector<std::string> candidateFiles;  // the same slices, the same order
  bool wide = false;                        // the wide factor format (appended lines)
  std::string factorOut, candidateOut;
};

// Checks that the slices fit as far as the files can tell (one range and
// exponent, a pair per slice, depths increasing, every factor verified) and
// writes the two outputs; false after a message naming the file and what
// does not fit. The outputs replace their targets only when complete.
bool MergeSlices(const SliceMergeInput& in, const LogFn& log);

}  // namespace zentrova
