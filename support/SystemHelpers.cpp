#include "support/SystemHelpers.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/Errors.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace kavrin {

namespace {

std::string versionText(unsigned a, unsigned b, unsigned c, unsigned d) {
    return formatText("%u.%u.%u.%u", a, b, c, d);
}

#ifndef _WIN32
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
    return versionText(numbers[0], numbers[1], numbers[2], numbers[3]);
}
#endif

}  // namespace

#ifdef _WIN32

std::string FileVersionText(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) {
        throw EOSError::fromCode(static_cast<int>(GetLastError()));
    }
    const HGLOBAL block = GlobalAlloc(GMEM_ZEROINIT, size);
    if (block == nullptr) {
        throw EOSError::fromCode(static_cast<int>(GetLastError()));
    }
    VS_FIXEDFILEINFO info{};
    try {
        if (!GetFileVersionInfoA(path.c_str(), 0, size, block)) {
            throw EOSError::fromCode(static_cast<int>(GetLastError()));
        }
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block, "\\", &value, &length)) {
            throw EOSError::fromCode(static_cast<int>(GetLastError()));
        }
        // A resource too short for the structure would have it copied from beyond its end.
        if (value == nullptr || length < sizeof info) {
            throw EOSError::fromCode(static_cast<int>(ERROR_RESOURCE_DATA_NOT_FOUND));
        }
        std::memcpy(&info, value, sizeof info);
    } catch (...) {
        GlobalFree(block);
        throw;
    }
    GlobalFree(block);
    return versionText(HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
                       HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS));
}

std::string LocalComputerName() {
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    if (GetComputerNameA(buffer, &size)) {
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    std::string name;
    bool failed = false;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExA(key, "ComputerName", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        bytes > 0) {
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::vector<char> text(bytes + 1, '\0');
            if (RegQueryValueExA(key, "ComputerName", nullptr, &type,
                                 reinterpret_cast<BYTE*>(text.data()), &bytes) == ERROR_SUCCESS) {
                name.assign(text.data(), strnlen(text.data(), text.size()));
            }
        } else {
            failed = true;
        }
    }
    RegCloseKey(key);
    if (failed) {
        throw EAPIException("GetComputerName failed.");
    }
    return name;
}

std::string RunningProgramPath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw EOSError::fromCode(static_cast<int>(GetLastError()));
        }
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

#else

std::string FileVersionText([[maybe_unused]] const std::string& path) {
    return builtVersionText();
}

std::string LocalComputerName() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer) != 0) {
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

#endif

std::string TimeStampText(const LocalTime& time) {
    return formatText("%.4d%.2d%.2d-%.2d%.2d%.2d", time.year, time.month, time.day, time.hour,
                      time.minute, time.second);
}

std::string TimeStampText(Clock& clock) {
    return TimeStampText(clock.now());
}

std::string UncServerPrefix(const std::string& name) {
    if (name.find("\\\\") != std::string::npos) {
        return name;
    }
    return "\\\\" + name;
}

}  // namespace kavrin
