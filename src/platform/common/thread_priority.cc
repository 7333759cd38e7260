#include "platform/common/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace testqav {

void LowerCurrentThreadPriority() {
  // On Linux a nice value belongs to the thread named by its id, not to the whole process.
  // A failure leaves the thread as it was, which is only slower.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
}

}  // namespace testqav
