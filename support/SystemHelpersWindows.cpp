#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/Errors.h"
#include "support/SystemHelpers.h"

namespace kavrin {

namespace {

std::string versionText(unsigned a, unsigned b, unsigned c, unsigned d) {
    return formatText("%u.%u.%u.%u", a, b, c, d);
}

}  // namespace

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

}  // namespace kavrin
