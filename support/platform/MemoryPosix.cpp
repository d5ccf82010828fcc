#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/platform/Memory.h"

namespace kavrin {

namespace {

void lower(MemoryHeadroom& headroom, std::uint64_t bytes, const char* limitedBy) {
    if (!headroom.known || bytes < headroom.bytes) {
        headroom = {true, bytes, limitedBy};
    }
}

std::uint64_t left(std::uint64_t limit, std::uint64_t used) {
    return limit > used ? limit - used : 0;
}

// A number from a control group file; false for "max", a missing file or anything else.
bool readNumber(const std::string& path, std::uint64_t& value) {
    std::ifstream file(path);
    unsigned long long number = 0;
    if (!(file >> number)) {
        return false;
    }
    value = number;
    return true;
}

// The control group of this process in the hierarchy `controller` names ("" for v2), from
// /proc/self/cgroup: "0::/user.slice/..." (v2) or "4:memory:/user.slice/..." (v1).
std::string groupPath(const std::string& controller) {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match =
            controller.empty()
                ? controllers.empty()
                : ("," + controllers + ",").find("," + controller + ",") != std::string::npos;
        if (match) {
            return line.substr(second + 1);
        }
    }
    return {};
}

// Every group from the process's own up to the root applies its limit.
void lowerByGroups(MemoryHeadroom& headroom, const std::string& mount, std::string group,
                   const char* limitName, const char* usageName) {
    while (!group.empty()) {
        std::uint64_t limit = 0;
        std::uint64_t usage = 0;
        const std::string folder = mount + (group == "/" ? "" : group);
        // v1 writes "no limit" as a number near 2^63.
        if (readNumber(folder + "/" + limitName, limit) && limit < (std::uint64_t{1} << 62) &&
            readNumber(folder + "/" + usageName, usage)) {
            lower(headroom, left(limit, usage), "the memory limit of its control group");
        }
        if (group == "/") {
            break;
        }
        const std::size_t slash = group.find_last_of('/');
        group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
    }
}

}  // namespace

MemoryHeadroom memoryHeadroom() {
    MemoryHeadroom headroom;

    if (FILE* info = std::fopen("/proc/meminfo", "re")) {
        std::uint64_t total = 0;
        bool found = false;
        char line[256];
        while (std::fgets(line, sizeof line, info) != nullptr) {
            unsigned long long kib = 0;
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                found = true;
                total += static_cast<std::uint64_t>(kib) * 1024;
            } else if (std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
                total += static_cast<std::uint64_t>(kib) * 1024;
            }
        }
        std::fclose(info);
        if (found) {
            lower(headroom, total, "the memory the system has available");
        }
    }

    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        unsigned long long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "re")) {
            if (std::fscanf(statm, "%llu", &pages) != 1) {
                pages = 0;
            }
            std::fclose(statm);
        }
        const auto mapped =
            static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        lower(headroom, left(static_cast<std::uint64_t>(limit.rlim_cur), mapped),
              "its address space limit (RLIMIT_AS)");
    }

    lowerByGroups(headroom, "/sys/fs/cgroup", groupPath(""), "memory.max", "memory.current");
    lowerByGroups(headroom, "/sys/fs/cgroup/memory", groupPath("memory"), "memory.limit_in_bytes",
                  "memory.usage_in_bytes");
    return headroom;
}

}  // namespace kavrin
