#include "forms/FolderBrowser.h"

#include <QDir>
#include <QFileDialog>

namespace kavrin {

std::optional<QString> FolderBrowser::chooseFolder(QWidget* parent, const QString& start) {
    QFileDialog dialog(parent, QStringLiteral("Browse for Folder"), start);
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

}  // namespace kavrin
