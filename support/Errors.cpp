#include "support/Errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kavrin {

namespace {

#ifndef _WIN32
// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); overloads accept
// whichever one the C library declares.
[[maybe_unused]] const char* strerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerrorResult(const char* result, const char*) {
    return result;
}
#endif

}  // namespace

std::string systemErrorText(int code) {
#ifdef _WIN32
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    // The system's texts end with a line break the message forms do not want.
    while (!result.empty() &&
           (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
#else
    char buffer[256] = {};
    const char* text = strerrorResult(strerror_r(code, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') {
        return formatText("Unknown error %d", code);
    }
    return text;
#endif
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string result;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        result.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(args);
    return result;
}

EOSError EOSError::fromCode(int code) {
    if (code == 0) {
        return EOSError(0, "A call to an OS function failed");
    }
    return EOSError(
        code, formatText("System Error.  Code: %d.\r\n%s", code, systemErrorText(code).c_str()));
}

}  // namespace kavrin
