// Line-by-line text files over C streams.
//
// ReadLine returns whole lines of any length, with the "\n" kept when the file
// had one; a "\r\n" line end (files written on Windows) arrives as "\n". At the
// end of the file it yields an empty text, so readers loop until they get one:
// an empty line of the file still arrives as "\n".
#pragma once

#include <cstdio>
#include <string>

namespace zentrova {

class CNamedFile {
 public:
  CNamedFile() = default;
  explicit CNamedFile(std::string name) : m_strName(std::move(name)) {}
  virtual ~CNamedFile() = default;

  const std::string& GetFileName() const { return m_strName; }

 protected:
  std::string m_strName;
};

class CTextFile : public CNamedFile {
 public:
  CTextFile() = default;
  explicit CTextFile(std::string name) : CNamedFile(std::move(name)) {}
  ~CTextFile() override { Close(); }
  CTextFile(const CTextFile&) = delete;
  CTextFile& operator=(const CTextFile&) = delete;

  // Used only while closed.
  void SetFileName(std::string name) {
    Close();
    m_strName = std::move(name);
  }

  bool OpenRead() { return Open("rb"); }
  bool OpenWrite() { return Open("wb"); }
  bool OpenAppend() { return Open("ab"); }
  bool IsOpen() const { return m_pStream != nullptr; }
  std::FILE* GetStream() const { return m_pStream; }

  // False only when no stream is open (the text is emptied then).
  bool ReadLine(std::string& line);

  void Close();

  // False for an empty name; otherwise whether anything of that name exists.
  static bool FileExists(const std::string& name);

 private:
  bool Open(const char* mode);

  std::FILE* m_pStream = nullptr;
};

}  // namespace zentrova
