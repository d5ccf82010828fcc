#include "forms/SaveFileChooser.h"

#include <QFileDialog>
#include <deque>

namespace kavrin {

namespace {
std::deque<std::optional<QString>>& nextPaths() {
    static std::deque<std::optional<QString>> queue;
    return queue;
}
}  // namespace

std::optional<QString> SaveFileChooser::choose(QWidget* parent, const QString& title,
                                               const QString& suggestedName,
                                               const QString& filter) {
    if (!nextPaths().empty()) {
        std::optional<QString> answer = nextPaths().front();
        nextPaths().pop_front();
        return answer;
    }
    const QString path = QFileDialog::getSaveFileName(parent, title, suggestedName, filter);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path;
}

void SaveFileChooser::setNextPath(std::optional<QString> path) {
    nextPaths().push_back(std::move(path));
}

}  // namespace kavrin
