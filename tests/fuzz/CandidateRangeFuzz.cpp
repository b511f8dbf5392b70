// LoadCandidateRange, the wide resume's reader of a candidate file, on any
// text: the file is refused with a line that says why, or read into a range
// whose bitmap holds bases of b Min's parity from b Min to b Max, both ends
// included, as many as the count says. The bitmap written out
// (WriteCandidateBitmap) and read again gives the same range.
#include "FuzzUtil.h"
#include "files/CandidateFiles.h"
#include "files/StrFormat.h"

using namespace zentrova;

namespace {

bool HasBit(const std::vector<uint32_t>& bitmap, int64_t b) {
  return (bitmap[static_cast<size_t>(b / 32)] >> (b % 32)) & 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::InputFile(data, size, "candidates.txt");
  std::vector<std::string> log;
  const LogFn keep = [&](const std::string& line) { log.push_back(line); };
  CandidateRange range;
  if (!LoadCandidateRange(path, range, keep)) {
    FUZZ_CHECK(!log.empty());
    const std::string& why = log.back();
    FUZZ_CHECK(why.find("the base does not fit in 32 bits") != std::string::npos ||
               why.find("is not a proper power of 2") != std::string::npos ||
               why.find("does not have the parity of b Min") != std::string::npos);
    return 0;
  }
  FUZZ_CHECK(range.ln >= 1 && (int64_t{1} << range.ln) == range.exponent);
  FUZZ_CHECK(fuzz::Contains(log, StrFormat("& %d %d %d", range.bMin, range.bMax, range.exponent)));
  // An exponent comes only from a base's line: a range read has bases.
  FUZZ_CHECK(range.bMin > 0 && range.bMin <= range.bMax);
  FUZZ_CHECK(range.bitmap.size() == BitmapWords(range.bMax));
  FUZZ_CHECK(HasBit(range.bitmap, range.bMin) && HasBit(range.bitmap, range.bMax));
  int64_t count = 0;
  for (size_t word = 0; word < range.bitmap.size(); ++word) {
    for (uint32_t bits = range.bitmap[word]; bits != 0; bits &= bits - 1) {
      const int64_t b = static_cast<int64_t>(word) * 32 + __builtin_ctz(bits);
      FUZZ_CHECK(b >= range.bMin && b <= range.bMax && (b - range.bMin) % 2 == 0);
      ++count;
    }
  }
  FUZZ_CHECK(count == range.count);

  // The writer walks every base of the range: only ranges it walks in a moment.
  if (range.bMax - range.bMin > (1 << 20)) return 0;
  const std::string copy = fuzz::Scratch::Get() / "written.txt";
  const SieveRange out{range.bMin, range.bMax, range.exponent, range.ln,
                       static_cast<uint64_t>(range.depth)};
  int64_t written = -1;
  FUZZ_CHECK(WriteCandidateBitmap(range.bitmap, range.count, out, copy, keep, &written));
  FUZZ_CHECK(written == range.count);
  CandidateRange again;
  FUZZ_CHECK(LoadCandidateRange(copy, again, keep));
  FUZZ_CHECK(again.bMin == range.bMin && again.bMax == range.bMax);
  FUZZ_CHECK(again.exponent == range.exponent && again.depth == range.depth);
  FUZZ_CHECK(again.count == range.count && again.bitmap == range.bitmap);
  return 0;
}
