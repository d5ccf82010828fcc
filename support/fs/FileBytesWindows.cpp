#include <windows.h>

#include <cstdint>
#include <memory>

#include "support/fs/FileBytes.h"

namespace kavrin {

// Large pages need a privilege administrators seldom grant, so the buffer takes ordinary pages.
FileBytes allocateFileBytes(std::size_t size) {
    FileBytes bytes;
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    bytes.size = size;
    return bytes;
}

}  // namespace kavrin
