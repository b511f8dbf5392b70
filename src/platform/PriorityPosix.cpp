#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Priority.h"

namespace zentrova::platform {

namespace {

int NiceOf(ProcessPriority priority) {
  switch (priority) {
    case ProcessPriority::kIdle:
      return 19;
    case ProcessPriority::kBelowNormal:
      return 10;
    default:
      return 0;
  }
}

}  // namespace

bool SetProcessPriority(ProcessPriority priority) {
  const int nice = NiceOf(priority);
  // Linux lists the process's threads under /proc; elsewhere (no such
  // folder) setpriority on the process reaches all of them.
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return ::setpriority(PRIO_PROCESS, 0, nice) == 0;
  int failure = 0;
  while (const dirent* entry = ::readdir(tasks)) {
    char* end = nullptr;
    const long tid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || tid <= 0) continue;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) continue;
    // A thread that ended since the listing needs nothing.
    if (errno != ESRCH && failure == 0) failure = errno;
  }
  ::closedir(tasks);
  if (failure != 0) {
    errno = failure;
    return false;
  }
  return true;
}

}  // namespace zentrova::platform
