#include "forms/MainMenus.h"

#include <QAction>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace kavrin {

namespace {

QAction* named(QAction* action, const char* name) {
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

}  // namespace

MainMenus::MainMenus(QMainWindow* window) {
    QMenuBar* MainMenu = window->menuBar();
    MainMenu->setObjectName(QStringLiteral("MainMenu"));

    menDB1 = MainMenu->addMenu(QStringLiteral("&DB"));
    menDB1->setObjectName(QStringLiteral("menDB1"));
    OpenMEN = named(menDB1->addAction(QStringLiteral("&Open Database")), "OpenMEN");
    CloseMEN = named(menDB1->addAction(QStringLiteral("&Close Database")), "CloseMEN");
    named(menDB1->addSeparator(), "N1");
    PreviewCommitMEN =
        named(menDB1->addAction(QStringLiteral("&Preview Commit...")), "PreviewCommitMEN");
    CommitMEN = named(menDB1->addAction(QStringLiteral("Co&mmit / Compact")), "CommitMEN");
    named(menDB1->addSeparator(), "N2");
    Exit1 = named(menDB1->addAction(QStringLiteral("E&xit")), "Exit1");

    menTools1 = MainMenu->addMenu(QStringLiteral("&Tools"));
    menTools1->setObjectName(QStringLiteral("menTools1"));
    BackupMEN = named(menTools1->addAction(QStringLiteral("&Backup Database")), "BackupMEN");
    RestoreBackupMEN =
        named(menTools1->addAction(QStringLiteral("&Restore Backup...")), "RestoreBackupMEN");
    FixDuplicatesMEN =
        named(menTools1->addAction(QStringLiteral("&Fix Duplicates")), "FixDuplicatesMEN");
    DeleteOlderThanMEN =
        named(menTools1->addAction(QStringLiteral("&Delete Older Than...")), "DeleteOlderThanMEN");
    ProtectedNodesMEN =
        named(menTools1->addAction(QStringLiteral("&Protected Nodes...")), "ProtectedNodesMEN");

    Help1 = MainMenu->addMenu(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Info1 = named(Help1->addAction(QStringLiteral("&Info")), "Info1");

    OpenMEN->setShortcut(QKeySequence::Open);
    Info1->setShortcut(QKeySequence::HelpContents);

    buildPopups(window);
}

void MainMenus::buildPopups(QMainWindow* window) {
    LVEditPOP = new QMenu(window);
    LVEditPOP->setObjectName(QStringLiteral("LVEditPOP"));
    DeleteNodeMEN = named(LVEditPOP->addAction(QStringLiteral("&Delete")), "DeleteNodeMEN");
    UndeleteNodeMEN = named(LVEditPOP->addAction(QStringLiteral("&Undelete")), "UndeleteNodeMEN");
    // Shown in the menu only: the keys are taken by the node list itself, which asks first
    // whether the selection can be marked or unmarked, as the menu does when it opens.
    DeleteNodeMEN->setShortcut(QKeySequence(Qt::Key_Delete));
    UndeleteNodeMEN->setShortcut(QKeySequence(Qt::Key_Insert));
    named(LVEditPOP->addSeparator(), "N3");
    FixDuplicatesPOP =
        named(LVEditPOP->addAction(QStringLiteral("&Fix Duplicates")), "FixDuplicatesPOP");
    named(LVEditPOP->addSeparator(), "N4");
    DeleteolderthanPOP =
        named(LVEditPOP->addAction(QStringLiteral("Delete &older than...")), "DeleteolderthanPOP");

    EditMenu = new QMenu(window);
    EditMenu->setObjectName(QStringLiteral("EditMenu"));
    CopyLBMEN = named(EditMenu->addAction(QStringLiteral("&Copy All")), "CopyLBMEN");
}

void MainMenus::updateCommands(bool isOpen) {
    OpenMEN->setEnabled(!isOpen);
    for (QAction* action :
         {CloseMEN, PreviewCommitMEN, CommitMEN, BackupMEN, RestoreBackupMEN, FixDuplicatesMEN,
          FixDuplicatesPOP, DeleteOlderThanMEN, DeleteolderthanPOP, DeleteNodeMEN, UndeleteNodeMEN,
          CopyLBMEN, ProtectedNodesMEN}) {
        action->setEnabled(isOpen);
    }
    if (!isOpen) {
        setFixDuplicatesVisible(false);
    }
}

void MainMenus::setFixDuplicatesVisible(bool visible) {
    FixDuplicatesMEN->setVisible(visible);
    FixDuplicatesPOP->setVisible(visible);
}

void MainMenus::setBusy(bool busy) {
    for (QMenu* menu : {menDB1, menTools1}) {
        menu->setEnabled(!busy);
        menu->menuAction()->setEnabled(!busy);
    }
}

}  // namespace kavrin
