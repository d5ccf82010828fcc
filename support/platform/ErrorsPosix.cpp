#include <cstring>

#include "support/platform/Errors.h"

namespace kavrin {

namespace {

// strerror_r comes in two shapes (GNU returns the text, XSI fills the buffer); overloads accept
// whichever one the C library declares.
[[maybe_unused]] const char* strerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerrorResult(const char* result, const char*) {
    return result;
}

}  // namespace

std::string systemErrorText(int code) {
    char buffer[256] = {};
    const char* text = strerrorResult(strerror_r(code, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') {
        return formatText("Unknown error %d", code);
    }
    return text;
}

}  // namespace kavrin
