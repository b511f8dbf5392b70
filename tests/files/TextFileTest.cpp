// Line reading and writing over C streams, the C-style number reading used by
// the file parsers, and the all-or-nothing output file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/AtomicTextFile.h"
#include "files/NumberParse.h"
#include "files/TextFile.h"

namespace zentrova {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

// Every line ReadLine hands out until the empty text that marks the end.
std::vector<std::string> ReadAllLines(const std::string& path) {
  CTextFile file(path);
  EXPECT_TRUE(file.OpenRead()) << path;
  std::vector<std::string> lines;
  std::string line;
  while (file.ReadLine(line) && !line.empty()) {
    lines.push_back(line);
    if (lines.size() > 1000) {
      ADD_FAILURE() << "no end of file reported";
      break;
    }
  }
  return lines;
}

std::vector<std::string> FolderEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// --- CTextFile::ReadLine -----------------------------------------------------

TEST(TextFileReadLine, ClosedFileGivesFalseAndEmptiesTheText) {
  CTextFile never_opened("whatever.txt");
  std::string line = "left over";
  EXPECT_FALSE(never_opened.ReadLine(line));
  EXPECT_EQ(line, "");

  ScratchDir dir;
  WriteFile(dir / "a.txt", "one\n");
  CTextFile closed_again(dir / "a.txt");
  ASSERT_TRUE(closed_again.OpenRead());
  closed_again.Close();
  EXPECT_FALSE(closed_again.IsOpen());
  line = "left over";
  EXPECT_FALSE(closed_again.ReadLine(line));
  EXPECT_EQ(line, "");
}

TEST(TextFileReadLine, LinesKeepTheirNewlineAndEndWithAnEmptyText) {
  ScratchDir dir;
  WriteFile(dir / "a.txt", "first\nsecond line\n");
  CTextFile file(dir / "a.txt");
  ASSERT_TRUE(file.OpenRead());
  std::string line;
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "first\n");
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "second line\n");
  // The end: still an open stream, so true, but nothing read.
  line = "stale";
  EXPECT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "");
}

TEST(TextFileReadLine, LastLineWithoutNewlineComesBackBare) {
  ScratchDir dir;
  WriteFile(dir / "a.txt", "12 32\n14 32");
  CTextFile file(dir / "a.txt");
  ASSERT_TRUE(file.OpenRead());
  std::string line;
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "12 32\n");
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "14 32");
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "");
}

TEST(TextFileReadLine, EmptyLinesArriveAsNewlineSoTheyAreNotMistakenForTheEnd) {
  ScratchDir dir;
  WriteFile(dir / "a.txt", "\na\n\n\nb\n\n");
  EXPECT_EQ(ReadAllLines(dir / "a.txt"),
            (std::vector<std::string>{"\n", "a\n", "\n", "\n", "b\n", "\n"}));
}

TEST(TextFileReadLine, EmptyFileEndsAtOnce) {
  ScratchDir dir;
  WriteFile(dir / "a.txt", "");
  EXPECT_TRUE(ReadAllLines(dir / "a.txt").empty());
}

TEST(TextFileReadLine, CrLfLineEndsReadAsNewline) {
  ScratchDir dir;
  WriteFile(dir / "a.txt", "ABC $a^$b+1 // 1000\r\n12 32\r\n\r\n14 32\r\n");
  EXPECT_EQ(ReadAllLines(dir / "a.txt"),
            (std::vector<std::string>{"ABC $a^$b+1 // 1000\n", "12 32\n", "\n", "14 32\n"}));

  // A lone CR ends a line too, at the end of a file, before an empty line
  // and across a whole file written with CR line ends only.
  WriteFile(dir / "b.txt", "12 32\r\n14 32\r");
  EXPECT_EQ(ReadAllLines(dir / "b.txt"), (std::vector<std::string>{"12 32\n", "14 32\n"}));
  WriteFile(dir / "d.txt", "12 32\r\n\r");
  EXPECT_EQ(ReadAllLines(dir / "d.txt"), (std::vector<std::string>{"12 32\n", "\n"}));
  WriteFile(dir / "c.txt", "a\rb\n\r\rc");
  EXPECT_EQ(ReadAllLines(dir / "c.txt"), (std::vector<std::string>{"a\n", "b\n", "\n", "\n", "c"}));
}

TEST(TextFileReadLine, LineEndsSplitAcrossReadBuffersAndFoldersRefused) {
  ScratchDir dir;
  // A CR LF pair falling on each side of the 64 KiB read buffer is one line end.
  for (size_t at : {size_t{65534}, size_t{65535}, size_t{65536}}) {
    WriteFile(dir / "a.txt", std::string(at, 'x') + "\r\nend\r");
    const std::vector<std::string> lines = ReadAllLines(dir / "a.txt");
    ASSERT_EQ(lines.size(), 2u) << at;
    EXPECT_EQ(lines[0], std::string(at, 'x') + "\n");
    EXPECT_EQ(lines[1], "end\n");
  }
  // A folder opens with fopen on Linux but would read as an empty file.
  CTextFile folder(dir.Path().string());
  EXPECT_FALSE(folder.OpenRead());
  EXPECT_EQ(errno, EISDIR);
}

TEST(TextFileTrimTornLastLine, CutsTheTextAfterTheLastLineEnd) {
  ScratchDir dir;
  struct Case {
    std::string text, kept, removed;
  };
  const std::string longTail(10000, 'y');
  for (const Case& c : std::vector<Case>{{"a\nb\n", "a\nb\n", ""},
                                         {"a\nb\npartial", "a\nb\n", "partial"},
                                         {"a\r\n1*300236^65536 + 1 fac", "a\r\n", "1*300236^65536 + 1 fac"},
                                         {"a\n" + longTail, "a\n", longTail},
                                         {"no line end", "", "no line end"},
                                         {"", "", ""}}) {
    WriteFile(dir / "f.txt", c.text);
    std::string removed;
    ASSERT_TRUE(CTextFile::TrimTornLastLine(dir / "f.txt", removed));
    EXPECT_EQ(ReadFile(dir / "f.txt"), c.kept);
    EXPECT_EQ(removed, c.removed);
  }
  std::string removed;
  EXPECT_FALSE(CTextFile::TrimTornLastLine(dir / "missing.txt", removed));
}

TEST(TextFileReadLine, VeryLongLinesArriveWhole) {
  ScratchDir dir;
  std::string long_line;
  for (int i = 0; i < 100000; ++i) long_line.push_back(static_cast<char>('0' + i % 10));
  const std::string crlf_line(5000, 'x');
  WriteFile(dir / "a.txt", "short\n" + long_line + "\n" + crlf_line + "\r\n" + long_line);
  const std::vector<std::string> lines = ReadAllLines(dir / "a.txt");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "short\n");
  EXPECT_EQ(lines[1].size(), 100001u);
  EXPECT_EQ(lines[1], long_line + "\n");
  EXPECT_EQ(lines[2], crlf_line + "\n");
  EXPECT_EQ(lines[3], long_line);
}

// --- CTextFile opening, names and FileExists ----------------------------------

TEST(TextFileOpen, NamesAndFailedOpens) {
  ScratchDir dir;
  CNamedFile unnamed;
  EXPECT_EQ(unnamed.GetFileName(), "");
  CNamedFile named("x/y.txt");
  EXPECT_EQ(named.GetFileName(), "x/y.txt");

  CTextFile no_name;
  EXPECT_FALSE(no_name.OpenRead());
  EXPECT_FALSE(no_name.OpenWrite());
  EXPECT_FALSE(no_name.IsOpen());

  CTextFile missing(dir / "missing.txt");
  EXPECT_FALSE(missing.OpenRead());
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.GetStream(), nullptr);

  CTextFile in_missing_folder(dir / "nowhere/out.txt");
  EXPECT_FALSE(in_missing_folder.OpenWrite());
  EXPECT_FALSE(in_missing_folder.OpenAppend());
}

TEST(TextFileOpen, WriteAppendAndReadBack) {
  ScratchDir dir;
  CTextFile file(dir / "out.txt");
  ASSERT_TRUE(file.OpenWrite());
  EXPECT_TRUE(file.IsOpen());
  std::fputs("one\n", file.GetStream());
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  ASSERT_TRUE(file.OpenAppend());
  std::fputs("two\n", file.GetStream());
  file.Close();
  EXPECT_EQ(ReadFile(dir / "out.txt"), "one\ntwo\n");

  // Writing again starts the file over.
  ASSERT_TRUE(file.OpenWrite());
  std::fputs("three\n", file.GetStream());
  file.Close();
  EXPECT_EQ(ReadFile(dir / "out.txt"), "three\n");
}

TEST(TextFileOpen, ReopeningAnOpenFileClosesTheOldStreamFirst) {
  ScratchDir dir;
  // Unflushed text of the old stream reaches the file before the new stream
  // appends, so it comes first.
  {
    CTextFile file(dir / "append.txt");
    ASSERT_TRUE(file.OpenWrite());
    std::fputs("old ", file.GetStream());
    ASSERT_TRUE(file.OpenAppend());
    std::fputs("new", file.GetStream());
    file.Close();
    EXPECT_EQ(ReadFile(dir / "append.txt"), "old new");
  }
  // Opened for writing again: the old text is flushed, then the file is cut,
  // so only the new text remains (an old stream closed later would write its
  // text over the start of the new one).
  {
    CTextFile file(dir / "write.txt");
    ASSERT_TRUE(file.OpenWrite());
    std::fputs("old text that is long", file.GetStream());
    ASSERT_TRUE(file.OpenWrite());
    std::fputs("new", file.GetStream());
    file.Close();
    EXPECT_EQ(ReadFile(dir / "write.txt"), "new");
  }
  // Renaming an open file closes it: its text is in the old file.
  {
    CTextFile file(dir / "first.txt");
    ASSERT_TRUE(file.OpenWrite());
    std::fputs("kept", file.GetStream());
    file.SetFileName(dir / "second.txt");
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetFileName(), dir / "second.txt");
    EXPECT_EQ(ReadFile(dir / "first.txt"), "kept");
  }
  // The destructor closes (and so flushes) as well.
  {
    CTextFile file(dir / "third.txt");
    ASSERT_TRUE(file.OpenWrite());
    std::fputs("flushed at the end", file.GetStream());
  }
  EXPECT_EQ(ReadFile(dir / "third.txt"), "flushed at the end");
}

TEST(TextFileExists, FilesAndFoldersExistEmptyAndMissingNamesDoNot) {
  ScratchDir dir;
  EXPECT_FALSE(CTextFile::FileExists(""));
  EXPECT_FALSE(CTextFile::FileExists(dir / "missing.txt"));
  EXPECT_FALSE(CTextFile::FileExists(dir / "missing/inner.txt"));
  WriteFile(dir / "a.txt", "");
  EXPECT_TRUE(CTextFile::FileExists(dir / "a.txt"));
  EXPECT_TRUE(CTextFile::FileExists(dir.Path().string()));
  std::filesystem::create_directory(dir.Path() / "sub");
  EXPECT_TRUE(CTextFile::FileExists(dir / "sub"));
}

// --- NumberParse ---------------------------------------------------------------

TEST(NumberParse, ReadsLikeAtoi) {
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {
      {"42", 42},
      {"  42abc", 42},
      {"\t\n -17x", -17},
      {"+5", 5},
      {"007", 7},
      {"12 34", 12},
      {"12^32+1", 12},
      {"", 0},
      {"   ", 0},
      {"abc", 0},
      {"-", 0},
      {"+", 0},
      {"- 5", 0},
      {"+-5", 0},
      {"-0", 0},
      {"3.9", 3},
      {"1e5", 1},
      {"0x1F", 0},
      {"-2147483648", -2147483647 - 1},
      {"2147483647", 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    EXPECT_EQ(ParseInt32At(c.text), c.expected);
    EXPECT_EQ(ParseInt64At(c.text), static_cast<int64_t>(c.expected));
  }
}

TEST(NumberParse, StartsAtTheGivenPosition) {
  EXPECT_EQ(ParseInt32At("b=12 to 20", 2), 12);
  EXPECT_EQ(ParseInt32At("b=12 to 20", 7), 20);
  EXPECT_EQ(ParseInt64At("// 123456789012", 2), 123456789012);
  EXPECT_EQ(ParseInt32At("abc", 3), 0);  // at the end
  EXPECT_EQ(ParseInt32At("abc", 4), 0);  // beyond the end
  EXPECT_EQ(ParseInt64At("abc", 1000), 0);
  // A view that is not terminated stops at its own end.
  const std::string_view cut = std::string_view("123456").substr(0, 3);
  EXPECT_EQ(ParseInt32At(cut), 123);
  EXPECT_EQ(ParseInt64At(cut), 123);
}

TEST(NumberParse, HugeValuesSaturate) {
  constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
  const std::string many_digits(400, '9');

  EXPECT_EQ(ParseInt32At("2147483648"), kMax32);
  EXPECT_EQ(ParseInt32At("4294967297"), kMax32);  // would wrap to 1 in 32 bits
  EXPECT_EQ(ParseInt32At("-2147483649"), kMin32);
  EXPECT_EQ(ParseInt32At("-4294967296"), kMin32);  // would wrap to 0
  EXPECT_EQ(ParseInt32At(many_digits), kMax32);
  EXPECT_EQ(ParseInt32At("-" + many_digits), kMin32);
  EXPECT_EQ(ParseInt32At("99999999999999999999999 tail"), kMax32);

  EXPECT_EQ(ParseInt64At("9223372036854775807"), kMax64);
  EXPECT_EQ(ParseInt64At("9223372036854775808"), kMax64);
  EXPECT_EQ(ParseInt64At("18446744073709551617"), kMax64);  // would wrap to 1
  EXPECT_EQ(ParseInt64At("-9223372036854775808"), kMin64);
  EXPECT_EQ(ParseInt64At("-9223372036854775809"), kMin64);
  EXPECT_EQ(ParseInt64At(many_digits), kMax64);
  EXPECT_EQ(ParseInt64At("-" + many_digits), kMin64);
  // Values a 32-bit reader saturates are exact in 64 bits.
  EXPECT_EQ(ParseInt64At("4294967297"), 4294967297);
  EXPECT_EQ(ParseInt64At("-4294967296"), -4294967296);
}

TEST(NumberParse, WholeTokensAreStrict) {
  int64_t s = 0;
  EXPECT_TRUE(ParseWholeInt64("123", s));
  EXPECT_EQ(s, 123);
  EXPECT_TRUE(ParseWholeInt64("-45", s));
  EXPECT_EQ(s, -45);
  EXPECT_TRUE(ParseWholeInt64("0", s));
  EXPECT_EQ(s, 0);
  EXPECT_TRUE(ParseWholeInt64("9223372036854775807", s));
  EXPECT_EQ(s, std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(ParseWholeInt64("-9223372036854775808", s));
  EXPECT_EQ(s, std::numeric_limits<int64_t>::min());
  for (const char* bad : {"", " 12", "12 ", "12a", "a12", "1.5", "-", "9223372036854775808",
                          "-9223372036854775809", "1e3", "0x10"}) {
    SCOPED_TRACE(std::string("text \"") + bad + "\"");
    EXPECT_FALSE(ParseWholeInt64(bad, s));
  }

  uint64_t u = 0;
  EXPECT_TRUE(ParseWholeUInt64("18446744073709551615", u));
  EXPECT_EQ(u, std::numeric_limits<uint64_t>::max());
  EXPECT_TRUE(ParseWholeUInt64("1000000000000", u));
  EXPECT_EQ(u, 1000000000000u);
  for (const char* bad :
       {"", "-1", " 1", "1 ", "18446744073709551616", "99999999999999999999999", "7x"}) {
    SCOPED_TRACE(std::string("text \"") + bad + "\"");
    EXPECT_FALSE(ParseWholeUInt64(bad, u));
  }
}

// --- AtomicTextFile -------------------------------------------------------------

TEST(AtomicTextFile, CommitReplacesTheTargetAndLeavesNothingElse) {
  ScratchDir dir;
  const std::string target = dir / "cand.txt";
  WriteFile(target, "old content that is longer than the new one\n");
  AtomicTextFile out(target);
  EXPECT_EQ(out.Target(), target);
  ASSERT_TRUE(out.Open());
  ASSERT_NE(out.GetStream(), nullptr);
  std::fputs("new\n", out.GetStream());
  // Until the commit the target is untouched; the text goes to a file beside it.
  std::fflush(out.GetStream());
  EXPECT_EQ(ReadFile(target), "old content that is longer than the new one\n");
  EXPECT_EQ(FolderEntries(dir.Path()).size(), 2u);
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(out.GetStream(), nullptr);
  EXPECT_EQ(ReadFile(target), "new\n");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"cand.txt"});
}

TEST(AtomicTextFile, CommitCreatesAMissingTargetReadableByOthers) {
  ScratchDir dir;
  const std::string target = dir / "fresh.txt";
  {
    AtomicTextFile out(target);
    ASSERT_TRUE(out.Open());
    std::fputs("line\n", out.GetStream());
    ASSERT_TRUE(out.Commit());
    // A second commit has nothing to commit.
    EXPECT_FALSE(out.Commit());
  }
  EXPECT_EQ(ReadFile(target), "line\n");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"fresh.txt"});
}

TEST(AtomicTextFile, WithoutCommitTheTargetKeepsItsContent) {
  ScratchDir dir;
  const std::string target = dir / "factors.txt";
  WriteFile(target, "previous run\n");
  {
    AtomicTextFile out(target);
    ASSERT_TRUE(out.Open());
    std::fputs("half written", out.GetStream());
    std::fflush(out.GetStream());
  }
  EXPECT_EQ(ReadFile(target), "previous run\n");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"factors.txt"});

  // A target that did not exist is not created.
  {
    AtomicTextFile out(dir / "never.txt");
    ASSERT_TRUE(out.Open());
    std::fputs("x", out.GetStream());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "never.txt"));
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"factors.txt"});
}

TEST(AtomicTextFile, OpeningAgainDropsTheFirstTemporaryFile) {
  ScratchDir dir;
  const std::string target = dir / "out.txt";
  AtomicTextFile out(target);
  ASSERT_TRUE(out.Open());
  std::fputs("first attempt", out.GetStream());
  ASSERT_TRUE(out.Open());
  std::fputs("second attempt", out.GetStream());
  EXPECT_EQ(FolderEntries(dir.Path()).size(), 1u);
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadFile(target), "second attempt");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"out.txt"});
}

TEST(AtomicTextFile, OpenFailsInAMissingFolderOrWithoutAName) {
  ScratchDir dir;
  AtomicTextFile in_missing(dir / "no/such/folder/out.txt");
  EXPECT_FALSE(in_missing.Open());
  EXPECT_EQ(in_missing.GetStream(), nullptr);
  EXPECT_FALSE(in_missing.Commit());
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "no"));

  AtomicTextFile unnamed("");
  EXPECT_FALSE(unnamed.Open());
  EXPECT_FALSE(unnamed.Commit());

  AtomicTextFile never_opened(dir / "x.txt");
  EXPECT_FALSE(never_opened.Commit());
  EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

// A target that is a symbolic link is saved where the link leads, as editors
// save: the link stays a link, its file gets the text, and the temporary file
// is made (and gone) beside that file, whether the link is absolute,
// relative to its own folder, one of a chain, or leads to no file yet.
TEST(AtomicTextFile, ASymbolicLinkIsSavedWhereItLeads) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.Path() / "links");
  std::filesystem::create_directories(dir.Path() / "data");
  const std::string file = dir / "data/c.txt";
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // name -> what it holds
    std::string saved;                                       // the name given to the save
  } cases[] = {
      {"absolute", {{"links/a.txt", file}}, "links/a.txt"},
      {"relative to its folder", {{"links/r.txt", "../data/c.txt"}}, "links/r.txt"},
      {"a chain of two", {{"links/two.txt", "one.txt"}, {"links/one.txt", "../data/c.txt"}},
       "links/two.txt"},
      {"to a file not there yet", {{"links/new.txt", "../data/c.txt"}}, "links/new.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(file);
    if (std::string(c.what) != "to a file not there yet") WriteFile(file, "old\n");
    for (const auto& [name, to] : c.links) std::filesystem::create_symlink(to, dir / name);
    EXPECT_EQ(std::filesystem::weakly_canonical(SaveTarget(dir / c.saved)),
              std::filesystem::weakly_canonical(file));
    AtomicTextFile out(dir / c.saved);
    ASSERT_TRUE(out.Open());
    std::fputs("new\n", out.GetStream());
    std::fflush(out.GetStream());
    EXPECT_EQ(FolderEntries(dir.Path() / "data").size(),
              std::string(c.what) == "to a file not there yet" ? 1u : 2u);
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(out.Target(), dir / c.saved);
    EXPECT_EQ(ReadFile(file), "new\n");
    EXPECT_EQ(FolderEntries(dir.Path() / "data"), std::vector<std::string>{"c.txt"});
    for (const auto& [name, to] : c.links) {
      EXPECT_TRUE(std::filesystem::is_symlink(dir / name)) << name;
      EXPECT_EQ(std::filesystem::read_symlink(dir / name).string(), to) << name;
      std::filesystem::remove(dir / name);
    }
  }
  // A plain name is its own target; a loop of links ends nowhere.
  EXPECT_EQ(SaveTarget(file), file);
  std::filesystem::create_symlink("y.txt", dir / "x.txt");
  std::filesystem::create_symlink("x.txt", dir / "y.txt");
  EXPECT_EQ(SaveTarget(dir / "x.txt"), dir / "x.txt");
}

}  // namespace
}  // namespace zentrova
