#pragma once

#include <array>
#include <set>
#include <string>
#include <vector>

#include "engine/MainView.h"

namespace kavrin::fuzz {

// A view that keeps the line lists, answers Yes to the offer to fix duplicates and No to the
// question about pending changes, and records errors.
class FuzzView : public MainView {
public:
    std::array<std::vector<std::string>, 4> lines;
    std::set<std::size_t> selection;
    std::vector<std::string> errors;
    std::string health;
    std::string location = "/db";

    bool serverMode() const override { return false; }
    std::string locationText() const override { return location; }
    void appendLine(LineList l, const std::string& text) override {
        lines[index(l)].push_back(text);
    }
    void clearLines(LineList l) override { lines[index(l)].clear(); }
    std::size_t selectedCount() const override { return selection.size(); }
    std::optional<std::size_t> firstSelected() const override {
        return selection.empty() ? std::nullopt : std::optional<std::size_t>(*selection.begin());
    }
    bool isSelected(std::size_t row) const override { return selection.count(row) != 0; }
    void selectPage(Page) override {}
    void setDuplicatesTabVisible(bool) override {}
    void showConnected(const std::string&) override {}
    void showNotConnected() override {}
    void setActionCaption(const std::string&) override {}
    void showProgressBar() override {}
    void setProgressPosition(int percent) override {
        if (percent < 0 || percent > 100) {
            __builtin_trap();  // a position outside the bar
        }
    }
    void showProgressArea() override {}
    void hideProgressArea() override {}
    void setHealthText(const std::string& text) override { health = text; }
    void setHealthVisible(bool) override {}
    void setBusy(bool) override {}
    void updateCommands(bool) override {}
    void setFixDuplicatesVisible(bool) override {}
    Answer confirm(const std::string&, bool withCancel) override {
        return withCancel ? Answer::No : Answer::Yes;
    }
    void showError(const std::string& text) override { errors.push_back(text); }
    void pump() override {}

private:
    static std::size_t index(LineList l) { return static_cast<std::size_t>(l); }
};

}  // namespace kavrin::fuzz
