#include "cli/ConsoleView.h"

#include <ostream>

namespace kavrin::cli {

ConsoleView::ConsoleView(std::ostream& logStream, bool serverMode, std::string location)
    : m_log(logStream), m_serverMode(serverMode), m_location(std::move(location)) {}

const std::vector<std::string>& ConsoleView::lines(LineList list) const {
    return m_lines[static_cast<std::size_t>(list)];
}

void ConsoleView::appendLine(LineList list, const std::string& text) {
    if (list == LineList::Log) {
        m_log << text << '\n';
    }
    m_lines[static_cast<std::size_t>(list)].push_back(text);
}

void ConsoleView::clearLines(LineList list) {
    m_lines[static_cast<std::size_t>(list)].clear();
}

std::size_t ConsoleView::lineCount(LineList list) const {
    return lines(list).size();
}

std::string ConsoleView::lineAt(LineList list, std::size_t index) const {
    return lines(list).at(index);
}

std::optional<std::size_t> ConsoleView::firstSelected() const {
    if (selection.empty()) {
        return std::nullopt;
    }
    return *selection.begin();
}

Answer ConsoleView::confirm(const std::string& /*text*/, bool withCancel) {
    // The two questions the engine asks are told apart by their buttons.
    return withCancel ? pendingChangesAnswer : fixDuplicatesAnswer;
}

}  // namespace kavrin::cli
