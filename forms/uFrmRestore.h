#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

#include "engine/backup/BackupFolder.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace kavrin {

// "Restore Backup...": the backup folders of the open database, newest first, with their date,
// the sizes of their three files and their node records; the one chosen is put back. Cancel is
// the default button, so that Enter restores nothing.
class TfrmRestore : public QDialog {
public:
    TfrmRestore(QWidget* parent, std::vector<BackupFolderInfo> backups);

    // The path of the backup chosen, once the dialog ended with "Restore".
    std::optional<std::string> chosenBackup() const;

private:
    void updateButtons();

    std::vector<BackupFolderInfo> m_backups;

    QLabel* Label1;
    QTreeWidget* BackupsLV;
    QPushButton* RestoreBTN;
    QPushButton* CancelBTN;
};

}  // namespace kavrin
