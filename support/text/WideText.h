#pragma once

#include <string>
#include <string_view>

namespace kavrin {

// The program's texts are UTF-8; the Windows calls that take any name or give any text are the
// wide (UTF-16) ones, as the ANSI calls cannot name a file outside the code page. Windows only.

// UTF-16 of a UTF-8 text. False when `utf8` is not valid UTF-8 (the system then reports
// ERROR_NO_UNICODE_TRANSLATION), `wide` left empty.
[[nodiscard]] bool toWide(std::string_view utf8, std::wstring& wide);

// UTF-8 of a UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string fromWide(std::wstring_view wide);

}  // namespace kavrin
