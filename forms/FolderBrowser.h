#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kavrin {

// The folder picker behind "Browse", behind a seam tests can answer.
class FolderBrowser {
public:
    // Shows a modal folder picker starting at `start` (the root of the tree when empty); the
    // chosen folder, or nothing when it was cancelled.
    static std::optional<QString> chooseFolder(QWidget* parent, const QString& start);

    // --- Test seam ---------------------------------------------------------------------------
    // The next chooseFolder answers `folder` (nothing = Cancel) without showing a dialog.
    static void setNextFolder(std::optional<QString> folder);
    // Where the last chooseFolder started.
    static QString lastStart();
};

}  // namespace kavrin
