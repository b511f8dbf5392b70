// CTextFile::ReadLine and TrimTornLastLine on any bytes. The lines put back
// together give the file with each line end ("\n", "\r\n" or a lone "\r")
// written as "\n": each line ends with its only "\n", holds no "\r", only
// the last may lack the "\n", and the end reads as an empty text, again and
// again, with no read error. TrimTornLastLine keeps the file up to its last
// line end and returns the rest.
//
// An odd first byte puts a run of about 64 KiB of "x" before the rest of the
// input, so that its line ends fall on both sides of the reader's buffer
// boundary and of the trimmer's 4 KiB blocks.
#include "FuzzUtil.h"
#include "files/TextFile.h"

using namespace zentrova;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (size > 0 && (data[0] & 1) != 0) text.replace(0, 1, (1 << 16) - 32 + data[0] / 4, 'x');
  fuzz::Scratch::Get().Reset();
  const std::string path = fuzz::Scratch::Get() / "text.txt";
  fuzz::WriteFile(path, text);

  std::string expected;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    expected.push_back(text[i] == '\r' ? '\n' : text[i]);
  }
  CTextFile file(path);
  FUZZ_CHECK(file.OpenRead());
  std::string joined, line;
  bool cut = false;  // a line without its "\n" came: it must be the last
  while (file.ReadLine(line) && !line.empty()) {
    FUZZ_CHECK(!cut && joined.size() + line.size() <= expected.size());
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    const size_t lf = line.find('\n');
    FUZZ_CHECK(lf == std::string::npos || lf == line.size() - 1);
    cut = lf == std::string::npos;
    joined += line;
  }
  FUZZ_CHECK(joined == expected && file.ReadError() == 0);
  FUZZ_CHECK(file.ReadLine(line) && line.empty());
  file.Close();
  FUZZ_CHECK(!file.ReadLine(line) && line.empty());

  std::string removed;
  FUZZ_CHECK(CTextFile::TrimTornLastLine(path, removed));
  const std::string kept = fuzz::ReadFile(path);
  FUZZ_CHECK(kept + removed == text);
  FUZZ_CHECK(removed.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(kept.empty() || kept.back() == '\n' || kept.back() == '\r');
  return 0;
}
