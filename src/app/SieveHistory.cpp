#include "app/SieveHistory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/CandidateFiles.h"
#include "files/TextFile.h"
#include "files/WideFactorFile.h"
#include "front/SurvivorEstimate.h"

namespace zentrova {

namespace {

std::string Failure(const std::string& path, int error) {
  return path + ": " + std::strerror(error);
}

// The p of every factor line of a wide factor file, and its header's range.
bool ReadWideFactors(const std::string& path, std::vector<UInt128>& ps, WideFactorHeader& header,
                     std::string& why) {
  CTextFile file(path);
  if (!file.OpenRead()) {
    why = Failure(path, errno);
    return false;
  }
  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    int64_t b = 0;
    int32_t exponent = 0;
    UInt128 p = 0;
    // A line the sieve did not finish writing holds no factor.
    if (IsWholeLine(line) && ParseWideFactorLine(line, b, exponent, p)) {
      ps.push_back(p);
    } else if (header.exponent == 0) {
      ParseWideFactorHeader(line, header);
    }
  }
  if (file.ReadError() != 0) {
    why = Failure(path, file.ReadError());
    return false;
  }
  return true;
}

// The first line that is not blank.
bool FirstLine(const std::string& path, std::string& line, std::string& why) {
  CTextFile file(path);
  if (!file.OpenRead()) {
    why = Failure(path, errno);
    return false;
  }
  while (file.ReadLine(line) && line == "\n") {
  }
  return true;
}

}  // namespace

std::vector<SieveHistoryPoint> SieveHistory::FromFactors(std::vector<UInt128> factors,
                                                         UInt128 depth, int64_t left,
                                                         int32_t exponent, int64_t rangeBases) {
  std::erase_if(factors, [depth](UInt128 p) { return p > depth; });
  std::sort(factors.begin(), factors.end());
  // After the i-th factor (in increasing p) the bases of the later ones are
  // still left.
  std::vector<SieveHistoryPoint> all;
  const auto count = static_cast<int64_t>(factors.size());
  for (int64_t i = 0; i < count; ++i) {
    const auto at = static_cast<size_t>(i);
    if (at + 1 < factors.size() && factors[at + 1] == factors[at]) continue;
    all.push_back({factors[at], left + count - 1 - i});
  }
  if (depth != 0 && (all.empty() || all.back().p < depth)) all.push_back({depth, left});
  std::vector<SieveHistoryPoint> kept;
  if (all.size() <= kMaxPoints) {
    kept = std::move(all);
  } else {
    for (size_t i = 0; i < kMaxPoints; ++i) {
      kept.push_back(all[i * (all.size() - 1) / (kMaxPoints - 1)]);
    }
  }
  if (exponent > 0 && rangeBases > 0) {
    const SurvivorEstimate estimate(exponent, 0);
    for (SieveHistoryPoint& point : kept) point.expected = estimate.Expected(rangeBases, point.p);
  }
  return kept;
}

bool SieveHistory::Read(const std::string& factorFile, const std::string& candidateFile,
                        std::string& why) {
  m_points.clear();
  CandidateListContents candidates;
  if (!ReadCandidateList(candidateFile, candidates)) {
    why = Failure(candidateFile, errno);
    return false;
  }
  if (candidates.readError != 0) {
    why = Failure(candidateFile, candidates.readError);
    return false;
  }
  if (candidates.depths.empty() || candidates.badLine != 0 || candidates.tooLargeLine != 0) {
    why = candidateFile + ": not a candidate file";
    return false;
  }
  const UInt128 depth = candidates.depths.front();
  const auto left = static_cast<int64_t>(candidates.bases.size());
  std::vector<UInt128> ps;
  int32_t exponent = 0;
  int64_t rangeBases = 0;
  if (!factorFile.empty()) {
    std::string first;
    if (!FirstLine(factorFile, first, why)) return false;
    int32_t bMin = 0, bMax = 0;
    if (first.starts_with(kWideFactorHeaderText)) {
      WideFactorHeader header;
      if (!ReadWideFactors(factorFile, ps, header, why)) return false;
      bMin = header.bMin;
      bMax = header.bMax;
      exponent = header.exponent;
    } else {
      FactorFileContents factors;
      if (!ReadFactorFile(factorFile, factors)) {
        why = Failure(factorFile, errno);
        return false;
      }
      for (const FactorRecord& r : factors.records) ps.push_back(r.p);
      if (factors.header.hasBMin && factors.header.hasBMax && factors.header.hasExponent) {
        bMin = factors.header.bMin;
        bMax = factors.header.bMax;
        exponent = factors.header.exponent;
      }
    }
    if (exponent > 0 && bMax >= bMin) rangeBases = (int64_t{bMax} - bMin) / 2 + 1;
  }
  m_points = FromFactors(std::move(ps), depth, left, exponent, rangeBases);
  return true;
}

}  // namespace zentrova
