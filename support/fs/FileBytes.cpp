#include "support/fs/FileBytes.h"

#include <limits>
#include <new>

#include "support/platform/Errors.h"
#include "support/platform/Memory.h"

namespace kavrin {

std::uint64_t availableMemory() {
    const MemoryHeadroom headroom = memoryHeadroom();
    if (!headroom.known) {
        return 0;
    }
    return headroom.bytes > 0 ? headroom.bytes : 1;  // 0 would mean "cannot be told"
}

FileBytes allocateFileBytesFor(const std::string& path, std::uint64_t size) {
    const std::uint64_t available = availableMemory();
    if ((available == 0 || size <= available) && size <= std::numeric_limits<std::size_t>::max()) {
        try {
            // Bodies reach hundreds of megabytes: zero-filling them first would cost a second pass.
            return allocateFileBytes(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            // reported below, as a file the system has no room for
        }
    }
    throw KavrinError(formatText("Cannot read file \"%s\". Not enough memory", path.c_str()));
}

}  // namespace kavrin
