#include <windows.h>

#include "support/platform/Memory.h"

namespace kavrin {

// Windows refuses a commit it cannot back instead of promising it; asking first spares the system
// a run on the page file and the process a failure half way.
MemoryHeadroom memoryHeadroom() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) {
        return {};
    }
    if (status.ullAvailVirtual < status.ullAvailPageFile) {
        return {true, status.ullAvailVirtual, "its free address space"};
    }
    return {true, status.ullAvailPageFile, "the memory the system can still commit"};
}

}  // namespace kavrin
