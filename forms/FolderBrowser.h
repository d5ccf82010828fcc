#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kavrin {

// The folder picker behind "Browse".
class FolderBrowser {
public:
    // Shows a modal folder picker starting at `start`; the chosen folder, or nothing when it
    // was cancelled.
    static std::optional<QString> chooseFolder(QWidget* parent, const QString& start);
};

}  // namespace kavrin
