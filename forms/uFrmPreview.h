#pragma once

#include <QDialog>

#include "engine/check/CommitPreview.h"
#include "support/fs/FileSystem.h"

class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QTreeView;
class QTreeWidget;

namespace kavrin {

class Prompts;
class RemovedNodesModel;

// "Preview Commit...": what a commit of the current marks would write and remove, shown before
// anything is written. The files before and after, what goes besides the marked nodes, and the
// nodes that go (a list sorted by a click on its header), which "Save List..." writes as CSV.
class TfrmPreview : public QDialog {
public:
    // REQUIRES: `fs` and `prompts` outlive the dialog.
    TfrmPreview(QWidget* parent, CommitPreview preview, FileSystem& fs, Prompts& prompts);
    ~TfrmPreview() override;

    const CommitPreview& preview() const { return m_preview; }

private:
    // The list of the nodes removed, then those kept by protection, sorted by a header click.
    void buildRemovedList();
    void SaveListBTNClick();

    CommitPreview m_preview;
    // The nodes that go, then those a protection rule keeps: the rows of the list.
    std::vector<RemovedNode> m_listed;
    FileSystem& m_fs;
    Prompts& m_prompts;
    RemovedNodesModel* m_model;
    QSortFilterProxyModel* m_sorted;

    QLabel* Label1;
    QTreeWidget* TotalsLV;
    QTreeWidget* RemovalsLV;
    QTreeView* RemovedLV;
    QPushButton* SaveListBTN;
    QPushButton* CloseBTN;
};

}  // namespace kavrin
