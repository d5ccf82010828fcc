#include "forms/NodeNameFilter.h"

#include <algorithm>

#include "support/text/AnsiText.h"

namespace kavrin {

namespace {
constexpr char kAnyRun = '*';
constexpr char kAnyOne = '?';
}  // namespace

NodeNameFilter::NodeNameFilter(const QString& text) : m_empty(text.isEmpty()) {
    for (int c = 0; c < 256; ++c) {
        m_fold[static_cast<std::size_t>(c)] = ansiUpper(static_cast<unsigned char>(c));
    }
    // Character by character: the conversion turns what the code page lacks into '?', which
    // must not become a wildcard here.
    for (const QChar c : text) {
        if (c == QLatin1Char(kAnyRun) || c == QLatin1Char(kAnyOne)) {
            m_pattern = true;
            m_folded += c.toLatin1();
            continue;
        }
        const std::string bytes = utf8ToAnsi(QString(c).toStdString());
        if (bytes.size() != 1 || bytes[0] == kAnyOne) {
            m_impossible = true;
            continue;
        }
        m_folded += static_cast<char>(m_fold[static_cast<unsigned char>(bytes[0])]);
    }
}

bool NodeNameFilter::matches(std::string_view name) const {
    if (m_empty) {
        return true;
    }
    if (m_impossible) {
        return false;
    }
    return m_pattern ? matchesPattern(name) : containsNeedle(name);
}

bool NodeNameFilter::containsNeedle(std::string_view name) const {
    const auto same = [this](char a, char b) {
        return m_fold[static_cast<unsigned char>(a)] == static_cast<unsigned char>(b);
    };
    return std::search(name.begin(), name.end(), m_folded.begin(), m_folded.end(), same) !=
           name.end();
}

bool NodeNameFilter::matchesPattern(std::string_view name) const {
    // Greedy, going back only to the last `*`: linear for the patterns people type, and never
    // worse than the product of the two lengths.
    const std::string_view pattern = m_folded;
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starAt = std::string_view::npos;
    std::size_t resumeAt = 0;
    while (n < name.size()) {
        const auto c = m_fold[static_cast<unsigned char>(name[n])];
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
