#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kavrin {

// The file picker that asks where to save a file.
class SaveFileChooser {
public:
    // Shows a modal "save as" picker titled `title`, proposing `suggestedName`, offering
    // `filter` ("CSV files (*.csv)"); the chosen path, or nothing when it was cancelled.
    static std::optional<QString> choose(QWidget* parent, const QString& title,
                                         const QString& suggestedName, const QString& filter);
};

}  // namespace kavrin
