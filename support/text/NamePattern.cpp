#include "support/text/NamePattern.h"

#include "support/text/AnsiText.h"

namespace kavrin {

namespace {
constexpr char kAnyRun = '*';
constexpr char kAnyOne = '?';

// The bytes of the UTF-8 character starting at `pos`: its lead byte and the continuation bytes
// after it. A broken sequence ends where its continuation does.
std::size_t characterLength(std::string_view text, std::size_t pos) {
    std::size_t length = 1;
    while (pos + length < text.size() &&
           (static_cast<unsigned char>(text[pos + length]) & 0xC0) == 0x80 &&
           static_cast<unsigned char>(text[pos]) >= 0xC0) {
        ++length;
    }
    return length;
}
}  // namespace

NamePattern::NamePattern(std::string_view utf8) {
    // Character by character: the conversion turns what the code page lacks into '?', which
    // must not become a wildcard here.
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::size_t length = characterLength(utf8, pos);
        const std::string_view character = utf8.substr(pos, length);
        pos += length;
        if (character.size() == 1 && (character[0] == kAnyRun || character[0] == kAnyOne)) {
            m_folded += character[0];
            continue;
        }
        const std::string bytes = utf8ToAnsi(character);
        if (bytes.size() != 1 || bytes[0] == kAnyOne) {
            m_impossible = true;
            continue;
        }
        m_folded += static_cast<char>(ansiUpper(static_cast<unsigned char>(bytes[0])));
    }
}

bool NamePattern::matches(std::string_view name) const {
    if (m_impossible) {
        return false;
    }
    // Greedy, going back only to the last `*`: linear for the patterns people type, and never
    // worse than the product of the two lengths.
    const std::string_view pattern = m_folded;
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starAt = std::string_view::npos;
    std::size_t resumeAt = 0;
    while (n < name.size()) {
        const auto c = ansiUpper(static_cast<unsigned char>(name[n]));
        if (p < pattern.size() && pattern[p] == kAnyRun) {
            starAt = p++;
            resumeAt = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == kAnyOne || static_cast<unsigned char>(pattern[p]) == c)) {
            ++p;
            ++n;
        } else if (starAt != std::string_view::npos) {
            p = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == kAnyRun) {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace kavrin
