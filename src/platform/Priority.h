// The scheduling priority of the whole program, the way each system sets it.
// On Linux a nice value belongs to one thread (setpriority on the process id
// reaches only the calling thread), so every thread of the process is set,
// and the threads they start later inherit it; on Windows the priority class
// is the process's. Lowering the priority is always allowed; raising it
// again may need privileges that an ordinary user lacks. The nice values
// are 19 (idle), 10 (below normal) and 0 (normal).
#pragma once

namespace zentrova::platform {

enum class ProcessPriority { kIdle, kBelowNormal, kNormal };

// Sets every thread of the process to the priority. False with errno set
// (EPERM or EACCES: refused) when it could not be done for every thread;
// the threads then keep what the system left them.
bool SetProcessPriority(ProcessPriority priority);

}  // namespace zentrova::platform
