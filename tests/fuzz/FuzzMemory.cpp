// Takes the place of support's memoryHeadroom() in the fuzz targets that link it (the linker then
// leaves the system's version out of the library). The system's version reads /proc and every
// control group file above the process: a quarter of fuzz_database's time went there, and an
// input whose commit passes or is refused by what the machine has free at that moment is an
// input that cannot be replayed.
#include "fuzz/FuzzMemory.h"

#include "support/platform/Memory.h"

namespace kavrin {

namespace {

std::uint64_t g_headroom = std::uint64_t{8} << 30;

}  // namespace

void fuzz::setMemoryHeadroom(std::uint64_t bytes) {
    g_headroom = bytes;
}

MemoryHeadroom memoryHeadroom() {
    return {true, g_headroom, "the memory the system has available"};
}

}  // namespace kavrin
