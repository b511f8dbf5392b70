// Line-by-line text files over C streams.
//
// ReadLine returns whole lines of any length. A line ends at "\n", "\r\n" or
// a lone "\r" (files written on Windows and on old Macs), and arrives with a
// single "\n" in place of its line end. A last line without any line end
// arrives without one, so a reader can tell a line cut short by a crash. At
// the end of the file it yields an empty text, so readers loop until they get
// one: an empty line of the file still arrives as "\n".
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zentrova {

class CNamedFile {
 public:
  CNamedFile() = default;
  explicit CNamedFile(std::string name) : m_name(std::move(name)) {}
  virtual ~CNamedFile() = default;

  const std::string& GetFileName() const { return m_name; }

 protected:
  std::string m_name;
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
    m_name = std::move(name);
  }

  // A folder or another file that cannot be read as a stream of lines is
  // refused (errno EISDIR or ENODEV), so that it never reads as an empty file.
  bool OpenRead() { return Open("rb"); }
  bool OpenWrite() { return Open("wb"); }
  bool OpenAppend() { return Open("ab"); }
  bool IsOpen() const { return m_stream != nullptr; }
  std::FILE* GetStream() const { return m_stream; }

  // False only when no stream is open (the text is emptied then).
  bool ReadLine(std::string& line);
  // The errno of a read that failed (an I/O error, not the end of the file);
  // 0 while every read succeeded. The failed read ends the lines like an end
  // of file, so readers check this once after their loop.
  int ReadError() const { return m_readError; }

  void Close();

  // False for an empty name; otherwise whether anything of that name exists.
  static bool FileExists(const std::string& name);

  // Before appending to a file that a crash or a full disk may have left
  // with a cut last line: cuts the text after the last line end (returned in
  // removed, empty when the file ends with a line end or is empty) so that
  // what is appended starts on a line of its own. False with errno set when
  // the file cannot be read or shortened.
  static bool TrimTornLastLine(const std::string& name, std::string& removed);

 private:
  bool Open(const char* mode);
  bool Fill();

  std::FILE* m_stream = nullptr;
  std::vector<char> m_buffer;
  size_t m_begin = 0;  // unread bytes of m_buffer: [m_begin, m_end)
  size_t m_end = 0;
  int m_readError = 0;
};

// Reads a text file's lines in order, each with its number (from 1), until
// visit returns false, the lines end, or a line is empty (where the text a
// save wrote ends). False when the file cannot be opened; readError gets the
// errno of a read that failed (0 when every read succeeded).
bool ReadNumberedLines(const std::string& path,
                       const std::function<bool(const std::string& line, int lineNo)>& visit,
                       int& readError);

}  // namespace zentrova
