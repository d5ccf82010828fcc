#include "forms/uFrmMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <algorithm>
#include <utility>

#include "forms/Anchors.h"
#include "forms/Artwork.h"
#include "forms/Fonts.h"
#include "forms/KavrinApplication.h"
#include "forms/LineListView.h"
#include "forms/LinePages.h"
#include "forms/MainMenus.h"
#include "forms/NodeListModel.h"
#include "forms/NodeListView.h"
#include "forms/Prompts.h"
#include "forms/uFrmDate.h"
#include "forms/uFrmPreview.h"
#include "forms/uFrmProtect.h"
#include "forms/uFrmRestore.h"
#include "forms/uFrmWarningInfo.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

const QString kDesignedCaption = QStringLiteral("KavrinServer Database Tool");

// The window's client area at 96 dpi.
constexpr QSize kClientSize(817, 494);
constexpr QSize kMinimumClientSize(600, 380);

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

TMainFRM::TMainFRM(Prompts& prompts, FileSystem& fs, Clock& clock, QWidget* parent)
    : QMainWindow(parent), m_prompts(prompts), m_fs(fs) {
    buildWidgets();
    m_engine = std::make_unique<MaintenanceEngine>(*this, fs, clock);
    m_nodeModel = new NodeListModel(m_engine->nodeList(), this);
    m_nodeModel->setNodeRecords(&m_engine->context().NodesMS);
    m_engine->nodeList().setObserver(m_nodeModel);
    NodesLV->setNodeModel(m_nodeModel);
    // Every change of a mark reaches the model as a change of rows or a reset.
    connect(m_nodeModel, &QAbstractItemModel::dataChanged, this, &TMainFRM::showMarkedCount);
    connect(m_nodeModel, &QAbstractItemModel::modelReset, this, &TMainFRM::showMarkedCount);
    bindCommands();
    ShareSettings shares;
    shares.prompt = [this](const std::string& share, const ShareCredentials& refused,
                           const std::string& reason) {
        return askShareCredentials(share, refused, reason);
    };
    shares.waiting = [this](bool waiting, const std::string& text) {
        showShareWait(waiting, text);
    };
    setShareSettings(std::move(shares));
    FormCreate();
    m_pumpClock.start();
}

TMainFRM::~TMainFRM() {
    KavrinApplication::setExceptionHandler({});
    setShareSettings({});  // the prompt asks through this window
    // The engine (and the rows the model shows) goes before the widgets, which still lay out
    // as the window is torn down: the view must not reach the model by then.
    m_engine->nodeList().setObserver(nullptr);
    NodesLV->setNodeModel(nullptr);
    delete m_nodeModel;
    m_nodeModel = nullptr;
    if (m_busy) {
        QApplication::restoreOverrideCursor();
    }
}

void TMainFRM::setDialogs(TfrmDate* dateDialog, TfrmWarningInfo* infoDialog) {
    m_dateDialog = dateDialog;
    m_infoDialog = infoDialog;
}

void TMainFRM::showMarkedCount() {
    if (m_busy) {
        return;
    }
    StatusBar->showMarkedCount(m_engine->context().IsOpen
                                   ? std::optional<std::size_t>(m_engine->nodeList().markedCount())
                                   : std::nullopt);
}

void TMainFRM::offerRestore(bool offered) {
    m_restoreOffered = offered;
    m_menus->RestoreBackupMEN->setEnabled(m_restoreOffered || m_engine->context().IsOpen);
}

bool TMainFRM::requireWritableFolder() {
    const std::string problem = m_engine->folderWriteProblem();
    if (problem.empty()) {
        return true;
    }
    appendLine(LineList::Log, problem);
    showError(problem);
    return false;
}

// --- Building -------------------------------------------------------------------------------

void TMainFRM::buildWidgets() {
    setObjectName(QStringLiteral("MainFRM"));
    setWindowTitle(kDesignedCaption);
    setFont(tahomaFont(11));

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->resize(kClientSize);
    setCentralWidget(Panel1);
    auto* panel = new Anchors(Panel1, kClientSize);

    buildConnectionGroup(*panel);
    buildNodesGroup(*panel);
    StatusBar = new MainStatusBar(Panel1);
    panel->place(StatusBar,
                 QRect(0, kClientSize.height() - MainStatusBar::kHeight, kClientSize.width(),
                       MainStatusBar::kHeight),
                 kAnchorLeft | kAnchorRight | kAnchorBottom);
    m_menus = std::make_unique<MainMenus>(this);

    move(259, 212);
    resize(kClientSize.width(), kClientSize.height() + menuBar()->sizeHint().height());
    // Small enough for a 1280x900 screen at twice the scale; large enough that every control
    // keeps its text and the lists show a few rows.
    setMinimumSize(kMinimumClientSize.width(),
                   kMinimumClientSize.height() + menuBar()->sizeHint().height());
}

// --- Commands and the exception handler ------------------------------------------------------

void TMainFRM::runCommand(const std::function<void()>& command) {
    if (m_commandDepth == 0) {
        m_sharesCancelled.clear();
    }
    ++m_commandDepth;
    try {
        command();
    } catch (const std::exception& e) {
        handleException(e.what());
    } catch (...) {
        handleException("Unknown exception.");
    }
    --m_commandDepth;
    if (m_commandDepth == 0 && m_closeDeferred) {
        QMetaObject::invokeMethod(this, &TMainFRM::runDeferredClose, Qt::QueuedConnection);
    }
}

void TMainFRM::runDeferredClose() {
    if (m_closeDeferred && m_commandDepth == 0) {
        m_closeDeferred = false;
        close();
    }
}

std::optional<ShareCredentials> TMainFRM::askShareCredentials(const std::string& share,
                                                              const ShareCredentials& refused,
                                                              const std::string& reason) {
    if (m_sharesCancelled.count(share) != 0) {
        return std::nullopt;
    }
    ShareCredentials answer = refused;
    answer.password.clear();
    // The busy cursor says the window is working; the dialog waits for the user.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    const bool given = m_prompts.credentials(this, fromUtf8(share), fromUtf8(reason), answer);
    QApplication::restoreOverrideCursor();
    if (!given) {
        m_sharesCancelled.insert(share);
        return std::nullopt;
    }
    return answer;
}

void TMainFRM::showShareWait(bool waiting, const std::string& text) {
    if (!waiting) {
        if (m_shareWait) {
            StatusBar->restore(m_shareWait->statusBar);
            if (!m_shareWait->busy) {
                setBusy(false);
            }
            m_shareWait.reset();
        }
        return;
    }
    if (!m_shareWait) {
        m_shareWait = ShareWait{m_busy, StatusBar->state()};
        // Events are handled while the server is waited for: no command may start meanwhile.
        if (!m_busy) {
            setBusy(true);
        }
    }
    if (!text.empty()) {
        StatusBar->showWaitText(fromUtf8(text));
    }
    QCoreApplication::processEvents();
}

void TMainFRM::handleException(const std::string& message) {
    // The standard error box ends a message with a full stop unless it already ends in "." or
    // a character below it; the log keeps the message as it was.
    QString shown = fromUtf8(message);
    if (!shown.isEmpty() && shown.back() > QLatin1Char('.')) {
        shown += QLatin1Char('.');
    }
    m_prompts.error(this, QApplication::applicationDisplayName(), shown);
    appendLine(LineList::Log, message);
}

// --- Event handlers ---------------------------------------------------------------------------

void TMainFRM::FormCreate() {
    try {
        setWindowTitle(kDesignedCaption + QStringLiteral(" : ") +
                       fromUtf8(FileVersionText(RunningProgramPath())));
    } catch (const std::exception& e) {
        handleException(e.what());
    }
    KavrinApplication::setExceptionHandler(
        [this](const std::string& message) { handleException(message); });
    m_informationShown = false;
    {
        // Selecting server mode here is part of creation, not a change of mode.
        const QSignalBlocker blocker(KavrinServerCHECKBOX);
        KavrinServerCHECKBOX->setChecked(true);
    }
    runCommand([this] { m_engine->CloseDatabase(); });
    runCommand([this] { DatabasePathEDT->setText(fromUtf8(LocalComputerName())); });
}

void TMainFRM::FormActivate() {
    if (m_informationShown) {
        return;
    }
    m_informationShown = true;
    // Shown once activation has been handled, not from inside it. A location given at start is
    // opened when the dialog has been read and closed.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_infoDialog != nullptr) {
                runCommand([this] { m_infoDialog->exec(); });
            }
            m_firstActivationDone = true;
            openStartLocation();
        },
        Qt::QueuedConnection);
}

void TMainFRM::ConnectBTNClick() {
    openDatabase();
}

void TMainFRM::NodesLVMouseUp() {
    m_engine->ShowSelectedNodeDetails();
}

void TMainFRM::NodesLVKeyUp() {
    m_engine->ShowSelectedNodeDetails();
}

void TMainFRM::LVEditPOPPopup() {
    if (const std::optional<PopupEnabling> enabling = m_engine->deleteUndeleteEnabling()) {
        m_menus->DeleteNodeMEN->setEnabled(enabling->deleteEnabled);
        m_menus->UndeleteNodeMEN->setEnabled(enabling->undeleteEnabled);
    }
}

void TMainFRM::OpenMENClick() {
    openDatabase();
}

void TMainFRM::CloseMENClick() {
    m_engine->CloseDatabase();
    offerRestore(m_engine->locationHasBackups());
}

void TMainFRM::PreviewCommitMENClick() {
    TfrmPreview dialog(this, m_engine->PreviewCommit(), m_fs, m_prompts);
    dialog.exec();
}

void TMainFRM::CommitMENClick() {
    // Nothing is begun in a folder that cannot be written: no claim, and the marks stay.
    if (!requireWritableFolder()) {
        return;
    }
    // A commit that left the files as they were keeps the list and its marks; any other ends with
    // the database closed, and the files now in place open.
    if (m_engine->CommitDatabase().outcome != ReplaceResult::NotDone) {
        openDatabase();
    }
}

void TMainFRM::Exit1Click() {
    close();
}

void TMainFRM::BackupMENClick() {
    if (const BackupResult backup = m_engine->BackupDatabase(); !backup.done) {
        handleException(backup.message);
    }
}

void TMainFRM::RestoreBackupMENClick() {
    if (!requireWritableFolder()) {
        return;
    }
    TfrmRestore dialog(this, m_engine->BackupFolders());
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    if (const std::optional<std::string> backup = dialog.chosenBackup()) {
        // A restore, like a commit, ends with the database closed; the files it put back open.
        m_engine->RestoreBackup(*backup);
        openDatabase();
    }
}

void TMainFRM::ProtectedNodesMENClick() {
    TfrmProtect dialog(this, *m_engine, m_prompts);
    dialog.exec();
}

void TMainFRM::FixDuplicatesMENClick() {
    m_engine->FixDuplicates();
}

void TMainFRM::DeleteOlderThanMENClick() {
    if (m_dateDialog == nullptr) {
        return;
    }
    m_dateDialog->setCounter([this](double date) { return m_engine->CountNodesOlderThan(date); });
    const bool accepted = m_dateDialog->exec() == QDialog::Accepted;
    m_dateDialog->setCounter({});
    if (accepted) {
        m_engine->MarkNodesOlderThan(m_dateDialog->dateValue());
    }
}

void TMainFRM::Info1Click() {
    if (m_infoDialog != nullptr) {
        m_infoDialog->exec();
    }
}

void TMainFRM::DeleteNodeMENClick() {
    m_engine->MarkSelectedNodes(true);
}

void TMainFRM::UndeleteNodeMENClick() {
    m_engine->MarkSelectedNodes(false);
}

void TMainFRM::FixDuplicatesPOPClick() {
    m_engine->FixDuplicates();
}

void TMainFRM::DeleteolderthanPOPClick() {
    DeleteOlderThanMENClick();
}

void TMainFRM::CopyLBMENClick() {
    const LineListView* list =
        m_editMenuList != nullptr ? m_editMenuList : PageControl->currentList();
    const LineList which = PageControl->which(list);
    QApplication::clipboard()->setText(fromUtf8(allLines(which)));
}

bool TMainFRM::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) {
        FormActivate();
    }
    return QMainWindow::event(event);
}

void TMainFRM::closeEvent(QCloseEvent* event) {
    // A close request while a command runs (it pumps events) must not commit or close over it:
    // it waits until the command has ended and is then asked as usual.
    if (m_commandDepth > 0) {
        m_closeDeferred = true;
        event->ignore();
        return;
    }
    bool mayClose = false;
    runCommand([this, &mayClose] { mayClose = m_engine->CloseRequested(); });
    if (mayClose) {
        m_closeDeferred = false;
        event->accept();
    } else {
        event->ignore();
    }
}

// --- MainView ------------------------------------------------------------------------------

bool TMainFRM::serverMode() const {
    return KavrinServerCHECKBOX->isChecked();
}

std::string TMainFRM::locationText() const {
    return DatabasePathEDT->text().toStdString();
}

void TMainFRM::appendLine(LineList list, const std::string& text) {
    LineListView* view = PageControl->list(list);
    view->appendLine(text);
    if (list == LineList::Log) {
        view->scrollToBottom();
    }
}

void TMainFRM::clearLines(LineList list) {
    PageControl->list(list)->clearLines();
}

std::size_t TMainFRM::lineCount(LineList list) const {
    return PageControl->list(list)->lineCount();
}

std::string TMainFRM::lineAt(LineList list, std::size_t index) const {
    return PageControl->list(list)->lineAt(index);
}

std::string TMainFRM::allLines(LineList list) const {
    std::string text;
    for (std::size_t i = 0; i < lineCount(list); ++i) {
        text += lineAt(list, i) + "\r\n";
    }
    return text;
}

std::size_t TMainFRM::selectedCount() const {
    return NodesLV->selectedCount();
}

std::optional<std::size_t> TMainFRM::firstSelected() const {
    return NodesLV->firstSelected();
}

bool TMainFRM::isSelected(std::size_t row) const {
    return NodesLV->isSelected(row);
}

void TMainFRM::selectPage(Page page) {
    PageControl->selectPage(page);
}

void TMainFRM::setDuplicatesTabVisible(bool visible) {
    PageControl->setDuplicatesTabVisible(visible);
}

void TMainFRM::showConnected(const std::string& folder) {
    StatusBar->showConnected(fromUtf8(folder));
}

void TMainFRM::showNotConnected() {
    StatusBar->showNotConnected();
    StatusBar->findChild<QLabel*>(QStringLiteral("StatusPanel1"))->setToolTip({});
}

void TMainFRM::setActionCaption(const std::string& caption) {
    StatusBar->setActionCaption(fromUtf8(caption));
}

void TMainFRM::showProgressBar() {
    StatusBar->showProgressBar();
}

void TMainFRM::setProgressPosition(int percent) {
    StatusBar->setProgressPosition(percent);
    // While busy the pump shows it at its own pace; otherwise nothing else would.
    if (!m_busy) {
        StatusBar->flushProgress();
    }
}

void TMainFRM::showProgressArea() {
    StatusBar->showProgressArea();
}

void TMainFRM::hideProgressArea() {
    StatusBar->hideProgressArea();
}

void TMainFRM::setHealthText(const std::string& text) {
    StatusBar->setHealthText(fromUtf8(text));
}

void TMainFRM::setHealthVisible(bool visible) {
    StatusBar->setHealthVisible(visible);
}

void TMainFRM::setBusy(bool busy) {
    if (busy) {
        if (!m_busy) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        }
        m_busy = true;
        m_pumpClock.restart();
    } else {
        StatusBar->flushProgress();
        if (m_busy) {
            QApplication::restoreOverrideCursor();
        }
        m_busy = false;
    }
    Panel1->setEnabled(!busy);
    m_menus->setBusy(busy);
    showMarkedCount();
}

void TMainFRM::updateCommands(bool isOpen) {
    m_menus->updateCommands(isOpen);
    if (!isOpen && m_restoreOffered) {
        m_menus->RestoreBackupMEN->setEnabled(true);
    }
    showMarkedCount();
}

void TMainFRM::setFixDuplicatesVisible(bool visible) {
    m_menus->setFixDuplicatesVisible(visible);
}

Answer TMainFRM::confirm(const std::string& text, bool withCancel) {
    return m_prompts.confirm(this, fromUtf8(text), withCancel);
}

void TMainFRM::showError(const std::string& text) {
    m_prompts.error(this, QStringLiteral("Error"), fromUtf8(text));
}

void TMainFRM::showOpenError(const std::string& message, const std::string& unreadFile) {
    // The design's text first and as it is; the file after it, as a missing file is named.
    showError(unreadFile.empty() ? message : message + "\r\n\r\n" + unreadFile);
}

void TMainFRM::pump() {
    // Called once per record: an idle processEvents() alone would add seconds per million
    // records, a clock reading costs nanoseconds.
    if (m_pumpClock.elapsed() < m_pumpIntervalMs) {
        return;
    }
    StatusBar->flushProgress();
    QCoreApplication::processEvents();
    m_pumpClock.restart();
}

}  // namespace kavrin
