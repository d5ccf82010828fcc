#include <windows.h>
// after windows.h, which they need
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/WideText.h"

namespace kavrin {

namespace {

ComputerNameSeam g_seam;

UINT g_consoleCodePage = 0;

void restoreConsoleCodePage() {
    SetConsoleOutputCP(g_consoleCodePage);
}

// Where the name is kept when the system will not give it.
constexpr const char* kComputerNameKey = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\";

[[noreturn]] void failWithLastError() {
    throw EOSError::fromCode(static_cast<int>(GetLastError()));
}

// The program's text (UTF-8) of a text in the system's ANSI code page, up to its first zero byte.
std::string fromAnsi(const char* text, std::size_t capacity) {
    const std::size_t length = strnlen(text, capacity);
    if (length == 0) {
        return std::string();
    }
    const int size = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), size);
    }
    return fromWide(wide);
}

// The registry's value "ComputerName" under `keyPath` of the local machine: its text for a text
// value, empty when the key or the value is missing or the value is empty; throws for a value of
// any other type.
std::string computerNameFromRegistry(const std::string& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::string();
    }
    std::string name;
    bool failed = false;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExA(key, "ComputerName", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        bytes > 0) {
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            // Stored texts need not end with a zero byte; the one after them is ours.
            std::vector<char> text(bytes + 1, '\0');
            if (RegQueryValueExA(key, "ComputerName", nullptr, &type,
                                 reinterpret_cast<BYTE*>(text.data()), &bytes) == ERROR_SUCCESS) {
                name = fromAnsi(text.data(), text.size());
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

}  // namespace

// Through the wide calls, which take the UTF-8 path of any file; the ANSI ones cannot name a file
// outside the code page, and a program in such a folder could not show its version.
std::string FileVersionText(const std::string& path) {
    std::wstring file;
    if (!toWide(path, file)) {
        throw EOSError::fromCode(ERROR_NO_UNICODE_TRANSLATION);
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) {
        failWithLastError();
    }
    const HGLOBAL block = GlobalAlloc(GMEM_ZEROINIT, size);
    if (block == nullptr) {
        failWithLastError();
    }
    VS_FIXEDFILEINFO info{};
    try {
        if (!GetFileVersionInfoW(file.c_str(), 0, size, block)) {
            failWithLastError();
        }
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block, L"\\", &value, &length)) {
            failWithLastError();
        }
        // A resource too short for the structure would have it copied from beyond its end.
        if (value == nullptr || length < sizeof info) {
            throw EOSError::fromCode(ERROR_RESOURCE_DATA_NOT_FOUND);
        }
        std::memcpy(&info, value, sizeof info);
    } catch (...) {
        GlobalFree(block);
        throw;
    }
    GlobalFree(block);
    return formatText("%u.%u.%u.%u", HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
                      HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS));
}

void setComputerNameSeam(const ComputerNameSeam& seam) {
    g_seam = seam;
}

std::string LocalComputerName() {
    char buffer[256] = {};
    DWORD size = 256;
    if (!g_seam.systemCallFails && GetComputerNameA(buffer, &size)) {
        return fromAnsi(buffer, sizeof buffer);
    }
    return computerNameFromRegistry(g_seam.registryKey.empty() ? kComputerNameKey
                                                               : g_seam.registryKey);
}

std::string RunningProgramPath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            failWithLastError();
        }
        // A path that filled the buffer may have been cut: only a shorter one is whole.
        if (length < buffer.size()) {
            return fromWide(std::wstring_view(buffer.data(), length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> consoleProgramArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 1; i < count; ++i) {
            arguments.push_back(fromWide(wide[i]));
        }
        LocalFree(wide);
    } else {
        arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The console keeps its code page after the program: it gets its own back at the end.
    const UINT codePage = GetConsoleOutputCP();
    if (codePage != 0 && codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        g_consoleCodePage = codePage;
        std::atexit(restoreConsoleCodePage);
    }
    return arguments;
}

// isatty() would also take the null device for one.
bool standardErrorIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

}  // namespace kavrin
