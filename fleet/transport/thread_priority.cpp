#include "fleet/transport/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/diag_log.h"

namespace fleet {

bool RaiseCurrentThreadPriority() {
    // On Linux the nice value is per thread when addressed by thread id.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (current == -1 && errno != 0) {
        return false;
    }
    if (setpriority(PRIO_PROCESS, tid, current - 1) != 0) {
        platform::Diag("slot",
                       std::string("worker stays at normal priority: ") + std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace fleet
