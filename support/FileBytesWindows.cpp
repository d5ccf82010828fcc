#include <windows.h>

#include <cstdint>
#include <memory>

#include "support/FileBytes.h"

namespace kavrin {

// Large pages need a privilege administrators seldom grant, so the buffer takes ordinary pages.
FileBytes allocateFileBytes(std::size_t size) {
    FileBytes bytes;
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    bytes.size = size;
    return bytes;
}

// What the process may still commit, within its free address space. Windows refuses a commit it
// cannot back instead of promising it, but asking first spares the system a run on the page file.
std::uint64_t availableMemory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) {
        return 0;
    }
    const std::uint64_t commit = status.ullAvailPageFile;
    const std::uint64_t addresses = status.ullAvailVirtual;
    return commit < addresses ? commit : addresses;
}

}  // namespace kavrin
