#include "forms/NodeListView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>

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
