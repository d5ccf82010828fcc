#include "support/text/AnsiText.h"

#include <array>
#include <cstdint>

namespace kavrin {

namespace {

// Code points of the bytes 0x80..0x9F. The five bytes the code page leaves undefined keep their
// own value as C1 control characters, which is what makes the conversion reversible.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

char32_t codePointOf(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) {
        return kHighControls[c - 0x80u];
    }
    return c;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        // The table holds nothing beyond the Basic Multilingual Plane.
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The code-page byte of a code point, or '?' when the code page has none.
char ansiOf(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<char>(cp);
    }
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == cp) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

struct Utf8Char {
    char32_t codePoint = 0;
    std::size_t length = 0;  // bytes taken, at least 1
    bool valid = false;
};

// One UTF-8 sequence at `pos`. Overlong forms, surrogates, values beyond U+10FFFF and sequences
// cut short are invalid; an invalid one takes its lead byte and the continuation bytes that fitted,
// so that the next byte starts afresh.
Utf8Char decodeUtf8(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t need = 0;
    char32_t cp = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {0, 1, false};
    }
    for (std::size_t i = 1; i <= need; ++i) {
        if (pos + i >= text.size()) {
            return {0, i, false};
        }
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if (next < low || next > high) {
            return {0, i, false};
        }
        low = 0x80;
        high = 0xBF;
        cp = (cp << 6) | (next & 0x3Fu);
    }
    return {cp, need + 1, true};
}

}  // namespace

std::string ansiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (const char c : ansi) {
        appendUtf8(out, codePointOf(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string utf8ToAnsi(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const Utf8Char next = decodeUtf8(utf8, pos);
        // A broken sequence, as far as it went, stands for one unknown character.
        out += next.valid ? ansiOf(next.codePoint) : '?';
        pos += next.length;
    }
    return out;
}

bool isUtf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Char next = decodeUtf8(text, pos);
        if (!next.valid) {
            return false;
        }
        pos += next.length;
    }
    return true;
}

unsigned char ansiUpper(unsigned char c) {
    if (c >= 'a' && c <= 'z') {
        return static_cast<unsigned char>(c - 0x20);
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<unsigned char>(c - 0x20);
    }
    switch (c) {
        case 0x9A:  // s caron
            return 0x8A;
        case 0x9C:  // oe
            return 0x8C;
        case 0x9E:  // z caron
            return 0x8E;
        case 0xFF:  // y diaeresis
            return 0x9F;
        default:
            return c;
    }
}

std::string ansiFoldKey(std::string_view text) {
    std::string key(text);
    for (char& c : key) {
        c = static_cast<char>(ansiUpper(static_cast<unsigned char>(c)));
    }
    return key;
}

namespace {

template <typename Fold>
int compareFolded(std::string_view a, std::string_view b, Fold fold) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const int x = fold(static_cast<unsigned char>(a[i]));
        const int y = fold(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

int ansiCompareText(std::string_view a, std::string_view b) {
    return compareFolded(a, b, [](unsigned char c) { return static_cast<int>(ansiUpper(c)); });
}

int asciiCompareText(std::string_view a, std::string_view b) {
    return compareFolded(a, b, [](unsigned char c) {
        return static_cast<int>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
    });
}

}  // namespace kavrin
