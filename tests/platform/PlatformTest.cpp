// The platform layer, the same on every system: built into the Linux tests
// and into the Windows test program run under Wine. File names with letters
// outside ASCII go through every file operation the sieve makes (UTF-8 in
// the program, UTF-16 at the Win32 calls), the saves replace their targets,
// the locks keep a second holder out, a torn last line is cut.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "files/AtomicTextFile.h"
#include "files/MappedFile.h"
#include "files/OutputLock.h"
#include "files/TextFile.h"
#include "platform/DynamicLibrary.h"
#include "platform/Files.h"

namespace zentrova {
namespace {

using test::ScratchDir;

// Folder names of several scripts: Latin with a diacritic, CJK, Cyrillic,
// and one with a blank.
const std::vector<std::string> kFolders = {"Prüfung", "素数", "Решето", "two words"};

std::string Slurp(const std::string& name) {
  CTextFile file(name);
  if (!file.OpenRead()) return "<unreadable>";
  std::string all, line;
  while (file.ReadLine(line) && !line.empty()) all += line;
  return all;
}

TEST(Platform, FileNamesOutsideAsciiWorkInEveryFileOperation) {
  ScratchDir dir;
  for (const std::string& folder : kFolders) {
    SCOPED_TRACE(folder);
    const std::string base = dir / folder;
    ASSERT_TRUE(std::filesystem::create_directories(platform::FsPath(base)));
    EXPECT_TRUE(platform::IsFolder(base));
    const std::string name = base + "/Kandidaten-候补.txt";
    EXPECT_FALSE(CTextFile::FileExists(name));

    // An atomic save, then a second one over it.
    for (const char* text : {"ABC $a^$b+1 // 5\n12 8\n", "ABC $a^$b+1 // 7\n14 8\n"}) {
      AtomicTextFile out(name);
      ASSERT_TRUE(out.Open());
      std::fputs(text, out.GetStream());
      ASSERT_TRUE(out.Commit());
      EXPECT_EQ(Slurp(name), text);
    }
    EXPECT_TRUE(CTextFile::FileExists(name));
    // The temporary file is gone: the folder holds the target alone.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(platform::FsPath(base))) {
      EXPECT_EQ(platform::Utf8(entry.path().filename()), "Kandidaten-候补.txt");
      ++entries;
    }
    EXPECT_EQ(entries, 1);

    // Appending, and cutting a torn last line.
    {
      std::FILE* f = platform::OpenStream(name, "ab");
      ASSERT_NE(f, nullptr);
      std::fputs("16 8\n18", f);
      std::fclose(f);
    }
    std::string removed;
    ASSERT_TRUE(CTextFile::TrimTornLastLine(name, removed));
    EXPECT_EQ(removed, "18");
    EXPECT_EQ(Slurp(name), "ABC $a^$b+1 // 7\n14 8\n16 8\n");

    // A mapped file created, grown, written through its mapping, read back.
    const std::string packed = base + "/Paket-素数.pkd";
    {
      MappedFile m;
      ASSERT_TRUE(m.Open(packed, MappedFile::Access::kCreateExclusive));
      ASSERT_TRUE(m.Extend(4096));
      ASSERT_TRUE(m.Map(4096));
      for (int i = 0; i < 4096; ++i) m.Data()[i] = static_cast<uint8_t>(i * 7);
      ASSERT_TRUE(m.Sync(true));
    }
    {
      MappedFile m;
      ASSERT_TRUE(m.Open(packed, MappedFile::Access::kReadShared));
      uint64_t size = 0;
      ASSERT_TRUE(m.FileSize(size));
      EXPECT_EQ(size, 4096u);
      uint8_t byte = 0;
      ASSERT_TRUE(m.ReadAt(&byte, 1, 1000));
      EXPECT_EQ(byte, static_cast<uint8_t>(7000));
      ASSERT_TRUE(m.Rename(base + "/umbenannt-改名.pkd"));
    }
    EXPECT_TRUE(CTextFile::FileExists(base + "/umbenannt-改名.pkd"));
    EXPECT_FALSE(CTextFile::FileExists(packed));
  }
}

TEST(Platform, AnOutputIsLockedOnceAndItsLockGoesWithIt) {
  ScratchDir dir;
  const std::string target = dir / "素数-factors.txt";
  OutputLock first;
  std::string error;
  ASSERT_TRUE(first.Acquire(target, error)) << error;
  OutputLock second;
  EXPECT_FALSE(second.Acquire(target, error));
  EXPECT_TRUE(second.HeldByAnotherRun());
  EXPECT_NE(error.find("is in use by another run"), std::string::npos) << error;
  // A reader is refused while the output is held, and welcome after.
  InputLock reader;
  EXPECT_FALSE(reader.Acquire(target, error));
  first.Release();
  EXPECT_FALSE(CTextFile::FileExists(target + ".lock"));
  EXPECT_TRUE(reader.Acquire(target, error)) << error;
  reader.Release();
  EXPECT_TRUE(second.Acquire(target, error)) << error;
}

TEST(Platform, AMappedFileHeldForWritingRefusesASecondWriter) {
  ScratchDir dir;
  const std::string name = dir / "held.pkd";
  MappedFile writer;
  ASSERT_TRUE(writer.Open(name, MappedFile::Access::kCreateExclusive));
  struct Case {
    MappedFile::Access access;
    const char* what;
  };
  for (const Case& c : {Case{MappedFile::Access::kReadWriteExclusive, "a second writer"},
                        Case{MappedFile::Access::kReadShared, "a reader"},
                        Case{MappedFile::Access::kCreateExclusive, "a second creator"}}) {
    SCOPED_TRACE(c.what);
    MappedFile other;
    EXPECT_FALSE(other.Open(name, c.access));
  }
  writer.Close();
  MappedFile reader1, reader2;
  EXPECT_TRUE(reader1.Open(name, MappedFile::Access::kReadShared));
  EXPECT_TRUE(reader2.Open(name, MappedFile::Access::kReadShared));
  EXPECT_EQ(reader2.LastOpenFailure(), MappedFile::OpenFailure::kNone);
  MappedFile writer2;
  EXPECT_FALSE(writer2.Open(name, MappedFile::Access::kReadWriteExclusive));
  EXPECT_EQ(writer2.LastOpenFailure(), MappedFile::OpenFailure::kInUse);
}

TEST(Platform, TemporaryFilesAndFoldersAreNewEachTime) {
  ScratchDir dir;
  const std::string target = dir / "out.txt";
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    std::string name;
    std::FILE* f = platform::CreateTemporaryBeside(target, name);
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(name.substr(0, target.size() + 5), target + ".tmp.");
    EXPECT_EQ(name.size(), target.size() + 11);
    for (const std::string& before : names) EXPECT_NE(name, before);
    names.push_back(name);
  }
  // Removed by the lock holder's clearing, as a killed run's would be.
  EXPECT_EQ(RemoveStaleTemporaries(target), 20);

  const std::string a = platform::MakeTemporaryFolder("zentrova-platform-");
  const std::string b = platform::MakeTemporaryFolder("zentrova-platform-");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_TRUE(platform::IsFolder(a));
  std::filesystem::remove_all(platform::FsPath(a));
  std::filesystem::remove_all(platform::FsPath(b));
}

TEST(Platform, RenameOverReplacesAndAMissingSourceFails) {
  ScratchDir dir;
  const std::string from = dir / "neu.txt", to = dir / "alt-素数.txt";
  for (const auto& [name, text] : {std::pair{from, "new\n"}, std::pair{to, "old\n"}}) {
    std::FILE* f = platform::OpenStream(name, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    ASSERT_TRUE(platform::SyncStream(f));
    std::fclose(f);
  }
  ASSERT_TRUE(platform::RenameOver(from, to));
  EXPECT_EQ(Slurp(to), "new\n");
  EXPECT_FALSE(CTextFile::FileExists(from));
  EXPECT_FALSE(platform::RenameOver(from, to));
  EXPECT_EQ(Slurp(to), "new\n");
  EXPECT_TRUE(platform::RemoveFile(to));
  EXPECT_FALSE(platform::RemoveFile(to));
}

TEST(Platform, AMissingLibraryIsNotOpenAndHasNoSymbols) {
  const char* const names[] = {"zentrova-no-such-library-1", "zentrova-no-such-library-2"};
  const platform::DynamicLibrary none(names);
  EXPECT_FALSE(none.IsOpen());
  EXPECT_TRUE(none.Name().empty());
  EXPECT_EQ(none.Symbol("clGetPlatformIDs"), nullptr);
}

}  // namespace
}  // namespace zentrova
