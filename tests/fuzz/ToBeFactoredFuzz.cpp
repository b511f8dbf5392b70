// The to-be-factored job (BuildToBeFactoredList) on any candidate file or
// tester's log, over a fixed range. It never refuses a readable file; it
// writes a candidate file of depth 1 with the count it reports, holding the
// range's bases of b Min's parity that the input does not mention: every
// base named at the start of a line without a "^" is left out, and every
// base whose digits appear nowhere in the input stays.
#include "FuzzUtil.h"
#include "files/StrFormat.h"

using namespace zentrova;

namespace {

constexpr int32_t kBMin = 1200000, kBMax = 1200200, kN = 65536;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = fuzz::InputFile(data, size, "sieve-in.txt");
  const std::string text(reinterpret_cast<const char*>(data), size);
  SieveJob job;
  job.m_nCommand = kCmdToBeFactored;
  job.m_strSieveIn = in;
  job.m_strSieveOut = fuzz::Scratch::Get() / "tbf.txt";
  job.m_nBMin = kBMin;
  job.m_nBMax = kBMax;
  job.m_nExponent = kN;
  job.m_nLn = ExponentLog2(kN);
  const fuzz::JobResult run = fuzz::RunJob(job);
  FUZZ_CHECK(!run.failed);

  UInt128 depth = 0;
  const std::vector<int32_t> out =
      fuzz::CheckCandidateOutput(job.m_strSieveOut, kBMin, kBMax, kN, depth);
  FUZZ_CHECK(depth == 1);
  FUZZ_CHECK(
      fuzz::Contains(run.log, StrFormat("%d items 1 p value written to %s.",
                                        static_cast<int>(out.size()), job.m_strSieveOut.c_str())));
  std::vector<bool> listed(kBMax - kBMin + 1, false);
  for (int32_t b : out) listed[b - kBMin] = true;
  for (int32_t b = kBMin; b <= kBMax; b += 2) {
    if (!listed[b - kBMin]) FUZZ_CHECK(text.find(std::to_string(b)) != std::string::npos);
  }
  // Lines end at "\n", "\r\n" or "\r"; cutting at both characters gives the
  // same lines, and some empty ones.
  for (size_t begin = 0; begin < text.size();) {
    const size_t end = std::min(text.find_first_of("\r\n", begin), text.size());
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0 || digits > 7 || line.find('^') != std::string::npos) continue;
    const int32_t b = std::stoi(line.substr(0, digits));
    if (b >= kBMin && b <= kBMax) FUZZ_CHECK(!listed[b - kBMin]);
  }
  return 0;
}
