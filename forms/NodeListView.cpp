#include "forms/NodeListView.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <algorithm>
#include <utility>
#include <vector>

#include "forms/NodeListModel.h"

namespace kavrin {

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
    header()->setSortIndicatorShown(false);
}

void NodeListView::setNodeModel(NodeListModel* model) {
    setModel(model);
    if (model == nullptr) {
        return;
    }
    for (int column = 0; column < NodeListModel::kColumnCount; ++column) {
        header()->resizeSection(column, NodeListModel::columnWidth(column));
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
    std::optional<std::size_t> first;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        const auto top = static_cast<std::size_t>(range.top());
        if (!first || top < *first) {
            first = top;
        }
    }
    return first;
}

bool NodeListView::isSelected(std::size_t row) const {
    return selectionModel()->isSelected(model()->index(static_cast<int>(row), 0));
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
