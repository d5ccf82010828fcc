#pragma once

#include <array>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/MainView.h"

namespace kavrin::test {

// A MainView that keeps everything in memory: what the engine showed, in the order it showed it,
// with scripted answers for the prompts and a selection the test sets.
class MemoryView : public MainView {
public:
    // Location fields.
    bool server = false;
    std::string location;

    std::array<std::vector<std::string>, 4> lines;
    std::set<std::size_t> selection;
    int page = 0;
    bool duplicatesTabVisible = false;
    bool connected = false;
    std::string connectedFolder;
    std::string actionCaption;
    bool progressBarShown = false;
    std::vector<int> progress;  // every position set, in order
    bool progressAreaShown = false;
    std::string health;
    bool healthVisible = true;
    bool busy = false;
    bool commandsOpen = false;
    bool fixDuplicatesVisible = false;
    int pumps = 0;
    // Of those, the pumps made while the newest log line was a "Saving : " line: a durable write
    // pumps while its final flush runs, as often as the disk takes.
    int pumpsWhileSaving = 0;
    std::function<void()> onPump;
    std::function<void(const std::string&)> onLog;  // each line the log is given

    // Answers for confirm(), taken front first; a question without an answer fails the test.
    std::deque<Answer> answers;
    std::vector<std::string> questions;
    std::vector<std::string> errors;
    // Names of the view operations called, in order ("busy:on", "error", ...).
    std::vector<std::string> trace;

    const std::vector<std::string>& list(LineList l) const {
        return lines[static_cast<std::size_t>(l)];
    }
    std::vector<std::string>& list(LineList l) { return lines[static_cast<std::size_t>(l)]; }

    bool serverMode() const override { return server; }
    std::string locationText() const override { return location; }
    void appendLine(LineList l, const std::string& text) override {
        list(l).push_back(text);
        if (l == LineList::Log && onLog) {
            onLog(text);
        }
    }
    void clearLines(LineList l) override { list(l).clear(); }
    std::size_t selectedCount() const override { return selection.size(); }
    std::optional<std::size_t> firstSelected() const override;
    bool isSelected(std::size_t row) const override { return selection.count(row) != 0; }
    void selectPage(Page p) override;
    void setDuplicatesTabVisible(bool visible) override { duplicatesTabVisible = visible; }
    void showConnected(const std::string& folder) override;
    void showNotConnected() override;
    void setActionCaption(const std::string& caption) override { actionCaption = caption; }
    void showProgressBar() override { progressBarShown = true; }
    void setProgressPosition(int percent) override { progress.push_back(percent); }
    void showProgressArea() override;
    void hideProgressArea() override;
    void setHealthText(const std::string& text) override { health = text; }
    void setHealthVisible(bool visible) override { healthVisible = visible; }
    void setBusy(bool on) override;
    void updateCommands(bool isOpen) override;
    void setFixDuplicatesVisible(bool visible) override { fixDuplicatesVisible = visible; }
    Answer confirm(const std::string& text, bool withCancel) override;
    void showError(const std::string& text) override;
    void pump() override;
};

}  // namespace kavrin::test
