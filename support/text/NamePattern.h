#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kavrin {

// A pattern of node names: `*` any run of characters, `?` exactly one, every other character
// itself. The whole name must match, without regard to case, folded as duplicate names are
// (ansiUpper): a pattern and the duplicate list agree on what is the same name. The pattern is
// UTF-8 and the names are code-page bytes as the database holds them; a character of the pattern
// that the code page cannot hold matches no name, so that it never becomes a `?`.
class NamePattern {
public:
    NamePattern() = default;
    explicit NamePattern(std::string_view utf8);

    // `name` is a NodeName as stored (code-page bytes).
    bool matches(std::string_view name) const;
    // The pattern holds a character no name can hold: it matches nothing.
    bool impossible() const { return m_impossible; }

private:
    bool m_impossible = false;
    std::string m_folded;  // the pattern in code-page bytes, folded; `*` and `?` kept
};

}  // namespace kavrin
