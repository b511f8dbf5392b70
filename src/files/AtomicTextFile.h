// An output text file that replaces its target only when complete: the text
// goes to a temporary file in the same folder, which is flushed, synced and
// renamed over the target by Commit. A crash at any moment leaves either the
// old file or the new one, never a torn one. Without Commit the temporary file
// is removed and the target stays as it was. A target that is a symbolic link
// is saved where the link leads, as editors do: the temporary file is made
// beside the file at the end of the links and renamed onto it, so the link
// stays a link and its file gets the new text.
#pragma once

#include <cstdio>
#include <string>

namespace zentrova {

// The file a save of `name` replaces: name itself, or the file at the end of
// its chain of symbolic links (a relative link read from the link's folder;
// the end need not exist yet). Where the chain does not end (a loop), name.
std::string SaveTarget(const std::string& name);

class AtomicTextFile {
 public:
  explicit AtomicTextFile(std::string target) : m_target(std::move(target)) {}
  ~AtomicTextFile();
  AtomicTextFile(const AtomicTextFile&) = delete;
  AtomicTextFile& operator=(const AtomicTextFile&) = delete;

  // Creates the temporary file; false (with errno set) when it cannot.
  bool Open();
  std::FILE* GetStream() const { return m_stream; }

  // Flushes, syncs, closes and renames; false when any step failed (the
  // target is then unchanged).
  bool Commit() { return Finish() && Publish(); }

  // Commit in two steps, so that several files can be completed before any
  // of them replaces its target: Finish flushes, syncs and closes the
  // temporary file, Publish renames it over the target. Each removes the
  // temporary file when it fails (errno tells why).
  bool Finish();
  bool Publish();

  const std::string& Target() const { return m_target; }

 private:
  void Discard();

  std::string m_target;
  std::string m_saved;  // SaveTarget(m_target), as found at Open
  std::string m_temp;
  std::FILE* m_stream = nullptr;
  bool m_finished = false;
};

}  // namespace zentrova
