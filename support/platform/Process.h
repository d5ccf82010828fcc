#pragma once

#include <cstdint>

namespace kavrin {

// The id of the running process.
std::uint64_t currentProcessId();

// Whether a process with id `pid` runs on this computer now, whoever it belongs to. An id that
// no process of this system can have answers false.
bool processIsRunning(std::uint64_t pid);

}  // namespace kavrin
