#include "forms/FolderBrowser.h"

#include <QDir>
#include <QFileDialog>
#include <deque>

namespace kavrin {

namespace {
std::deque<std::optional<QString>>& nextFolders() {
    static std::deque<std::optional<QString>> queue;
    return queue;
}
QString& lastStartFolder() {
    static QString folder;
    return folder;
}
}  // namespace

std::optional<QString> FolderBrowser::chooseFolder(QWidget* parent, const QString& start) {
    const QString from = start.isEmpty() ? QDir::rootPath() : start;
    lastStartFolder() = from;
    if (!nextFolders().empty()) {
        std::optional<QString> answer = nextFolders().front();
        nextFolders().pop_front();
        return answer;
    }
    QFileDialog dialog(parent, QStringLiteral("Browse for Folder"), from);
    dialog.setObjectName(QStringLiteral("ShellBrowserDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    // Qt's own dialog: the platform's may drop the label and the hidden folders.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFilter(QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot);
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("KavrinServer Database"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QDir::toNativeSeparators(dialog.selectedFiles().front());
}

void FolderBrowser::setNextFolder(std::optional<QString> folder) {
    nextFolders().push_back(std::move(folder));
}

QString FolderBrowser::lastStart() {
    return lastStartFolder();
}

}  // namespace kavrin
