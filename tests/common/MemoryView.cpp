#include "common/MemoryView.h"

#include <gtest/gtest.h>

namespace kavrin::test {

std::optional<std::size_t> MemoryView::firstSelected() const {
    if (selection.empty()) {
        return std::nullopt;
    }
    return *selection.begin();
}

void MemoryView::selectPage(Page p) {
    page = static_cast<int>(p);
    trace.push_back("page:" + std::to_string(page));
}

void MemoryView::showConnected(const std::string& folder) {
    connected = true;
    connectedFolder = folder;
    trace.push_back("connected");
}

void MemoryView::showNotConnected() {
    connected = false;
    connectedFolder.clear();
    trace.push_back("notConnected");
}

void MemoryView::showProgressArea() {
    progressAreaShown = true;
    healthVisible = false;
    trace.push_back("progressArea:show");
}

void MemoryView::hideProgressArea() {
    progressAreaShown = false;
    healthVisible = true;
    trace.push_back("progressArea:hide");
}

void MemoryView::setBusy(bool on) {
    busy = on;
    trace.push_back(on ? "busy:on" : "busy:off");
}

void MemoryView::updateCommands(bool isOpen) {
    commandsOpen = isOpen;
    if (!isOpen) {
        fixDuplicatesVisible = false;
    }
    trace.push_back(isOpen ? "commands:open" : "commands:closed");
}

Answer MemoryView::confirm(const std::string& text, bool withCancel) {
    questions.push_back(text);
    trace.push_back(withCancel ? "confirm3" : "confirm2");
    if (answers.empty()) {
        ADD_FAILURE() << "unexpected question: " << text;
        return withCancel ? Answer::Cancel : Answer::No;
    }
    Answer answer = answers.front();
    answers.pop_front();
    return answer;
}

void MemoryView::showError(const std::string& text) {
    errors.push_back(text);
    trace.push_back("error");
}

void MemoryView::pump() {
    ++pumps;
    const std::vector<std::string>& log = list(LineList::Log);
    if (!log.empty() && log.back().starts_with("Saving : ")) {
        ++pumpsWhileSaving;
    }
    if (onPump) {
        onPump();
    }
}

}  // namespace kavrin::test
