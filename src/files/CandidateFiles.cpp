#include "files/CandidateFiles.h"

#include "files/AtomicTextFile.h"
#include "files/LoggedOutput.h"
#include "files/StrFormat.h"

namespace zentrova {

bool WriteFactorAndCandidateFiles(std::vector<FactorRecord>& factors, std::vector<int32_t>& cand,
                                  const SieveRange& range, const std::string& factorPath,
                                  const std::string& candPath, const LogFn& log,
                                  bool* verified) {
  const bool allVerified = VerifyAndSortFactors(factors, range, log);
  if (verified != nullptr) *verified = allVerified;
  if (!SortCandidateList(cand, range, log)) return false;
  AtomicTextFile factorOut(factorPath);
  AtomicTextFile candOut(candPath);
  if (!StageFactorFile(factors, range, factorOut, log)) {
    log(StrFormat("Sieve file %s was not replaced either, so that it still pairs with the "
                  "factor file.",
                  candPath.c_str()));
    return false;
  }
  if (!StageCandidateList(cand, range, candOut, log)) {
    log(StrFormat("Factor file %s was not replaced either, so that it still pairs with the "
                  "sieve file.",
                  factorPath.c_str()));
    return false;
  }
  // Both files are complete on disk. A crash between the two renames leaves
  // the new factor file beside the old candidate file, which a resume accepts.
  if (!PublishOutput(factorOut, "factor file", log)) return false;
  log(StrFormat("%d Factors written to %s", static_cast<int>(factors.size()), factorPath.c_str()));
  if (!PublishOutput(candOut, "file", log)) return false;
  LogCandidatesWritten(static_cast<int64_t>(cand.size()), range, candPath, log);
  return true;
}

bool CheckFactorsAndCandidates(const std::vector<int32_t>& cand,
                               const std::vector<FactorRecord>& factors, const SieveRange& range,
                               const LogFn& log) {
  size_t fi = 0;
  size_t ci = 0;
  const size_t nf = factors.size();
  const size_t nc = cand.size();
  for (int64_t b = range.bMin; b <= range.bMax; b += 2) {
    const auto ub = static_cast<uint32_t>(b);
    while (nf > 0 && fi < nf - 1 && static_cast<uint32_t>(factors[fi].b) < ub) ++fi;
    while (nc > 0 && ci < nc - 1 && static_cast<uint32_t>(cand[ci]) < ub) ++ci;
    const bool inCand = nc > 0 && static_cast<uint32_t>(cand[ci]) == ub;
    const bool inFactors = nf > 0 && static_cast<uint32_t>(factors[fi].b) == ub;
    if (inCand && inFactors) {
      log(StrFormat("Duplicate entry in factor and candidate file %d.", static_cast<int>(b)));
      return false;
    }
    if (!inCand && !inFactors) {
      log(StrFormat("Missing entry in factor or candidate file %d.", static_cast<int>(b)));
      return false;
    }
  }
  log(StrFormat("Factors and candidates consistent from %d to %d.", range.bMin, range.bMax));
  return true;
}

}  // namespace zentrova
