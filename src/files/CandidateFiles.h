// A normal sieve's pair of files, its candidate file and its factor file,
// taken together: the save that replaces both or neither, and the check that
// every base of the range is in exactly one of them. Includes both formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/CandidateFile.h"
#include "files/FactorFile.h"
#include "files/SieveRange.h"
#include "math/ExponentLog2.h"

namespace zentrova {

// Writes the pair: both files are completed beside their targets before
// either replaces its target, so a write that fails (a full disk) leaves both
// previous files as they were, with a line saying so. Messages as
// WriteFactorFile and WriteCandidateList.
bool WriteFactorAndCandidateFiles(std::vector<FactorRecord>& factors, std::vector<int32_t>& cand,
                                  const SieveRange& range, const std::string& factorPath,
                                  const std::string& candPath, const LogFn& log,
                                  bool* verified = nullptr);

// Checks, on lists sorted ascending, that every base of the range is in exactly
// one of them. Returns true when consistent.
bool CheckFactorsAndCandidates(const std::vector<int32_t>& cand,
                               const std::vector<FactorRecord>& factors, const SieveRange& range,
                               const LogFn& log);

}  // namespace zentrova
