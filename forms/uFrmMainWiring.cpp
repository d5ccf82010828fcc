// Which event of which component of the main window runs which of its handlers. Every handler
// runs as a command: an exception it lets out goes to the window's exception handler.

#include <QAction>
#include <QHeaderView>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <utility>

#include "forms/LineListView.h"
#include "forms/LinePages.h"
#include "forms/MainMenus.h"
#include "forms/NodeListView.h"
#include "forms/uFrmMain.h"

namespace kavrin {

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
    // Enter in the location field and F5 anywhere do what "Open DB" does, and only when it can
    // be clicked (not while the window is busy).
    connect(DatabasePathEDT, &QLineEdit::returnPressed, ConnectBTN, &QPushButton::click);
    auto* reopen = new QShortcut(QKeySequence::Refresh, this);
    connect(reopen, &QShortcut::activated, ConnectBTN, &QPushButton::click);
    // The backups offered after a failed open are those of the location then typed.
    connect(DatabasePathEDT, &QLineEdit::textChanged, this, [this] {
        if (m_restoreOffered) {
            offerRestore(false);
        }
    });
    bindLists();

    const MainMenus& m = *m_menus;
    bind(m.OpenMEN, &TMainFRM::OpenMENClick);
    bind(m.CloseMEN, &TMainFRM::CloseMENClick);
    bind(m.PreviewCommitMEN, &TMainFRM::PreviewCommitMENClick);
    bind(m.CommitMEN, &TMainFRM::CommitMENClick);
    bind(m.Exit1, &TMainFRM::Exit1Click);
    bind(m.BackupMEN, &TMainFRM::BackupMENClick);
    bind(m.RestoreBackupMEN, &TMainFRM::RestoreBackupMENClick);
    bind(m.FixDuplicatesMEN, &TMainFRM::FixDuplicatesMENClick);
    bind(m.DeleteOlderThanMEN, &TMainFRM::DeleteOlderThanMENClick);
    bind(m.ProtectedNodesMEN, &TMainFRM::ProtectedNodesMENClick);
    bind(m.Info1, &TMainFRM::Info1Click);
    bind(m.DeleteNodeMEN, &TMainFRM::DeleteNodeMENClick);
    bind(m.UndeleteNodeMEN, &TMainFRM::UndeleteNodeMENClick);
    bind(m.FixDuplicatesPOP, &TMainFRM::FixDuplicatesPOPClick);
    bind(m.DeleteolderthanPOP, &TMainFRM::DeleteolderthanPOPClick);
    bind(m.CopyLBMEN, &TMainFRM::CopyLBMENClick);
}

void TMainFRM::bindLists() {
    connect(NodesLV->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { runCommand([this, column] { NodesLVColumnClick(column); }); });
    bindNodeList();
    connect(NodesLV, &NodeListView::mouseUp, this,
            [this] { runCommand([this] { NodesLVMouseUp(); }); });
    connect(NodesLV, &NodeListView::keyUp, this,
            [this] { runCommand([this] { NodesLVKeyUp(); }); });
    QMenu* popup = m_menus->LVEditPOP;
    connect(NodesLV, &QWidget::customContextMenuRequested, this, [this, popup](const QPoint& pos) {
        popup->popup(NodesLV->viewport()->mapToGlobal(pos));
    });
    connect(popup, &QMenu::aboutToShow, this, [this] { runCommand([this] { LVEditPOPPopup(); }); });
    // Delete and Insert on the list do what the pop-up menu's items do, when it would offer them.
    for (const auto& [key, action] : {std::pair{Qt::Key_Delete, m_menus->DeleteNodeMEN},
                                      std::pair{Qt::Key_Insert, m_menus->UndeleteNodeMEN}}) {
        auto* shortcut =
            new QShortcut(QKeySequence(key), NodesLV, nullptr, nullptr, Qt::WidgetShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, item = action] {
            runCommand([this, item] {
                LVEditPOPPopup();
                if (item->isEnabled()) {
                    item->trigger();
                }
            });
        });
    }

    QMenu* editMenu = m_menus->EditMenu;
    for (LineList which :
         {LineList::DBStats, LineList::Duplicates, LineList::NodeStats, LineList::Log}) {
        LineListView* list = PageControl->list(which);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list, editMenu](const QPoint& pos) {
                    m_editMenuList = list;
                    editMenu->popup(list->viewport()->mapToGlobal(pos));
                });
    }
}

}  // namespace kavrin
