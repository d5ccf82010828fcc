#include "forms/SaveFileChooser.h"

#include <QFileDialog>

namespace kavrin {

std::optional<QString> SaveFileChooser::choose(QWidget* parent, const QString& title,
                                               const QString& suggestedName,
                                               const QString& filter) {
    const QString path = QFileDialog::getSaveFileName(parent, title, suggestedName, filter);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path;
}

}  // namespace kavrin
