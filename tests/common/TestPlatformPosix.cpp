#include <unistd.h>

#include <filesystem>
#include <iterator>

#include "common/TestPlatform.h"

namespace kavrin::test {

std::string forPlatform(const std::string& posix, [[maybe_unused]] const std::string& windows) {
    return posix;
}

std::size_t openHandleCount() {
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

bool writersKeepReadersOut() {
    return false;
}

bool permissionsBind() {
    return ::geteuid() != 0;
}

// Shares are reached by back ends of their own here, each testing against its own server.
std::shared_ptr<const std::string> testShareFolder() {
    return nullptr;
}

}  // namespace kavrin::test
