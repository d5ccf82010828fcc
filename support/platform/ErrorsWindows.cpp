#include <windows.h>

#include "support/platform/Errors.h"
#include "support/text/WideText.h"

namespace kavrin {

// The system's text in its own language, through the wide call: the program's texts are UTF-8,
// and the code page of the ANSI call would garble any letter outside ASCII.
std::string systemErrorText(int code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result = fromWide(std::wstring_view(text, length));
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    // The system's texts end with a line break the message forms do not want.
    while (!result.empty() &&
           (result.back() == '\r' || result.back() == '\n' || result.back() == ' ')) {
        result.pop_back();
    }
    if (result.empty()) {
        return formatText("Unknown error %d", code);
    }
    return result;
}

}  // namespace kavrin
