#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kavrin {

// The bytes of a whole file, in memory allocated without initialisation (the read fills it).
struct FileBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

// `size` bytes for a whole file or body, not initialised, in huge pages where the system gives
// them: on virtual machines the first touch of each small page of hundreds of fresh megabytes
// costs more than filling them. Throws std::bad_alloc.
FileBytes allocateFileBytes(std::size_t size);

// Memory the system can still give this program (memoryHeadroom(), support/platform/Memory.h);
// 0 when it cannot be told.
std::uint64_t availableMemory();

// Room for the whole file `path` of `size` bytes, for a file back end to read into. A file larger
// than the memory the system can give is refused before anything is read: Linux hands out more
// than it has and kills the process that touches too much. Throws
// "Cannot read file \"<path>\". Not enough memory".
FileBytes allocateFileBytesFor(const std::string& path, std::uint64_t size);

}  // namespace kavrin
