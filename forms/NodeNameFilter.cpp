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
    if (text.contains(QLatin1Char(kAnyRun)) || text.contains(QLatin1Char(kAnyOne))) {
        m_pattern = true;
        m_namePattern = NamePattern(text.toStdString());
        return;
    }
    // Character by character: the conversion turns what the code page lacks into '?', which
    // would match a name that holds a '?'.
    for (const QChar c : text) {
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
    return m_pattern ? m_namePattern.matches(name) : containsNeedle(name);
}

bool NodeNameFilter::containsNeedle(std::string_view name) const {
    const auto same = [this](char a, char b) {
        return m_fold[static_cast<unsigned char>(a)] == static_cast<unsigned char>(b);
    };
    return std::search(name.begin(), name.end(), m_folded.begin(), m_folded.end(), same) !=
           name.end();
}

}  // namespace kavrin
