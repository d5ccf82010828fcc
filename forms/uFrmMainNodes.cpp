// The main window's node list: its group with the filter row and the splitter it shares with the
// line lists, finding nodes in it, its sort indicator and the columns shown.

#include <QAction>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QSplitter>
#include <QVBoxLayout>

#include "forms/Anchors.h"
#include "forms/LineListView.h"
#include "forms/LinePages.h"
#include "forms/NodeListModel.h"
#include "forms/NodeListView.h"
#include "forms/uFrmMain.h"
#include "support/text/AnsiText.h"

namespace kavrin {

namespace {

// Where the settings keep the node list's layout.
const QString kShownColumnsKey = QStringLiteral("NodeList/ShownColumns");
const QString kSplitterKey = QStringLiteral("NodeList/Splitter");

// The designed widths of the list and of the line lists beside it, at 96 dpi.
constexpr int kListWidth = 365;
constexpr int kPagesWidth = 405;
constexpr int kSplitterHandle = 3;

// Escape empties the filter: the quickest way back to every node.
class NodeFilterEdit final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier &&
            !text().isEmpty()) {
            clear();
            event->accept();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }
};

}  // namespace

void TMainFRM::buildNodesGroup(Anchors& panel) {
    cxGroupBox1 = new QGroupBox(QStringLiteral("Nodes"), Panel1);
    cxGroupBox1->setObjectName(QStringLiteral("cxGroupBox1"));
    panel.place(cxGroupBox1, QRect(12, 88, 795, 355), kAnchorAll);
    auto* group = new Anchors(cxGroupBox1, QSize(795, 355));

    NodesSPL = new QSplitter(Qt::Horizontal, cxGroupBox1);
    NodesSPL->setObjectName(QStringLiteral("NodesSPL"));
    NodesSPL->setHandleWidth(kSplitterHandle);
    NodesSPL->setChildrenCollapsible(false);
    group->place(NodesSPL, QRect(12, 20, kListWidth + kSplitterHandle + kPagesWidth, 321),
                 kAnchorAll);

    auto* listPane = new QWidget(NodesSPL);
    listPane->setObjectName(QStringLiteral("NodeListPNL"));
    auto* rows = new QVBoxLayout(listPane);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(3);
    auto* filterRow = new QHBoxLayout();
    NodeFilterEDT = new NodeFilterEdit(listPane);
    NodeFilterEDT->setObjectName(QStringLiteral("NodeFilterEDT"));
    NodeFilterEDT->setPlaceholderText(QStringLiteral("Find nodes: part of a name, or * and ?"));
    NodeFilterEDT->setClearButtonEnabled(true);
    filterRow->addWidget(NodeFilterEDT, 1);
    NodeFilterLBL = new QLabel(listPane);
    NodeFilterLBL->setObjectName(QStringLiteral("NodeFilterLBL"));
    NodeFilterLBL->setTextFormat(Qt::PlainText);
    filterRow->addWidget(NodeFilterLBL);
    rows->addLayout(filterRow);
    NodesLV = new NodeListView(listPane);
    rows->addWidget(NodesLV, 1);

    PageControl = new LinePages(NodesSPL);
    NodesSPL->addWidget(listPane);
    NodesSPL->addWidget(PageControl);
    // A wider window widens the line lists, as it did before the list could be resized.
    NodesSPL->setStretchFactor(0, 0);
    NodesSPL->setStretchFactor(1, 1);
    NodesSPL->setSizes({kListWidth, kPagesWidth});

    auto* find = new QAction(this);
    find->setObjectName(QStringLiteral("NodeFilterACT"));
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    addAction(find);
}

void TMainFRM::bindNodeList() {
    connect(NodeFilterEDT, &QLineEdit::textChanged, this,
            [this] { runCommand([this] { NodeFilterEDTChange(); }); });
    connect(findChild<QAction*>(QStringLiteral("NodeFilterACT")), &QAction::triggered, this,
            [this] { NodeFilterFocus(); });
    connect(PageControl->list(LineList::Duplicates), &QAbstractItemView::clicked, this,
            [this](const QModelIndex& line) {
                runCommand([this, line] { DuplicatesLBClick(line.row()); });
            });
    // Every change of the rows shown, whoever made it: a filter, an open, a sort.
    connect(m_nodeModel, &QAbstractItemModel::modelReset, this, [this] {
        updateFilterLabel();
        updateSortIndicator();
    });
    connect(m_nodeModel, &QAbstractItemModel::layoutChanged, this,
            [this] { updateSortIndicator(); });
    connect(NodesLV, &NodeListView::columnsChosen, this, [this] { saveNodeListLayout(); });
    connect(NodesSPL, &QSplitter::splitterMoved, this, [this] { saveNodeListLayout(); });
    updateFilterLabel();
    updateSortIndicator();
}

void TMainFRM::restoreNodeListLayout() {
    if (m_settings == nullptr) {
        return;
    }
    if (m_settings->contains(kShownColumnsKey)) {
        NodesLV->showOwnColumns(m_settings->value(kShownColumnsKey).toStringList());
    }
    if (m_settings->contains(kSplitterKey)) {
        NodesSPL->restoreState(m_settings->value(kSplitterKey).toByteArray());
    }
}

void TMainFRM::saveNodeListLayout() {
    if (m_settings == nullptr) {
        return;
    }
    m_settings->setValue(kShownColumnsKey, NodesLV->shownOwnColumns());
    m_settings->setValue(kSplitterKey, NodesSPL->saveState());
}

void TMainFRM::updateFilterLabel() {
    const auto total = static_cast<qulonglong>(m_nodeModel->nodeCount());
    const auto shown = static_cast<qulonglong>(m_nodeModel->rowCount());
    // Room for the widest count of these rows: the box keeps its width while the user types.
    NodeFilterLBL->setMinimumWidth(NodeFilterLBL->fontMetrics().horizontalAdvance(
        QStringLiteral("%1 of %1 nodes").arg(total)));
    NodeFilterLBL->setText(m_nodeModel->filterText().isEmpty()
                               ? QStringLiteral("%1 nodes").arg(total)
                               : QStringLiteral("%1 of %2 nodes").arg(shown).arg(total));
}

void TMainFRM::updateSortIndicator() {
    // An empty list is in no order worth showing.
    NodesLV->header()->setSortIndicatorShown(m_nodeModel->nodeCount() > 0);
    if (const auto& own = m_nodeModel->ownSort()) {
        NodesLV->header()->setSortIndicator(own->column, own->order);
        return;
    }
    NodesLV->header()->setSortIndicator(m_engine->sortColumn(), m_engine->sortDescending()
                                                                    ? Qt::DescendingOrder
                                                                    : Qt::AscendingOrder);
}

void TMainFRM::NodesLVColumnClick(int column) {
    if (column >= NodeListModel::kEngineColumnCount) {
        // The window's own columns: the engine's rows and their order stay as they are.
        const auto& own = m_nodeModel->ownSort();
        const bool again = own && own->column == column;
        m_nodeModel->sortOwnColumn(column, again && own->order == Qt::AscendingOrder
                                               ? Qt::DescendingOrder
                                               : Qt::AscendingOrder);
    } else {
        m_engine->NodesLVColumnClick(column);
    }
    // The header flips its indicator on any click, also one the engine did not sort on.
    updateSortIndicator();
    NodesLV->scrollToSelection();
}

void TMainFRM::NodeFilterEDTChange() {
    NodesLV->setFilterText(NodeFilterEDT->text());
}

void TMainFRM::NodeFilterFocus() {
    NodeFilterEDT->setFocus(Qt::ShortcutFocusReason);
    NodeFilterEDT->selectAll();
}

void TMainFRM::DuplicatesLBClick(int line) {
    if (line < 0 || static_cast<std::size_t>(line) >= lineCount(LineList::Duplicates)) {
        return;
    }
    const std::vector<std::size_t> rows = m_engine->nodeList().rowsWithCaption(
        utf8ToAnsi(lineAt(LineList::Duplicates, static_cast<std::size_t>(line))));
    if (rows.empty()) {
        return;
    }
    for (const std::size_t row : rows) {
        if (m_nodeModel->rowOfNode(row) < 0) {
            NodeFilterEDT->clear();  // every row of the name is to be seen
            break;
        }
    }
    NodesLV->selectNodes(rows);
}

}  // namespace kavrin
