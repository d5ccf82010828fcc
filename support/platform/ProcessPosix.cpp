#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "support/platform/Process.h"

namespace kavrin {

std::uint64_t currentProcessId() {
    return static_cast<std::uint64_t>(::getpid());
}

bool processIsRunning(std::uint64_t pid) {
    // 0 and negative ids name process groups to kill(), not a process.
    if (pid == 0 || pid > static_cast<std::uint64_t>(INT_MAX)) {
        return false;
    }
    // Signal 0 only asks; a process of another user answers "not permitted", which means it is
    // there.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace kavrin
