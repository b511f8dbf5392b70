// A source of k values for the sieve loops other than the built-in generator
// (a sequence of packed K files). Next reads the following k; false means the
// source is exhausted or failed, after it has posted its own messages.
#pragma once

#include <cstdint>

namespace zentrova {

class CandidateSource {
 public:
  virtual ~CandidateSource() = default;
  virtual bool Next(int64_t& k) = 0;
};

}  // namespace zentrova
