#include "forms/uFrmMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>
#include <vector>

#include "forms/Anchors.h"
#include "forms/Artwork.h"
#include "forms/FolderBrowser.h"
#include "forms/Fonts.h"
#include "forms/KavrinApplication.h"
#include "forms/LineListView.h"
#include "forms/MessageBox.h"
#include "forms/NodeListModel.h"
#include "forms/NodeListView.h"
#include "forms/uFrmDate.h"
#include "forms/uFrmPreview.h"
#include "forms/uFrmRestore.h"
#include "forms/uFrmWarningInfo.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

const QString kDesignedCaption = QStringLiteral("KavrinServer Database Tool");

// Where the settings keep the last location opened.
const QString kLastModeKey = QStringLiteral("LastLocation/Mode");
const QString kLastPathKey = QStringLiteral("LastLocation/Path");
const QString kServerMode = QStringLiteral("server");
const QString kFolderMode = QStringLiteral("folder");

// The window's client area at 96 dpi, and the parts of the status bar.
constexpr QSize kClientSize(817, 494);
constexpr int kStatusBarHeight = 20;
constexpr int kConnectionPanelWidth = 400;
constexpr int kProgressPanelMinWidth = 200;
constexpr int kHealthPanelWidth = 200;
constexpr int kProgressBarWidth = 59;

const char* const kProgressStyle =
    "QProgressBar#ProgressPG { border: 1px solid #808080; background: #ffffff; color: #000000;"
    " text-align: center; }"
    "QProgressBar#ProgressPG::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
    " stop:0 rgb(166, 202, 240), stop:1 rgb(192, 220, 192)); }";

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// A control whose designed width might cut its text in a wider substitute font.
int fittingWidth(QWidget* widget, int designedWidth) {
    return std::max(designedWidth, widget->sizeHint().width());
}

}  // namespace

TMainFRM::TMainFRM(FileSystem& fs, Clock& clock, QWidget* parent) : QMainWindow(parent), m_fs(fs) {
    buildWidgets();
    m_engine = std::make_unique<MaintenanceEngine>(*this, fs, clock);
    m_nodeModel = new NodeListModel(m_engine->nodeList(), this);
    m_engine->nodeList().setObserver(m_nodeModel);
    NodesLV->setModel(m_nodeModel);
    for (int column = 0; column < NodeListModel::kColumnCount; ++column) {
        NodesLV->header()->resizeSection(column, NodeListModel::columnWidth(column));
    }
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
    NodesLV->setModel(nullptr);
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

void TMainFRM::rememberLocations(QSettings* settings) {
    m_settings = settings;
    if (m_settings == nullptr) {
        return;
    }
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
    m_engine->OpenDatabase();
    if (m_settings != nullptr && m_engine->context().IsOpen) {
        m_settings->setValue(kLastModeKey, serverMode() ? kServerMode : kFolderMode);
        m_settings->setValue(kLastPathKey, DatabasePathEDT->text());
        m_settings->sync();
    }
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
    buildStatusBar(*panel);
    buildMenus();

    move(259, 212);
    resize(kClientSize.width(), kClientSize.height() + menuBar()->sizeHint().height());
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

void TMainFRM::buildNodesGroup(Anchors& panel) {
    cxGroupBox1 = new QGroupBox(QStringLiteral("Nodes"), Panel1);
    cxGroupBox1->setObjectName(QStringLiteral("cxGroupBox1"));
    panel.place(cxGroupBox1, QRect(12, 88, 795, 355), kAnchorAll);
    auto* group = new Anchors(cxGroupBox1, QSize(795, 355));

    NodesLV = new NodeListView(cxGroupBox1);
    group->place(NodesLV, QRect(12, 20, 365, 321), kAnchorLeft | kAnchorTop | kAnchorBottom);

    PageControl = new QTabWidget(cxGroupBox1);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    group->place(PageControl, QRect(380, 20, 405, 321), kAnchorAll);

    struct PageSpec {
        QWidget** page;
        const char* pageName;
        const char* caption;
        LineListView** list;
        const char* listName;
        int lineHeight;
    };
    const PageSpec pages[] = {
        {&DBStatsPage, "DBStatsPage", "DB Stats", &DBStatsLB, "DBStatsLB", 16},
        {&DuplicatesPAGE, "DuplicatesPAGE", "Duplicates", &DuplicatesLB, "DuplicatesLB", 13},
        {&NodeStatsPage, "NodeStatsPage", "Node Stats", &NodeStatsLB, "NodeStatsLB", 13},
        {&LogPAGE, "LogPAGE", "Log", &LogLB, "LogLB", 13},
    };
    for (const PageSpec& design : pages) {
        auto* page = new QWidget(PageControl);
        page->setObjectName(QString::fromLatin1(design.pageName));
        auto* list =
            new LineListView(QString::fromLatin1(design.listName), design.lineHeight, page);
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(4, 4, 1, 2);
        layout->addWidget(list);
        PageControl->addTab(page, QString::fromLatin1(design.caption));
        *design.page = page;
        *design.list = list;
    }
    DuplicatesLB->setFont(tahomaFont(11));
    QPalette red = DuplicatesLB->palette();
    red.setColor(QPalette::Text, Qt::red);
    DuplicatesLB->setPalette(red);
}

void TMainFRM::buildStatusBar(Anchors& panel) {
    StatusBar = new QStatusBar(Panel1);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    panel.place(
        StatusBar,
        QRect(0, kClientSize.height() - kStatusBarHeight, kClientSize.width(), kStatusBarHeight),
        kAnchorLeft | kAnchorRight | kAnchorBottom);

    StatusPanel0 = new QWidget(StatusBar);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedSize(16, 16);
    ConnectedPIC = new QLabel(StatusPanel0);
    ConnectedPIC->setObjectName(QStringLiteral("ConnectedPIC"));
    ConnectedPIC->setPixmap(artworkPixmap(QStringLiteral("connected"), QSize(16, 16)));
    ConnectedPIC->setGeometry(0, 0, 16, 16);
    NotConnectedPIC = new QLabel(StatusPanel0);
    NotConnectedPIC->setObjectName(QStringLiteral("NotConnectedPIC"));
    NotConnectedPIC->setPixmap(artworkPixmap(QStringLiteral("notconnected"), QSize(16, 16)));
    NotConnectedPIC->setGeometry(0, 0, 16, 16);

    StatusPanel1 = new QLabel(StatusBar);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    StatusPanel1->setTextFormat(Qt::PlainText);
    StatusPanel1->setFixedWidth(kConnectionPanelWidth);

    Panel2 = new QWidget(StatusBar);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setMinimumWidth(kProgressPanelMinWidth);
    const QSize designedPanel2(kProgressPanelMinWidth, kStatusBarHeight - 2);
    auto* progress = new Anchors(Panel2, designedPanel2);
    Panel2->resize(designedPanel2);
    ActionLAB = new QLabel(Panel2);
    ActionLAB->setObjectName(QStringLiteral("ActionLAB"));
    ActionLAB->setTextFormat(Qt::PlainText);
    ActionLAB->setAttribute(Qt::WA_TranslucentBackground);
    progress->place(
        ActionLAB,
        QRect(5, 1, designedPanel2.width() - kProgressBarWidth - 5, designedPanel2.height() - 1),
        kAnchorLeft | kAnchorTop | kAnchorRight | kAnchorBottom);
    ProgressPG = new QProgressBar(Panel2);
    ProgressPG->setObjectName(QStringLiteral("ProgressPG"));
    ProgressPG->setRange(0, 100);
    ProgressPG->setValue(0);
    ProgressPG->setTextVisible(true);
    ProgressPG->setFormat(QStringLiteral("%p%"));
    ProgressPG->setStyleSheet(QString::fromLatin1(kProgressStyle));
    progress->place(ProgressPG,
                    QRect(designedPanel2.width() - kProgressBarWidth, 0, kProgressBarWidth,
                          designedPanel2.height()),
                    kAnchorTop | kAnchorRight | kAnchorBottom);
    ProgressPG->hide();

    StatusPanel3 = new QLabel(StatusBar);
    StatusPanel3->setObjectName(QStringLiteral("StatusPanel3"));
    StatusPanel3->setTextFormat(Qt::PlainText);
    StatusPanel3->setMinimumWidth(kHealthPanelWidth);

    // Permanent widgets: a status message never hides them.
    StatusBar->addPermanentWidget(StatusPanel0, 0);
    StatusBar->addPermanentWidget(StatusPanel1, 0);
    StatusBar->addPermanentWidget(Panel2, 1);
    StatusBar->addPermanentWidget(StatusPanel3, 1);
    Panel2->hide();
    updateHealthStretch();
}

void TMainFRM::buildMenus() {
    QMenuBar* MainMenu = menuBar();
    MainMenu->setObjectName(QStringLiteral("MainMenu"));
    auto named = [](QAction* action, const char* name) {
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };

    menDB1 = MainMenu->addMenu(QStringLiteral("DB"));
    menDB1->setObjectName(QStringLiteral("menDB1"));
    OpenMEN = named(menDB1->addAction(QStringLiteral("Open Database")), "OpenMEN");
    CloseMEN = named(menDB1->addAction(QStringLiteral("Close Database")), "CloseMEN");
    named(menDB1->addSeparator(), "N1");
    PreviewCommitMEN =
        named(menDB1->addAction(QStringLiteral("Preview Commit...")), "PreviewCommitMEN");
    CommitMEN = named(menDB1->addAction(QStringLiteral("Commit / Compact")), "CommitMEN");
    named(menDB1->addSeparator(), "N2");
    Exit1 = named(menDB1->addAction(QStringLiteral("Exit")), "Exit1");

    menTools1 = MainMenu->addMenu(QStringLiteral("Tools"));
    menTools1->setObjectName(QStringLiteral("menTools1"));
    BackupMEN = named(menTools1->addAction(QStringLiteral("Backup Database")), "BackupMEN");
    RestoreBackupMEN =
        named(menTools1->addAction(QStringLiteral("Restore Backup...")), "RestoreBackupMEN");
    FixDuplicatesMEN =
        named(menTools1->addAction(QStringLiteral("Fix Duplicates")), "FixDuplicatesMEN");
    DeleteOlderThanMEN =
        named(menTools1->addAction(QStringLiteral("Delete Older Than...")), "DeleteOlderThanMEN");

    Help1 = MainMenu->addMenu(QStringLiteral("Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Info1 = named(Help1->addAction(QStringLiteral("Info")), "Info1");

    LVEditPOP = new QMenu(this);
    LVEditPOP->setObjectName(QStringLiteral("LVEditPOP"));
    DeleteNodeMEN = named(LVEditPOP->addAction(QStringLiteral("Delete")), "DeleteNodeMEN");
    UndeleteNodeMEN = named(LVEditPOP->addAction(QStringLiteral("Undelete")), "UndeleteNodeMEN");
    named(LVEditPOP->addSeparator(), "N3");
    FixDuplicatesPOP =
        named(LVEditPOP->addAction(QStringLiteral("Fix Duplicates")), "FixDuplicatesPOP");
    named(LVEditPOP->addSeparator(), "N4");
    DeleteolderthanPOP =
        named(LVEditPOP->addAction(QStringLiteral("Delete older than...")), "DeleteolderthanPOP");

    EditMenu = new QMenu(this);
    EditMenu->setObjectName(QStringLiteral("EditMenu"));
    CopyLBMEN = named(EditMenu->addAction(QStringLiteral("Copy All")), "CopyLBMEN");
}

void TMainFRM::bind(QAction* action, void (TMainFRM::*handler)()) {
    connect(action, &QAction::triggered, this,
            [this, handler] { runCommand([this, handler] { (this->*handler)(); }); });
}

void TMainFRM::bindCommands() {
    // One handler for both radio buttons: it runs when the selection moves between them.
    connect(KavrinServerCHECKBOX, &QRadioButton::toggled, this,
            [this] { runCommand([this] { DBFileCHECKBOXClick(); }); });
    connect(BrowseBUTTON, &QPushButton::clicked, this,
            [this] { runCommand([this] { BrowseBUTTONClick(); }); });
    connect(ConnectBTN, &QPushButton::clicked, this,
            [this] { runCommand([this] { ConnectBTNClick(); }); });

    connect(NodesLV->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { runCommand([this, column] { NodesLVColumnClick(column); }); });
    connect(NodesLV, &NodeListView::mouseUp, this,
            [this] { runCommand([this] { NodesLVMouseUp(); }); });
    connect(NodesLV, &NodeListView::keyUp, this,
            [this] { runCommand([this] { NodesLVKeyUp(); }); });
    connect(NodesLV, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { LVEditPOP->popup(NodesLV->viewport()->mapToGlobal(pos)); });
    connect(LVEditPOP, &QMenu::aboutToShow, this,
            [this] { runCommand([this] { LVEditPOPPopup(); }); });

    for (LineListView* list : {DBStatsLB, DuplicatesLB, NodeStatsLB, LogLB}) {
        connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& pos) {
            m_editMenuList = list;
            EditMenu->popup(list->viewport()->mapToGlobal(pos));
        });
    }

    bind(OpenMEN, &TMainFRM::OpenMENClick);
    bind(CloseMEN, &TMainFRM::CloseMENClick);
    bind(PreviewCommitMEN, &TMainFRM::PreviewCommitMENClick);
    bind(CommitMEN, &TMainFRM::CommitMENClick);
    bind(Exit1, &TMainFRM::Exit1Click);
    bind(BackupMEN, &TMainFRM::BackupMENClick);
    bind(RestoreBackupMEN, &TMainFRM::RestoreBackupMENClick);
    bind(FixDuplicatesMEN, &TMainFRM::FixDuplicatesMENClick);
    bind(DeleteOlderThanMEN, &TMainFRM::DeleteOlderThanMENClick);
    bind(Info1, &TMainFRM::Info1Click);
    bind(DeleteNodeMEN, &TMainFRM::DeleteNodeMENClick);
    bind(UndeleteNodeMEN, &TMainFRM::UndeleteNodeMENClick);
    bind(FixDuplicatesPOP, &TMainFRM::FixDuplicatesPOPClick);
    bind(DeleteolderthanPOP, &TMainFRM::DeleteolderthanPOPClick);
    bind(CopyLBMEN, &TMainFRM::CopyLBMENClick);
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
    const bool given = MessageBox::credentials(this, fromUtf8(share), fromUtf8(reason), answer);
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
            ActionLAB->setText(m_shareWait->caption);
            Panel2->setHidden(m_shareWait->progressHidden);
            StatusPanel1->setHidden(m_shareWait->connectionHidden);
            StatusPanel3->setHidden(m_shareWait->healthHidden);
            updateHealthStretch();
            if (!m_shareWait->busy) {
                setBusy(false);
            }
            m_shareWait.reset();
        }
        return;
    }
    if (!m_shareWait) {
        m_shareWait = ShareWait{m_busy, ActionLAB->text(), Panel2->isHidden(),
                                StatusPanel1->isHidden(), StatusPanel3->isHidden()};
        // Events are handled while the server is waited for: no command may start meanwhile.
        if (!m_busy) {
            setBusy(true);
        }
    }
    if (!text.empty() && ActionLAB->text() != fromUtf8(text)) {
        ActionLAB->setText(fromUtf8(text));
        if (Panel2->isHidden()) {
            showProgressArea();
        }
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
    MessageBox::error(this, QApplication::applicationDisplayName(), shown);
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

void TMainFRM::DBFileCHECKBOXClick() {
    if (KavrinServerCHECKBOX->isChecked()) {
        DatabasePathEDT->setText(fromUtf8(LocalComputerName()));
        BrowseBUTTON->setEnabled(false);
    } else {
        DatabasePathEDT->clear();
        BrowseBUTTON->setEnabled(true);
    }
}

void TMainFRM::BrowseBUTTONClick() {
    const std::optional<QString> chosen = FolderBrowser::chooseFolder(this, m_lastBrowsedFolder);
    if (chosen) {
        m_lastBrowsedFolder = *chosen;
        DatabasePathEDT->setText(*chosen);
    }
}

void TMainFRM::ConnectBTNClick() {
    openDatabase();
}

void TMainFRM::NodesLVColumnClick(int column) {
    m_engine->NodesLVColumnClick(column);
}

void TMainFRM::NodesLVMouseUp() {
    m_engine->ShowSelectedNodeDetails();
}

void TMainFRM::NodesLVKeyUp() {
    m_engine->ShowSelectedNodeDetails();
}

void TMainFRM::LVEditPOPPopup() {
    if (const std::optional<PopupEnabling> enabling = m_engine->LVEditPOPPopup()) {
        DeleteNodeMEN->setEnabled(enabling->deleteEnabled);
        UndeleteNodeMEN->setEnabled(enabling->undeleteEnabled);
    }
}

void TMainFRM::OpenMENClick() {
    openDatabase();
}

void TMainFRM::CloseMENClick() {
    m_engine->CloseDatabase();
}

void TMainFRM::PreviewCommitMENClick() {
    TfrmPreview dialog(this, m_engine->PreviewCommit(), m_fs);
    dialog.exec();
}

void TMainFRM::CommitMENClick() {
    m_engine->CommitDatabase();
    openDatabase();
}

void TMainFRM::Exit1Click() {
    close();
}

void TMainFRM::BackupMENClick() {
    m_engine->BackupDatabase();
}

void TMainFRM::RestoreBackupMENClick() {
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

void TMainFRM::FixDuplicatesMENClick() {
    m_engine->FixDuplicates();
}

void TMainFRM::DeleteOlderThanMENClick() {
    if (m_dateDialog != nullptr && m_dateDialog->exec() == QDialog::Accepted) {
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
    LineListView* list = m_editMenuList;
    if (list == nullptr) {
        list = lineList(static_cast<LineList>(PageControl->currentIndex()));
    }
    LineList which = LineList::DBStats;
    for (LineList candidate :
         {LineList::DBStats, LineList::Duplicates, LineList::NodeStats, LineList::Log}) {
        if (lineList(candidate) == list) {
            which = candidate;
        }
    }
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

LineListView* TMainFRM::lineList(LineList list) const {
    switch (list) {
        case LineList::DBStats:
            return DBStatsLB;
        case LineList::Duplicates:
            return DuplicatesLB;
        case LineList::NodeStats:
            return NodeStatsLB;
        case LineList::Log:
            return LogLB;
    }
    return DBStatsLB;
}

void TMainFRM::appendLine(LineList list, const std::string& text) {
    LineListView* view = lineList(list);
    view->appendLine(text);
    if (list == LineList::Log) {
        view->scrollToBottom();
    }
}

void TMainFRM::clearLines(LineList list) {
    lineList(list)->clearLines();
}

std::size_t TMainFRM::lineCount(LineList list) const {
    return lineList(list)->lineCount();
}

std::string TMainFRM::lineAt(LineList list, std::size_t index) const {
    return lineList(list)->lineAt(index);
}

std::size_t TMainFRM::selectedCount() const {
    // Ranges of one selection may overlap; count each row once.
    std::vector<std::pair<int, int>> spans;
    for (const QItemSelectionRange& range : NodesLV->selectionModel()->selection()) {
        spans.emplace_back(range.top(), range.bottom());
    }
    std::sort(spans.begin(), spans.end());
    std::size_t count = 0;
    int covered = -1;  // last row counted
    for (const auto& [top, bottom] : spans) {
        const int from = std::max(top, covered + 1);
        if (bottom >= from) {
            count += static_cast<std::size_t>(bottom - from + 1);
            covered = bottom;
        }
    }
    return count;
}

std::optional<std::size_t> TMainFRM::firstSelected() const {
    std::optional<std::size_t> first;
    for (const QItemSelectionRange& range : NodesLV->selectionModel()->selection()) {
        const auto top = static_cast<std::size_t>(range.top());
        if (!first || top < *first) {
            first = top;
        }
    }
    return first;
}

bool TMainFRM::isSelected(std::size_t row) const {
    return NodesLV->selectionModel()->isSelected(m_nodeModel->index(static_cast<int>(row), 0));
}

void TMainFRM::selectPage(Page page) {
    const int index = static_cast<int>(page);
    // A hidden tab's page is never brought to the front without its tab.
    if (!PageControl->isTabVisible(index)) {
        return;
    }
    PageControl->setCurrentIndex(index);
}

void TMainFRM::setDuplicatesTabVisible(bool visible) {
    const int index = static_cast<int>(Page::Duplicates);
    if (!visible && PageControl->currentIndex() == index) {
        PageControl->setCurrentIndex(static_cast<int>(Page::DBStats));
    }
    PageControl->setTabVisible(index, visible);
}

void TMainFRM::showConnected(const std::string& folder) {
    ConnectedPIC->show();
    NotConnectedPIC->hide();
    StatusPanel1->setText(QStringLiteral("Connected : ") + fromUtf8(folder));
}

void TMainFRM::showNotConnected() {
    ConnectedPIC->hide();
    NotConnectedPIC->show();
    StatusPanel1->setText(QStringLiteral("Not Connected"));
}

void TMainFRM::setActionCaption(const std::string& caption) {
    ActionLAB->setText(fromUtf8(caption));
}

void TMainFRM::showProgressBar() {
    ProgressPG->show();
    ProgressPG->raise();
}

void TMainFRM::setProgressPosition(int percent) {
    m_progressLatest = percent;
    // While busy the pump shows it at its own pace; otherwise nothing else would.
    if (!m_busy) {
        flushProgress();
    }
}

void TMainFRM::flushProgress() {
    if (ProgressPG->value() != m_progressLatest) {
        ProgressPG->setValue(m_progressLatest);
    }
}

void TMainFRM::showProgressArea() {
    StatusPanel3->hide();
    Panel2->show();
    StatusPanel1->hide();
    updateHealthStretch();
    flushProgress();
}

void TMainFRM::hideProgressArea() {
    flushProgress();
    Panel2->hide();
    StatusPanel1->show();
    StatusPanel3->show();
    updateHealthStretch();
}

void TMainFRM::updateHealthStretch() {
    // The progress area takes the width the other parts leave; without it the health text does.
    StatusPanel3->setMaximumWidth(Panel2->isHidden() ? QWIDGETSIZE_MAX : kHealthPanelWidth);
}

void TMainFRM::setHealthText(const std::string& text) {
    StatusPanel3->setText(fromUtf8(text));
}

void TMainFRM::setHealthVisible(bool visible) {
    StatusPanel3->setVisible(visible);
}

void TMainFRM::setBusy(bool busy) {
    if (busy) {
        if (!m_busy) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
        }
        m_busy = true;
        m_pumpClock.restart();
    } else {
        flushProgress();
        if (m_busy) {
            QApplication::restoreOverrideCursor();
        }
        m_busy = false;
    }
    Panel1->setEnabled(!busy);
    menDB1->setEnabled(!busy);
    menDB1->menuAction()->setEnabled(!busy);
    menTools1->setEnabled(!busy);
    menTools1->menuAction()->setEnabled(!busy);
}

void TMainFRM::updateCommands(bool isOpen) {
    OpenMEN->setEnabled(!isOpen);
    for (QAction* action : {CloseMEN, PreviewCommitMEN, CommitMEN, BackupMEN, RestoreBackupMEN,
                            FixDuplicatesMEN, FixDuplicatesPOP, DeleteOlderThanMEN,
                            DeleteolderthanPOP, DeleteNodeMEN, UndeleteNodeMEN, CopyLBMEN}) {
        action->setEnabled(isOpen);
    }
    if (!isOpen) {
        setFixDuplicatesVisible(false);
    }
}

void TMainFRM::setFixDuplicatesVisible(bool visible) {
    FixDuplicatesMEN->setVisible(visible);
    FixDuplicatesPOP->setVisible(visible);
}

Answer TMainFRM::confirm(const std::string& text, bool withCancel) {
    return MessageBox::confirm(this, fromUtf8(text), withCancel);
}

void TMainFRM::showError(const std::string& text) {
    MessageBox::error(this, QStringLiteral("Error"), fromUtf8(text));
}

void TMainFRM::pump() {
    // Called once per record: an idle processEvents() alone would add seconds per million
    // records, a clock reading costs nanoseconds.
    if (m_pumpClock.elapsed() < m_pumpIntervalMs) {
        return;
    }
    flushProgress();
    QCoreApplication::processEvents();
    m_pumpClock.restart();
}

}  // namespace kavrin
