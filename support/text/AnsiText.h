#pragma once

#include <string>
#include <string_view>

namespace kavrin {

// Texts in the database files are single-byte strings in the ANSI code page (Windows-1252 here).
// The conversion to UTF-8 is one-to-one: the five bytes Windows-1252 leaves undefined become the
// C1 control characters of the same value, so utf8ToAnsi(ansiToUtf8(s)) == s for every s.
std::string ansiToUtf8(std::string_view ansi);

// The inverse; a character the code page cannot hold becomes '?'.
std::string utf8ToAnsi(std::string_view utf8);

// Whether `text` is well-formed UTF-8 (no broken or overlong sequence, no surrogate).
bool isUtf8(std::string_view text);

// Upper-case form of one code-page byte: a-z and the code page's accented small letters fold to
// their capitals. This one folding serves every case-insensitive name comparison of the tool.
unsigned char ansiUpper(unsigned char c);

// The text with every byte folded by ansiUpper: equal keys mean equal names without regard to case.
std::string ansiFoldKey(std::string_view text);

// Case-insensitive comparison of names by ansiUpper; <0, 0, >0.
int ansiCompareText(std::string_view a, std::string_view b);
inline bool ansiSameText(std::string_view a, std::string_view b) {
    return ansiCompareText(a, b) == 0;
}

// Comparison in which only a-z are folded to A-Z and bytes compare as unsigned codes; the shorter
// of two texts of which one starts the other comes first.
int asciiCompareText(std::string_view a, std::string_view b);

}  // namespace kavrin
