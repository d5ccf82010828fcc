#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "engine/MainView.h"
#include "engine/MaintenanceEngine.h"
#include "forms/MainStatusBar.h"
#include "forms/StartArguments.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"
#include "support/smb/ShareAccess.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSettings;
class QSplitter;

namespace kavrin {

class Anchors;
class LineListView;
class LinePages;
class MainMenus;
class NodeListModel;
class NodeListView;
class Prompts;
class TfrmDate;
class TfrmWarningInfo;

// The main window: owns the one engine (and with it the open database and the node list),
// realises every MainView operation on screen and runs every command on the engine. Its menus
// are in MainMenus, its status bar in MainStatusBar, its line lists in LinePages; which event
// runs which handler is in uFrmMainWiring.cpp; the node list's group (its filter, the splitter
// beside it, its columns and sort indicator) in uFrmMainNodes.cpp; the location (typed, browsed,
// kept from the last run, opened) in uFrmMainLocation.cpp.
class TMainFRM : public QMainWindow, public MainView {
    Q_OBJECT
public:
    // Every question and error box goes through `prompts`.
    // REQUIRES: `prompts`, `fs` and `clock` outlive the window.
    explicit TMainFRM(Prompts& prompts, FileSystem& fs = localFileSystem(),
                      Clock& clock = systemClock(), QWidget* parent = nullptr);
    ~TMainFRM() override;

    // The dialogs the window shows; created after it (start-up order). Either may be null, in
    // which case its commands show nothing.
    void setDialogs(TfrmDate* dateDialog, TfrmWarningInfo* infoDialog);

    // Keeps the last location opened in `settings` from now on and shows the one kept there, if
    // any, in place of the first-start defaults. Without it (the default) nothing is kept.
    void rememberLocations(QSettings* settings);

    // Shows `location` in the location fields and opens it once the information dialog of the
    // first activation has closed, or at once when that has happened already.
    void openAtStart(const WindowLocation& location);

    MaintenanceEngine& engine() { return *m_engine; }
    NodeListModel* nodeListModel() const { return m_nodeModel; }

    // How often the pump lets the event loop run (and the progress bar repaint), in
    // milliseconds; 30 by default. Tests set 0 to see every pump.
    void setPumpInterval(int milliseconds) { m_pumpIntervalMs = milliseconds; }

    // Shows `message` in the standard error box, then appends it to the log: the window's handler
    // of every exception that reaches the event loop.
    void handleException(const std::string& message);

    // --- MainView ----------------------------------------------------------------------------
    bool serverMode() const override;
    std::string locationText() const override;
    void appendLine(LineList list, const std::string& text) override;
    void clearLines(LineList list) override;
    std::size_t lineCount(LineList list) const;
    std::string lineAt(LineList list, std::size_t index) const;
    // Every line followed by "\r\n", the last one included; "" for an empty list.
    std::string allLines(LineList list) const;
    std::size_t selectedCount() const override;
    std::optional<std::size_t> firstSelected() const override;
    bool isSelected(std::size_t row) const override;
    void selectPage(Page page) override;
    void setDuplicatesTabVisible(bool visible) override;
    void showConnected(const std::string& folder) override;
    void showNotConnected() override;
    void setActionCaption(const std::string& caption) override;
    void showProgressBar() override;
    void setProgressPosition(int percent) override;
    void showProgressArea() override;
    void hideProgressArea() override;
    void setHealthText(const std::string& text) override;
    void setHealthVisible(bool visible) override;
    void setBusy(bool busy) override;
    void updateCommands(bool isOpen) override;
    void setFixDuplicatesVisible(bool visible) override;
    Answer confirm(const std::string& text, bool withCancel) override;
    void showError(const std::string& text) override;
    void showOpenError(const std::string& message, const std::string& unreadFile) override;
    void pump() override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildWidgets();
    void buildConnectionGroup(Anchors& panel);
    void buildNodesGroup(Anchors& panel);
    void bindNodeList();
    // The node list's own columns shown and the splitter's position, as the settings keep them.
    void restoreNodeListLayout();
    void saveNodeListLayout();
    // The header's sort indicator: the window's own order if it has one, else the engine's.
    void updateSortIndicator();
    void updateFilterLabel();
    void bindCommands();
    void bindLists();
    void bind(QAction* action, void (TMainFRM::*handler)());

    // Runs one command; an exception it lets out goes to the exception handler. A close
    // request that arrived meanwhile is taken up once the outermost command has ended.
    void runCommand(const std::function<void()>& command);
    void runDeferredClose();

    // A server share refused access: the credentials dialog, once per share and command (Cancel
    // lets the command go on as on a share that cannot be reached, without asking again).
    std::optional<ShareCredentials> askShareCredentials(const std::string& share,
                                                        const ShareCredentials& refused,
                                                        const std::string& reason);
    // A share operation waits for its server (ShareWaiting): the window stays painted and takes
    // no command meanwhile (busy, as during a long operation), and the progress area shows
    // `text` once there is one; all as it was when the wait is over.
    void showShareWait(bool waiting, const std::string& text);
    // OpenDatabase; the location is kept for the next run when the open succeeded, and a folder
    // that cannot be written is noted. After one that failed, "Restore Backup..." is offered
    // when the location holds backup folders.
    void openDatabase();
    // Whether the location typed holds backup folders, asked after an open that failed and a
    // close; forgotten when the location changes.
    void offerRestore(bool offered);
    // True when the database folder can be written; otherwise says so (error box and log), so
    // that a command that writes there does not start, and returns false.
    bool requireWritableFolder();
    void showLocation(const WindowLocation& location);
    void openStartLocation();
    // The marked count in the status bar, from the count the node list keeps; deferred while
    // busy (an operation marking row by row) to the end of the operation.
    void showMarkedCount();

    // Event handlers, by the component and the event.
    void FormCreate();
    void FormActivate();
    void DBFileCHECKBOXClick();
    void BrowseBUTTONClick();
    void ConnectBTNClick();
    void NodesLVColumnClick(int column);
    void NodesLVMouseUp();
    void NodesLVKeyUp();
    void NodeFilterEDTChange();
    void NodeFilterFocus();
    void DuplicatesLBClick(int line);
    void LVEditPOPPopup();
    void OpenMENClick();
    void CloseMENClick();
    void PreviewCommitMENClick();
    void CommitMENClick();
    void Exit1Click();
    void BackupMENClick();
    void RestoreBackupMENClick();
    void FixDuplicatesMENClick();
    void ProtectedNodesMENClick();
    void DeleteOlderThanMENClick();
    void Info1Click();
    void DeleteNodeMENClick();
    void UndeleteNodeMENClick();
    void FixDuplicatesPOPClick();
    void DeleteolderthanPOPClick();
    void CopyLBMENClick();

    Prompts& m_prompts;
    FileSystem& m_fs;
    std::unique_ptr<MaintenanceEngine> m_engine;
    NodeListModel* m_nodeModel = nullptr;
    TfrmDate* m_dateDialog = nullptr;
    TfrmWarningInfo* m_infoDialog = nullptr;

    bool m_informationShown = false;
    bool m_firstActivationDone = false;  // and with it the information dialog it shows
    std::optional<WindowLocation> m_startLocation;
    QSettings* m_settings = nullptr;
    bool m_busy = false;
    int m_commandDepth = 0;
    bool m_closeDeferred = false;
    std::set<std::string> m_sharesCancelled;  // in the command running now
    QString m_lastBrowsedFolder;
    bool m_restoreOffered = false;           // without an open database: the location holds backups
    LineListView* m_editMenuList = nullptr;  // the line list EditMenu was opened on

    // What a wait for a share's server changed, to be put back when it is over.
    struct ShareWait {
        bool busy;
        MainStatusBar::State statusBar;
    };
    std::optional<ShareWait> m_shareWait;

    int m_pumpIntervalMs = 30;
    QElapsedTimer m_pumpClock;

    // Components, by their names.
    QWidget* Panel1 = nullptr;
    QGroupBox* ConnectionGB = nullptr;
    QRadioButton* KavrinServerCHECKBOX = nullptr;
    QRadioButton* DBFileCHECKBOX = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* DatabasePathEDT = nullptr;
    QPushButton* BrowseBUTTON = nullptr;
    QPushButton* ConnectBTN = nullptr;
    QGroupBox* cxGroupBox1 = nullptr;
    QSplitter* NodesSPL = nullptr;
    QLineEdit* NodeFilterEDT = nullptr;
    QLabel* NodeFilterLBL = nullptr;
    NodeListView* NodesLV = nullptr;
    LinePages* PageControl = nullptr;
    MainStatusBar* StatusBar = nullptr;
    std::unique_ptr<MainMenus> m_menus;
};

}  // namespace kavrin
