// ReadCandidateList, the normal resume's reader of a candidate file, on any
// text. Its entries come in line order with bases above 0, and a base too
// large for 32 bits ends the list. The wide resume's reader
// (LoadCandidateRange) parses the same lines, so on every file the two must
// agree: the same bases, the same depth, and the same reason to refuse.
#include <set>

#include "FuzzUtil.h"
#include "files/CandidateFiles.h"
#include "files/StrFormat.h"

using namespace zentrova;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::InputFile(data, size, "candidates.txt");
  CandidateListContents list;
  FUZZ_CHECK(ReadCandidateList(path, list));
  FUZZ_CHECK(list.readError == 0);
  int lastLine = 0;
  int32_t exponent = 0;  // of the first line that names a positive one
  std::set<int32_t> bases;
  for (const CandidateEntry& entry : list.bases) {
    FUZZ_CHECK(entry.b > 0 && entry.line > lastLine);
    lastLine = entry.line;
    if (exponent == 0 && entry.exponent > 0) exponent = entry.exponent;
    bases.insert(entry.b);
  }
  FUZZ_CHECK(list.tooLargeLine == 0 || list.tooLargeLine > lastLine);

  // The wide reader's bitmap spans 0 .. b Max: beyond 2^24 a run takes
  // seconds, spent on what the candidate_range target reads anyway.
  if (list.tooLargeLine == 0 && !bases.empty() && *bases.rbegin() > (1 << 24)) return 0;
  std::vector<std::string> log;
  CandidateRange range;
  const bool loaded =
      LoadCandidateRange(path, range, [&](const std::string& line) { log.push_back(line); });
  if (list.tooLargeLine != 0) {
    FUZZ_CHECK(!loaded && log.back() == StrFormat("%s line %d: the base does not fit in 32 bits.",
                                                  path.c_str(), list.tooLargeLine));
    return 0;
  }
  if (ExponentLog2(exponent) == 0) {
    FUZZ_CHECK(!loaded && log.back().find("is not a proper power of 2") != std::string::npos);
    return 0;
  }
  bool mixed = false;
  for (int32_t b : bases) mixed |= ((b - *bases.begin()) & 1) != 0;
  FUZZ_CHECK(loaded == !mixed);
  if (mixed) {
    FUZZ_CHECK(log.back().find("does not have the parity of b Min") != std::string::npos);
    return 0;
  }
  FUZZ_CHECK(range.exponent == exponent);
  FUZZ_CHECK(range.depth == (list.depths.empty() ? 0 : list.depths.back()));
  FUZZ_CHECK(range.bMin == *bases.begin() && range.bMax == *bases.rbegin());
  FUZZ_CHECK(range.count == static_cast<int64_t>(bases.size()));
  for (int32_t b : bases) FUZZ_CHECK((range.bitmap[static_cast<size_t>(b) / 32] >> (b % 32)) & 1);
  return 0;
}
