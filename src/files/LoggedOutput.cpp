#include "files/LoggedOutput.h"

#include <cerrno>
#include <cstring>

#include "files/StrFormat.h"

namespace zentrova {

namespace {

bool WriteFailed(const AtomicTextFile& out, const char* what, const LogFn& log) {
  log(StrFormat("Unable to write output %s %s: %s.", what, out.Target().c_str(),
                std::strerror(errno)));
  return false;
}

}  // namespace

bool OpenOutput(AtomicTextFile& out, const char* what, const LogFn& log) {
  if (out.Open()) return true;
  const int error = errno;
  const std::string& path = out.Target();
  log(StrFormat("Unable to open output %s %s.", what, path.c_str()));
  // The second line: what the system said, and where.
  log(StrFormat("Unable to create a temporary file beside %s: %s.", path.c_str(),
                std::strerror(error)));
  return false;
}

bool FinishOutput(AtomicTextFile& out, const char* what, const LogFn& log) {
  return out.Finish() || WriteFailed(out, what, log);
}

bool PublishOutput(AtomicTextFile& out, const char* what, const LogFn& log) {
  return out.Publish() || WriteFailed(out, what, log);
}

bool CommitOutput(AtomicTextFile& out, const char* what, const LogFn& log) {
  return out.Commit() || WriteFailed(out, what, log);
}

}  // namespace zentrova
