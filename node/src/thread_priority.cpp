// The pack's threads yield to the JavaScript thread: a pack runs beside an
// event loop that must stay responsive, so the thread that runs it, and the
// library's workers that it starts (a Linux thread's nice value passes to
// the threads it creates), run a few nice steps below the process.
#include "thread_priority.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zfnode {

void LowerThisThreadsPriority(int steps) {
#if defined(__linux__)
  const auto self = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, self);
  if (errno == 0) setpriority(PRIO_PROCESS, self, now + steps);  // a refusal changes nothing
#else
  (void)steps;
#endif
}

}  // namespace zfnode
