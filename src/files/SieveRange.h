// What the readers and writers of a sieve's files share: the callback they
// report through (the job posts its lines), and the range and depth that the
// writers put in headers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "files/PNumber.h"

namespace zentrova {

using LogFn = std::function<void(const std::string&)>;

struct SieveRange {
  int32_t bMin = 0;
  int32_t bMax = 0;
  int32_t exponent = 0;
  int32_t ln = 0;
  UInt128 pCur = 0;  // the depth: the factor candidate p last handled
};

}  // namespace zentrova
