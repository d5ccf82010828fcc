#pragma once

#include <QString>
#include <array>
#include <string>
#include <string_view>

#include "support/text/NamePattern.h"

namespace kavrin {

// What the filter box over the node list lets through. A text without `*` or `?` matches every
// name that contains it; a text with either is a pattern the whole name must match (`*` any run
// of characters, `?` exactly one). Names are compared without regard to case, folded as the
// duplicate names are (ansiUpper), so that a filter and the duplicates agree on what is the same
// name. A typed character the code page of the names cannot hold matches no name.
class NodeNameFilter {
public:
    NodeNameFilter() = default;
    explicit NodeNameFilter(const QString& text);

    // The empty text: every name passes.
    bool empty() const { return m_empty; }
    // `name` is the NodeName as stored (code-page bytes).
    bool matches(std::string_view name) const;

private:
    bool containsNeedle(std::string_view name) const;

    bool m_empty = true;
    bool m_pattern = false;
    NamePattern m_namePattern;  // the text with `*` or `?`, as protection rules match names
    bool m_impossible = false;  // a character no name can hold
    std::string m_folded;       // the text without `*` and `?` in code-page bytes, folded
    std::array<unsigned char, 256> m_fold{};
};

}  // namespace kavrin
