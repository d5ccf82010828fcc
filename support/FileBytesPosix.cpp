#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "support/FileBytes.h"

namespace kavrin {

FileBytes allocateFileBytes(std::size_t size) {
    FileBytes bytes;
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    bytes.size = size;
#ifdef MADV_HUGEPAGE
    // Only a hint, for the whole 2 MiB pages inside the buffer; refused, nothing changes.
    constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
    const auto first = reinterpret_cast<std::uintptr_t>(bytes.data.get());
    const std::uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (first + size) & ~(kHugePage - 1);
    if (end > begin) {
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
    return bytes;
}

// Available memory plus free swap, from /proc/meminfo; 0 where there is no such file.
std::uint64_t availableMemory() {
    FILE* info = std::fopen("/proc/meminfo", "re");
    if (info == nullptr) {
        return 0;
    }
    std::uint64_t total = 0;
    char line[256];
    while (std::fgets(line, sizeof line, info) != nullptr) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1 ||
            std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
            total += static_cast<std::uint64_t>(kib) * 1024;
        }
    }
    std::fclose(info);
    return total;
}

}  // namespace kavrin
