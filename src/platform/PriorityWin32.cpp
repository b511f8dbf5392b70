#include <windows.h>

#include <cerrno>

#include "platform/Priority.h"
#include "platform/Utf8.h"

namespace zentrova::platform {

bool SetProcessPriority(ProcessPriority priority) {
  const DWORD priorityClass = priority == ProcessPriority::kIdle ? IDLE_PRIORITY_CLASS
                              : priority == ProcessPriority::kBelowNormal
                                  ? BELOW_NORMAL_PRIORITY_CLASS
                                  : NORMAL_PRIORITY_CLASS;
  if (::SetPriorityClass(::GetCurrentProcess(), priorityClass)) return true;
  errno = ErrnoOf(::GetLastError());
  return false;
}

}  // namespace zentrova::platform
