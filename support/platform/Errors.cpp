#include "support/platform/Errors.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kavrin {

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
