#include <windows.h>

#include "support/platform/Process.h"

namespace kavrin {

std::uint64_t currentProcessId() {
    return GetCurrentProcessId();
}

bool processIsRunning(std::uint64_t pid) {
    if (pid == 0 || pid > 0xFFFFFFFFu) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        // A process the caller may not look at is there all the same.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

}  // namespace kavrin
