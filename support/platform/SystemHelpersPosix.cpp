#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

// The build's version text, always as four numbers: a project version with fewer parts leaves
// empty places behind, which read as 0.
std::string builtVersionText() {
    const std::string text = KAVRIN_VERSION_TEXT;
    unsigned numbers[4] = {0, 0, 0, 0};
    std::size_t index = 0;
    for (const char c : text) {
        if (c == '.') {
            if (++index == 4) {
                break;
            }
        } else if (c >= '0' && c <= '9') {
            numbers[index] = (numbers[index] * 10 + static_cast<unsigned>(c - '0')) & 0xFFFFu;
        }
    }
    return formatText("%u.%u.%u.%u", numbers[0], numbers[1], numbers[2], numbers[3]);
}

ComputerNameSeam g_seam;

}  // namespace

std::string FileVersionText([[maybe_unused]] const std::string& path) {
    return builtVersionText();
}

void setComputerNameSeam(const ComputerNameSeam& seam) {
    g_seam = seam;
}

// No fallback here: the failure of the system's call is the error.
std::string LocalComputerName() {
    char buffer[256] = {};
    if (g_seam.systemCallFails || gethostname(buffer, sizeof buffer) != 0) {
        throw EAPIException("GetComputerName failed.");
    }
    // A name that filled the buffer may come without its terminating zero.
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

std::string RunningProgramPath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            throw EOSError::fromCode(errno);
        }
        // readlink cuts a long target silently; only a result shorter than the buffer is whole.
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> consoleProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool standardErrorIsConsole() {
    return isatty(STDERR_FILENO) == 1;
}

}  // namespace kavrin
