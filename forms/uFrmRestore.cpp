#include "forms/uFrmRestore.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "forms/Fonts.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

QString sizeText(const std::optional<std::uint64_t>& size) {
    return size ? QString::number(*size) : QStringLiteral("missing");
}

}  // namespace

TfrmRestore::TfrmRestore(QWidget* parent, std::vector<BackupFolderInfo> backups)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_backups(std::move(backups)) {
    setObjectName(QStringLiteral("frmRestore"));
    setWindowTitle(QStringLiteral("Restore Backup"));
    setFont(tahomaFont(11));
    setModal(true);
    setSizeGripEnabled(true);

    Label1 = new QLabel(
        QStringLiteral("Choose the backup whose files are to replace the database files. The "
                       "files replaced are backed up first, so that the restore can be undone "
                       "by restoring that backup in turn."),
        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);

    BackupsLV = new QTreeWidget(this);
    BackupsLV->setObjectName(QStringLiteral("BackupsLV"));
    BackupsLV->setRootIsDecorated(false);
    BackupsLV->setHeaderLabels({QStringLiteral("Backup"), QStringLiteral("Date"),
                                QStringLiteral("Kavrin.cmp"), QStringLiteral("Kavrin.ist"),
                                QStringLiteral("Kavrin.ttl"), QStringLiteral("Nodes")});
    BackupsLV->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const BackupFolderInfo& backup : m_backups) {
        const LocalTime& t = backup.time;
        auto* item = new QTreeWidgetItem(
            BackupsLV,
            {QString::fromStdString(backup.name),
             QString::fromStdString(DateTimeText(toDateTimeValue(t))), sizeText(backup.sizes[0]),
             sizeText(backup.sizes[1]), sizeText(backup.sizes[2]),
             backup.nodeRecords ? QString::number(*backup.nodeRecords) : QStringLiteral("-")});
        for (int column = 2; column < 6; ++column) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    BackupsLV->header()->setStretchLastSection(false);
    for (int column = 0; column < BackupsLV->columnCount(); ++column) {
        BackupsLV->resizeColumnToContents(column);
    }
    if (BackupsLV->topLevelItemCount() > 0) {
        BackupsLV->setCurrentItem(BackupsLV->topLevelItem(0));
    }

    RestoreBTN = new QPushButton(QStringLiteral("Restore"), this);
    RestoreBTN->setObjectName(QStringLiteral("RestoreBTN"));
    RestoreBTN->setAutoDefault(false);
    connect(RestoreBTN, &QPushButton::clicked, this, &QDialog::accept);
    CancelBTN = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBTN->setObjectName(QStringLiteral("CancelBTN"));
    CancelBTN->setDefault(true);
    connect(CancelBTN, &QPushButton::clicked, this, &QDialog::reject);
    connect(BackupsLV, &QTreeWidget::itemSelectionChanged, this, [this] { updateButtons(); });
    connect(BackupsLV, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(RestoreBTN);
    buttons->addWidget(CancelBTN);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(BackupsLV, 1);
    layout->addLayout(buttons);
    resize(620, 320);
    updateButtons();
}

std::optional<std::string> TfrmRestore::chosenBackup() const {
    const QList<QTreeWidgetItem*> selected = BackupsLV->selectedItems();
    if (result() != QDialog::Accepted || selected.isEmpty()) {
        return std::nullopt;
    }
    return m_backups[static_cast<std::size_t>(BackupsLV->indexOfTopLevelItem(selected.front()))]
        .path;
}

void TfrmRestore::updateButtons() {
    RestoreBTN->setEnabled(!BackupsLV->selectedItems().isEmpty());
}

}  // namespace kavrin
