// ReadFactorFile on any text: every record it keeps has a base above 0, a
// factor other than 0 and the exponent its line names above 0, in line order;
// the header's fields are found in order, so a later one implies the earlier
// ones. The records written back (WriteFactorFile) and read again are the
// same records sorted by base, under the header that was written.
#include <algorithm>

#include "FuzzUtil.h"
#include "files/CandidateFiles.h"

using namespace zentrova;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz::InputFile(data, size, "factors.txt");
  FactorFileContents in;
  FUZZ_CHECK(ReadFactorFile(path, in));
  FUZZ_CHECK(in.readError == 0);
  const FactorHeader& h = in.header;
  FUZZ_CHECK(h.hasBMin >= h.hasBMax && h.hasBMax >= h.hasExponent && h.hasExponent >= h.hasDepth);
  FUZZ_CHECK(in.lineNumbers.size() == in.records.size());
  FUZZ_CHECK(in.exponents.size() == in.records.size());
  for (size_t i = 0; i < in.records.size(); ++i) {
    FUZZ_CHECK(in.records[i].b > 0 && in.records[i].p != 0 && in.exponents[i] > 0);
    FUZZ_CHECK(in.lineNumbers[i] > (i == 0 ? 0 : in.lineNumbers[i - 1]));
  }

  // Lines name the range's exponent, so one that no line can carry is replaced.
  SieveRange range{h.bMin, h.bMax, h.exponent > 0 ? h.exponent : 2, 0,
                   static_cast<uint64_t>(h.depth)};
  range.ln = ExponentLog2(range.exponent);
  std::vector<FactorRecord> records = in.records;
  std::vector<FactorRecord> sorted = in.records;
  std::stable_sort(sorted.begin(), sorted.end(), [](const FactorRecord& x, const FactorRecord& y) {
    return static_cast<uint32_t>(x.b) < static_cast<uint32_t>(y.b);
  });
  const std::string copy = fuzz::Scratch::Get() / "written.txt";
  FUZZ_CHECK(WriteFactorFile(records, range, copy, [](const std::string&) {}));
  FUZZ_CHECK(records == sorted);
  FactorFileContents back;
  FUZZ_CHECK(ReadFactorFile(copy, back));
  FUZZ_CHECK(back.records == sorted);
  FUZZ_CHECK(back.header.hasDepth && back.header.bMin == range.bMin &&
             back.header.bMax == range.bMax && back.header.exponent == range.exponent &&
             back.header.depth == range.pCur);
  for (int32_t e : back.exponents) FUZZ_CHECK(e == range.exponent);
  return 0;
}
