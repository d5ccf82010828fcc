#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "dbformat/DatabaseFile.h"

namespace kavrin {

// The four line lists, one per page.
enum class LineList { DBStats, Duplicates, NodeStats, Log };

// Pages by index: 0 "DB Stats", 1 "Duplicates", 2 "Node Stats", 3 "Log".
enum class Page { DBStats = 0, Duplicates = 1, NodeStats = 2, Log = 3 };

enum class Answer { Yes, No, Cancel };

// The view operations through which every engine operation reports. The main window realises
// them on screen, the command line on the console, the tests in memory. All texts are UTF-8.
// A view is written to, never read back: what an operation did is in what it returns.
// The node list itself is the engine's NodeList; a view shows it and owns its selection.
class MainView : public LogSink {
public:
    // Location fields: server mode (a server name) or folder mode, and the text typed.
    virtual bool serverMode() const = 0;
    virtual std::string locationText() const = 0;

    // Line lists.
    virtual void appendLine(LineList list, const std::string& text) = 0;
    virtual void clearLines(LineList list) = 0;

    // Log: appends to the "Log" line list. Nothing clears it.
    void log(const std::string& line) override { appendLine(LineList::Log, line); }

    // Selection of the node list's rows.
    virtual std::size_t selectedCount() const = 0;
    virtual std::optional<std::size_t> firstSelected() const = 0;
    virtual bool isSelected(std::size_t row) const = 0;

    // Pages.
    virtual void selectPage(Page page) = 0;
    virtual void setDuplicatesTabVisible(bool visible) = 0;

    // Connection: "Connected : " + folder, or "Not Connected".
    virtual void showConnected(const std::string& folder) = 0;
    virtual void showNotConnected() = 0;

    // Progress.
    virtual void setActionCaption(const std::string& caption) = 0;
    virtual void showProgressBar() = 0;
    virtual void setProgressPosition(int percent) = 0;
    virtual void showProgressArea() = 0;
    virtual void hideProgressArea() = 0;

    // Health text.
    virtual void setHealthText(const std::string& text) = 0;
    virtual void setHealthVisible(bool visible) = 0;

    // Busy: wait cursor and the main panel with the "DB" and "Tools" menus disabled, or not.
    virtual void setBusy(bool busy) = 0;

    // Commands: enable by the open flag; show or hide both "Fix Duplicates" items.
    virtual void updateCommands(bool isOpen) = 0;
    virtual void setFixDuplicatesVisible(bool visible) = 0;

    // Prompts: a Yes/No/Cancel (withCancel) or Yes/No question, Yes the default; closing the
    // box answers Cancel. An error box with OK.
    virtual Answer confirm(const std::string& text, bool withCancel) = 0;
    virtual void showError(const std::string& text) = 0;
    // The error that ended an open. `unreadFile` is the file it could not read when the message
    // does not name it, else "": a view that has room for it shows it after the message.
    virtual void showOpenError(const std::string& message,
                               [[maybe_unused]] const std::string& unreadFile) {
        showError(message);
    }

    // Handle the window events waiting in the queue. Called once per record of a long operation;
    // a view may do its work less often.
    virtual void pump() = 0;
};

}  // namespace kavrin
