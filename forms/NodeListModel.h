#pragma once

#include <QAbstractTableModel>
#include <cstddef>
#include <vector>

#include "engine/open/NodeList.h"

namespace kavrin {

// Shows the engine's node list as a table: "Node", "Index", "Active", "Unique". The rows live in
// the NodeList; this model only relays its notifications, in whole batches, so that a list of
// 100,000 rows is filled, reset and sorted with one signal each. A sort keeps every persistent
// index (the selection, the current row) on its row.
class NodeListModel : public QAbstractTableModel, public NodeListObserver {
public:
    enum Column { kColumnNode = 0, kColumnIndex, kColumnActive, kColumnUnique, kColumnCount };
    // Designed widths of the columns, in pixels.
    static int columnWidth(int column);

    // REQUIRES: `nodes` outlives the model; the caller makes the model its observer.
    NodeListModel(const NodeList& nodes, QObject* parent);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // NodeListObserver
    void nodeListAboutToReset() override;
    void nodeListReset() override;
    void nodeRowsChanged(std::size_t first, std::size_t last) override;
    void nodeListAboutToSort() override;
    void nodeListSorted(const std::vector<std::size_t>& newIndexOfOld) override;

private:
    const NodeList& m_nodes;
    // Rows the views were last told about: between an about-to-reset and the reset the list
    // already holds its new rows, which the views must not see yet.
    int m_shownRows = 0;
    bool m_resetting = false;
    bool m_sorting = false;
};

}  // namespace kavrin
