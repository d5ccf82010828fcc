// The main window's location: the connection group, where a location is typed or browsed to,
// the location given at start or kept from the last run, and the open of the location shown.

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <algorithm>

#include "forms/Anchors.h"
#include "forms/Artwork.h"
#include "forms/LineListView.h"
#include "forms/MainStatusBar.h"
#include "forms/Prompts.h"
#include "forms/uFrmMain.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

// Where the settings keep the last location opened.
const QString kLastModeKey = QStringLiteral("LastLocation/Mode");
const QString kLastPathKey = QStringLiteral("LastLocation/Path");
const QString kServerMode = QStringLiteral("server");
const QString kFolderMode = QStringLiteral("folder");

// A control whose designed width might cut its text in a wider substitute font.
int fittingWidth(QWidget* widget, int designedWidth) {
    return std::max(designedWidth, widget->sizeHint().width());
}

}  // namespace

void TMainFRM::rememberLocations(QSettings* settings) {
    m_settings = settings;
    if (m_settings == nullptr) {
        return;
    }
    restoreNodeListLayout();
    const QString mode = m_settings->value(kLastModeKey).toString();
    const QVariant path = m_settings->value(kLastPathKey);
    if ((mode == kServerMode || mode == kFolderMode) && path.isValid()) {
        showLocation({mode == kServerMode, path.toString()});
    }
}

void TMainFRM::openAtStart(const WindowLocation& location) {
    showLocation(location);
    m_startLocation = location;
    if (m_firstActivationDone) {
        QMetaObject::invokeMethod(this, &TMainFRM::openStartLocation, Qt::QueuedConnection);
    }
}

void TMainFRM::showLocation(const WindowLocation& location) {
    {
        // Not a change of mode by the user: what was typed is replaced, not emptied first.
        const QSignalBlocker blocker(KavrinServerCHECKBOX);
        (location.server ? KavrinServerCHECKBOX : DBFileCHECKBOX)->setChecked(true);
    }
    BrowseBUTTON->setEnabled(!location.server);
    DatabasePathEDT->setText(location.text);
}

void TMainFRM::openStartLocation() {
    // A close asked for meanwhile comes first; the fields keep the location either way.
    if (!m_startLocation || m_closeDeferred) {
        return;
    }
    m_startLocation.reset();
    runCommand([this] { openDatabase(); });
}

void TMainFRM::openDatabase() {
    const OpenResult result = m_engine->OpenDatabase();
    if (!m_engine->context().IsOpen) {
        // A damaged database does not open; its backups can still be put back.
        if (!result.message.empty()) {
            offerRestore(m_engine->locationHasBackups());
        }
        return;
    }
    if (m_settings != nullptr) {
        m_settings->setValue(kLastModeKey, serverMode() ? kServerMode : kFolderMode);
        m_settings->setValue(kLastPathKey, DatabasePathEDT->text());
        m_settings->sync();
    }
    // Told now, not when a commit has already begun.
    if (const std::string problem = m_engine->folderWriteProblem(); !problem.empty()) {
        appendLine(LineList::Log, problem);
        StatusBar->findChild<QLabel*>(QStringLiteral("StatusPanel1"))
            ->setToolTip(QString::fromStdString(problem));
    }
}

void TMainFRM::buildConnectionGroup(Anchors& panel) {
    ConnectionGB = new QGroupBox(QStringLiteral("Database Connection"), Panel1);
    ConnectionGB->setObjectName(QStringLiteral("ConnectionGB"));
    panel.place(ConnectionGB, QRect(12, 8, 795, 77), kAnchorLeft | kAnchorTop | kAnchorRight);
    auto* group = new Anchors(ConnectionGB, QSize(795, 77));

    KavrinServerCHECKBOX = new QRadioButton(QStringLiteral("KavrinServer"), ConnectionGB);
    KavrinServerCHECKBOX->setObjectName(QStringLiteral("KavrinServerCHECKBOX"));
    group->place(KavrinServerCHECKBOX, QRect(16, 24, fittingWidth(KavrinServerCHECKBOX, 101), 17),
                 kAnchorLeft | kAnchorTop);
    DBFileCHECKBOX = new QRadioButton(QStringLiteral("Folder"), ConnectionGB);
    DBFileCHECKBOX->setObjectName(QStringLiteral("DBFileCHECKBOX"));
    group->place(DBFileCHECKBOX, QRect(16, 44, fittingWidth(DBFileCHECKBOX, 93), 17),
                 kAnchorLeft | kAnchorTop);

    Label1 = new QLabel(QStringLiteral("KavrinServer Name :"), ConnectionGB);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    group->place(Label1, QRect(QPoint(128, 24), Label1->sizeHint()), kAnchorLeft | kAnchorTop);

    DatabasePathEDT = new QLineEdit(ConnectionGB);
    DatabasePathEDT->setObjectName(QStringLiteral("DatabasePathEDT"));
    group->place(DatabasePathEDT, QRect(128, 40, 493, 21), kAnchorLeft | kAnchorTop | kAnchorRight);

    BrowseBUTTON = new QPushButton(QStringLiteral("Browse"), ConnectionGB);
    BrowseBUTTON->setObjectName(QStringLiteral("BrowseBUTTON"));
    BrowseBUTTON->setIcon(QIcon(artworkPixmap(QStringLiteral("folder"), QSize(16, 16))));
    BrowseBUTTON->setIconSize(QSize(16, 16));
    BrowseBUTTON->setEnabled(false);
    group->place(BrowseBUTTON, QRect(628, 40, 75, 21), kAnchorTop | kAnchorRight);

    ConnectBTN = new QPushButton(QStringLiteral("Open DB"), ConnectionGB);
    ConnectBTN->setObjectName(QStringLiteral("ConnectBTN"));
    group->place(ConnectBTN, QRect(708, 40, 75, 21), kAnchorTop | kAnchorRight);
}

void TMainFRM::DBFileCHECKBOXClick() {
    if (KavrinServerCHECKBOX->isChecked()) {
        DatabasePathEDT->setText(QString::fromStdString(LocalComputerName()));
        BrowseBUTTON->setEnabled(false);
    } else {
        DatabasePathEDT->clear();
        BrowseBUTTON->setEnabled(true);
    }
}

void TMainFRM::BrowseBUTTONClick() {
    // Browsing starts at the folder typed (or the nearest folder above it that exists), else at
    // the last one chosen, else at the root of the tree.
    QString start = m_lastBrowsedFolder.isEmpty() ? QDir::rootPath() : m_lastBrowsedFolder;
    const QString typed = DatabasePathEDT->text().trimmed();
    if (!typed.isEmpty()) {
        QString folder = QDir::cleanPath(QDir(typed).absolutePath());
        while (!QFileInfo(folder).isDir() && QFileInfo(folder).path() != folder) {
            folder = QFileInfo(folder).path();
        }
        if (QFileInfo(folder).isDir()) {
            start = folder;
        }
    }
    const std::optional<QString> chosen = m_prompts.chooseFolder(this, start);
    if (chosen) {
        m_lastBrowsedFolder = *chosen;
        DatabasePathEDT->setText(*chosen);
    }
}

}  // namespace kavrin
