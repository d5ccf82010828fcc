#pragma once

#include <cstdint>
#include <string>

namespace kavrin {

// How much more memory this process can be given, and which bound sets that.
struct MemoryHeadroom {
    bool known = false;  // false: no bound could be read, and `bytes` means nothing
    std::uint64_t bytes = 0;
    std::string limitedBy;  // what sets it, for messages: "the memory the system has available"
};

// The least of the bounds this system puts on more memory for the process. Linux: the memory the
// system has available (MemAvailable and free swap in /proc/meminfo); what the address-space limit
// (RLIMIT_AS) leaves beyond what the process has mapped; what the memory limit of its control
// group and of every group above it leaves beyond what the group uses (cgroup v2 memory.max and
// memory.current, v1 memory.limit_in_bytes and memory.usage_in_bytes). Windows: the commit the
// system can still give and the free address space (GlobalMemoryStatusEx), the lesser of them.
// Never throws.
MemoryHeadroom memoryHeadroom();

// "12 MB": bytes in whole megabytes (10^6), rounded up, for messages.
std::string megabytesText(std::uint64_t bytes);

}  // namespace kavrin
