#include "store/background.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orv {

void runInBackground() {
    // On Linux a thread's id sets the priority of that thread alone.
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (errno != 0) return;
    setpriority(PRIO_PROCESS, self, std::min(now + 10, 19));
}

}  // namespace orv
