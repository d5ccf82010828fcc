#include "cli/ConsoleView.h"

#include <algorithm>
#include <ostream>

namespace kavrin::cli {

ConsoleView::ConsoleView(std::ostream& logStream, bool serverMode, std::string location,
                         bool progressLine)
    : m_log(logStream),
      m_serverMode(serverMode),
      m_location(std::move(location)),
      m_progressLine(progressLine) {}

const std::vector<std::string>& ConsoleView::lines(LineList list) const {
    return m_lines[static_cast<std::size_t>(list)];
}

void ConsoleView::appendLine(LineList list, const std::string& text) {
    if (list == LineList::Log) {
        eraseProgress();
        m_log << text << '\n';
        if (m_progressShown || !m_waiting.empty()) {
            drawProgress();
        }
    }
    m_lines[static_cast<std::size_t>(list)].push_back(text);
}

void ConsoleView::showError(const std::string& text) {
    // Every error ends the operation that shows it: the progress line goes, and stays away.
    hideProgressArea();
    // What the log has just said is not said twice: the window shows it in a box besides.
    const std::vector<std::string>& log = lines(LineList::Log);
    if (log.empty() || log.back() != text) {
        m_log << text << '\n';
    }
    lastError = text;
}

void ConsoleView::clearLines(LineList list) {
    m_lines[static_cast<std::size_t>(list)].clear();
}

std::optional<std::size_t> ConsoleView::firstSelected() const {
    if (selection.empty()) {
        return std::nullopt;
    }
    return *selection.begin();
}

void ConsoleView::setActionCaption(const std::string& caption) {
    // A new action starts from nothing, not from where the last one ended.
    m_action = caption;
    m_percent = 0;
    if (m_progressShown) {
        drawProgress();
    }
}

void ConsoleView::setProgressPosition(int percent) {
    // Called once per record: the terminal hears of whole percents only.
    if (percent == m_percent) {
        return;
    }
    m_percent = percent;
    if (m_progressShown) {
        drawProgress();
    }
}

void ConsoleView::showProgressArea() {
    if (m_progressLine && !m_progressShown) {
        m_progressShown = true;
        drawProgress();
    }
}

void ConsoleView::hideProgressArea() {
    eraseProgress();
    m_progressShown = false;
}

void ConsoleView::showWaiting(bool waiting, const std::string& text) {
    if (!m_progressLine) {
        return;
    }
    const std::string shown = waiting ? text : std::string();
    if (shown == m_waiting) {
        return;
    }
    m_waiting = shown;
    if (!m_waiting.empty() || m_progressShown) {
        drawProgress();
    } else {
        eraseProgress();
    }
}

void ConsoleView::drawProgress() {
    std::string percent = std::to_string(m_percent);
    percent.insert(0, percent.size() < 3 ? 3 - percent.size() : 0, ' ');
    const std::string line = m_waiting.empty() ? m_action + ' ' + percent + '%' : m_waiting;
    // Blanks over what a longer line left; no escape sequences, so that any terminal shows it.
    m_log << '\r' << line
          << std::string(m_drawnWidth > line.size() ? m_drawnWidth - line.size() : 0, ' ')
          << std::flush;
    m_drawnWidth = std::max(m_drawnWidth, line.size());
}

void ConsoleView::eraseProgress() {
    if (m_drawnWidth > 0) {
        m_log << '\r' << std::string(m_drawnWidth, ' ') << '\r' << std::flush;
        m_drawnWidth = 0;
    }
}

Answer ConsoleView::confirm(const std::string& /*text*/, bool withCancel) {
    // The two questions the engine asks are told apart by their buttons.
    return withCancel ? pendingChangesAnswer : fixDuplicatesAnswer;
}

}  // namespace kavrin::cli
