#include "forms/NodeListView.h"

#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <algorithm>
#include <utility>

#include "forms/NodeListModel.h"

namespace kavrin {

namespace {

// Object names of the header menu's actions, by column of the window's own.
const char* ownColumnActionName(int column) {
    return column == NodeListModel::kColumnLastOnline ? "LastOnlineColumnMEN" : "UserColumnMEN";
}

}  // namespace

NodeListView::NodeListView(QWidget* parent) : QTreeView(parent) {
    setObjectName(QStringLiteral("NodesLV"));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    // Without uniform heights selecting every one of 100,000 rows takes over a second.
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setAllColumnsShowFocus(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    header()->setSectionsClickable(true);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    // Set by the window from the engine's order (or the window's own): never by the click alone.
    header()->setSortIndicatorShown(true);
    header()->setContextMenuPolicy(Qt::CustomContextMenu);
    buildColumnsMenu();
}

void NodeListView::buildColumnsMenu() {
    m_columnsMenu = new QMenu(this);
    m_columnsMenu->setObjectName(QStringLiteral("NodeColumnsPOP"));
    m_columnActions.assign(NodeListModel::kColumnCount, nullptr);
    for (const int column : {NodeListModel::kColumnLastOnline, NodeListModel::kColumnUser}) {
        auto* action = new QAction(m_columnsMenu);
        action->setObjectName(QString::fromLatin1(ownColumnActionName(column)));
        action->setCheckable(true);
        connect(action, &QAction::toggled, this, [this, column](bool shown) {
            setOwnColumnShown(column, shown);
            emit columnsChosen();
        });
        m_columnsMenu->addAction(action);
        m_columnActions[static_cast<std::size_t>(column)] = action;
    }
    connect(header(), &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        m_columnsMenu->popup(header()->viewport()->mapToGlobal(pos));
    });
}

void NodeListView::setNodeModel(NodeListModel* model) {
    m_model = model;
    setModel(model);
    if (model == nullptr) {
        return;
    }
    for (int column = 0; column < NodeListModel::kColumnCount; ++column) {
        header()->resizeSection(column, NodeListModel::columnWidth(column));
        if (QAction* action = columnAction(column)) {
            action->setText(model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
            header()->setSectionHidden(column, !action->isChecked());
        }
    }
}

QAction* NodeListView::columnAction(int column) const {
    return column >= 0 && static_cast<std::size_t>(column) < m_columnActions.size()
               ? m_columnActions[static_cast<std::size_t>(column)]
               : nullptr;
}

void NodeListView::setOwnColumnShown(int column, bool shown) {
    header()->setSectionHidden(column, !shown);
    if (shown && header()->sectionSize(column) == 0) {
        header()->resizeSection(column, NodeListModel::columnWidth(column));
    }
}

QStringList NodeListView::shownOwnColumns() const {
    QStringList titles;
    for (const QAction* action : m_columnActions) {
        if (action != nullptr && action->isChecked()) {
            titles.append(action->text());
        }
    }
    return titles;
}

void NodeListView::showOwnColumns(const QStringList& titles) {
    for (QAction* action : m_columnActions) {
        if (action != nullptr) {
            const QSignalBlocker blocker(action);  // a choice remembered, not made again
            action->setChecked(titles.contains(action->text()));
        }
    }
    for (int column = 0; column < NodeListModel::kColumnCount; ++column) {
        if (const QAction* action = columnAction(column)) {
            setOwnColumnShown(column, action->isChecked());
        }
    }
}

std::size_t NodeListView::selectedCount() const {
    std::vector<std::pair<int, int>> spans;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
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

std::optional<std::size_t> NodeListView::firstSelected() const {
    std::optional<int> top;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        if (!top || range.top() < *top) {
            top = range.top();
        }
    }
    if (!top || m_model == nullptr || *top >= m_model->rowCount()) {
        return std::nullopt;
    }
    return m_model->nodeRow(*top);
}

bool NodeListView::isSelected(std::size_t row) const {
    if (m_model == nullptr) {
        return false;
    }
    const int shown = m_model->rowOfNode(row);
    return shown >= 0 && selectionModel()->isSelected(m_model->index(shown, 0));
}

void NodeListView::selectModelRows(const std::vector<int>& rows) {
    QItemSelection selection;
    const int lastColumn = NodeListModel::kColumnCount - 1;
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t j = i + 1;
        while (j < rows.size() && rows[j] == rows[j - 1] + 1) {
            ++j;
        }
        selection.select(m_model->index(rows[i], 0), m_model->index(rows[j - 1], lastColumn));
        i = j;
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void NodeListView::setFilterText(const QString& text) {
    if (m_model == nullptr || text == m_model->filterText()) {
        return;
    }
    // A filter is a reset of the model: the selection and the current row are carried over by
    // the list's row numbers, which the reset leaves as they were.
    std::vector<std::size_t> selected;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            selected.push_back(m_model->nodeRow(row));
        }
    }
    const QModelIndex current = currentIndex();
    const std::optional<std::size_t> currentNode =
        current.isValid() ? std::optional(m_model->nodeRow(current.row())) : std::nullopt;
    const int currentColumn = std::max(0, current.column());

    m_model->setFilter(text);

    std::vector<int> rows;
    for (const std::size_t node : selected) {
        if (const int row = m_model->rowOfNode(node); row >= 0) {
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    selectModelRows(rows);
    if (currentNode) {
        if (const int row = m_model->rowOfNode(*currentNode); row >= 0) {
            selectionModel()->setCurrentIndex(m_model->index(row, currentColumn),
                                              QItemSelectionModel::NoUpdate);
        }
    }
    scrollToSelection();
}

void NodeListView::selectNodes(const std::vector<std::size_t>& nodes) {
    if (m_model == nullptr) {
        return;
    }
    std::vector<int> rows;
    for (const std::size_t node : nodes) {
        if (const int row = m_model->rowOfNode(node); row >= 0) {
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    selectModelRows(rows);
    if (!rows.empty()) {
        selectionModel()->setCurrentIndex(m_model->index(rows.front(), 0),
                                          QItemSelectionModel::NoUpdate);
        scrollToSelection();
    }
}

void NodeListView::scrollToSelection() {
    QModelIndex target = currentIndex();
    if (!target.isValid() || !selectionModel()->isSelected(target)) {
        int top = -1;
        for (const QItemSelectionRange& range : selectionModel()->selection()) {
            top = top < 0 ? range.top() : std::min(top, range.top());
        }
        target = top >= 0 ? model()->index(top, 0) : QModelIndex();
    }
    if (target.isValid()) {
        scrollTo(target);
    }
}

void NodeListView::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    emit mouseUp();
}

void NodeListView::keyReleaseEvent(QKeyEvent* event) {
    QTreeView::keyReleaseEvent(event);
    // An auto-repeated key is still held down.
    if (!event->isAutoRepeat()) {
        emit keyUp();
    }
}

}  // namespace kavrin
