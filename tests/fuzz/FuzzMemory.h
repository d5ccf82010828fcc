#pragma once

#include <cstdint>

namespace kavrin::fuzz {

// The memory the fuzz targets' commits are told they can have (FuzzMemory.cpp replaces the
// system's memoryHeadroom in the targets that link it): plenty unless set lower.
void setMemoryHeadroom(std::uint64_t bytes);

}  // namespace kavrin::fuzz
