#pragma once

class QAction;
class QMainWindow;
class QMenu;

namespace kavrin {

// The main window's menus, each menu and item under its component name: "DB", "Tools" and
// "Help" in the menu bar, LVEditPOP on the node list and EditMenu on the line lists. Which items
// can be used follows from whether a database is open and whether the window is busy; what an
// item does is bound by the window.
class MainMenus {
public:
    // Fills the menu bar of `window`; the pop-up menus belong to the window too.
    explicit MainMenus(QMainWindow* window);

    // Only "Open Database" without an open database; hides "Fix Duplicates" when none is open.
    void updateCommands(bool isOpen);
    void setFixDuplicatesVisible(bool visible);
    // "DB" and "Tools" cannot be opened while the window is busy; "Help" can.
    void setBusy(bool busy);

    QMenu* menDB1 = nullptr;
    QAction* OpenMEN = nullptr;
    QAction* CloseMEN = nullptr;
    QAction* PreviewCommitMEN = nullptr;
    QAction* CommitMEN = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* menTools1 = nullptr;
    QAction* BackupMEN = nullptr;
    QAction* RestoreBackupMEN = nullptr;
    QAction* FixDuplicatesMEN = nullptr;
    QAction* DeleteOlderThanMEN = nullptr;
    QAction* ProtectedNodesMEN = nullptr;
    QMenu* Help1 = nullptr;
    QAction* Info1 = nullptr;
    QMenu* LVEditPOP = nullptr;
    QAction* DeleteNodeMEN = nullptr;
    QAction* UndeleteNodeMEN = nullptr;
    QAction* FixDuplicatesPOP = nullptr;
    QAction* DeleteolderthanPOP = nullptr;
    QMenu* EditMenu = nullptr;
    QAction* CopyLBMEN = nullptr;

private:
    void buildPopups(QMainWindow* window);
};

}  // namespace kavrin
