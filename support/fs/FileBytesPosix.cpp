#include <sys/mman.h>

#include <cstdint>
#include <memory>

#include "support/fs/FileBytes.h"

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

}  // namespace kavrin
