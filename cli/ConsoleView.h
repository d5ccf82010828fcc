#pragma once

#include <array>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "engine/MainView.h"

namespace kavrin::cli {

// The MainView of the command line: the line lists are kept for the command to print, log lines
// and errors go to the error stream as they come and prompts are answered by the command's
// options. With `progressLine` (the error stream is a terminal)
// the progress area is one line there, "Opening  42%", rewritten in place and erased when the
// area is hidden; log lines are written above it.
class ConsoleView : public MainView {
public:
    ConsoleView(std::ostream& logStream, bool serverMode, std::string location,
                bool progressLine = false);

    // How the questions are answered: the offer to fix duplicates, and whether to commit pending
    // changes before the database is closed or opened again.
    Answer fixDuplicatesAnswer = Answer::No;
    Answer pendingChangesAnswer = Answer::No;

    std::set<std::size_t> selection;
    std::string health;

    const std::vector<std::string>& lines(LineList list) const;

    bool serverMode() const override { return m_serverMode; }
    std::string locationText() const override { return m_location; }
    void appendLine(LineList list, const std::string& text) override;
    void clearLines(LineList list) override;
    std::size_t selectedCount() const override { return selection.size(); }
    std::optional<std::size_t> firstSelected() const override;
    bool isSelected(std::size_t row) const override { return selection.count(row) != 0; }
    void selectPage(Page) override {}
    void setDuplicatesTabVisible(bool) override {}
    void showConnected(const std::string&) override {}
    void showNotConnected() override {}
    void setActionCaption(const std::string& caption) override;
    void showProgressBar() override {}
    void setProgressPosition(int percent) override;
    void showProgressArea() override;
    void hideProgressArea() override;
    void setHealthText(const std::string& text) override { health = text; }
    void setHealthVisible(bool) override {}
    void setBusy(bool) override {}
    void updateCommands(bool) override {}
    void setFixDuplicatesVisible(bool) override {}
    Answer confirm(const std::string& text, bool withCancel) override;
    // Printed at once, and kept as `lastError`.
    void showError(const std::string& text) override;
    void pump() override {}

    // A share operation waits for its server (ShareWaiting): `text`, when there is one, takes the
    // progress line's place until the wait is over. Nothing without a progress line.
    void showWaiting(bool waiting, const std::string& text);

    std::string lastError;

private:
    void drawProgress();
    void eraseProgress();

    std::ostream& m_log;
    bool m_serverMode;
    std::string m_location;
    std::array<std::vector<std::string>, 4> m_lines;

    bool m_progressLine;
    bool m_progressShown = false;
    std::string m_action;
    int m_percent = 0;
    std::string m_waiting;         // shown instead of the action while a server is waited for
    std::size_t m_drawnWidth = 0;  // of the progress line on the terminal; 0 when there is none
};

}  // namespace kavrin::cli
