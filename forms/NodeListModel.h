#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/open/NodeList.h"
#include "forms/NodeNameFilter.h"

namespace kavrin {

class MemoryStream;

// Shows the engine's node list as a table: "Node", "Index", "Active", "Unique", then the window's
// own "Last Online" and "User". The rows live in the NodeList; this model only relays its
// notifications, in whole batches, so that a list of 100,000 rows is filled, reset and sorted
// with one signal each. A sort keeps every persistent index (the selection, the current row) on
// its row.
//
// The model may show fewer rows than the list holds, or the same in another order: those whose
// name passes the filter, ordered by the list or by one of the window's own columns. Row numbers
// of the model are then not the list's: nodeRow() and rowOfNode() translate. The filter stays
// through resets and sorts of the list; the window's own order lasts until the engine reorders
// or rebuilds the list.
class NodeListModel : public QAbstractTableModel, public NodeListObserver {
public:
    enum Column {
        kColumnNode = 0,
        kColumnIndex,
        kColumnActive,
        kColumnUnique,
        kColumnLastOnline,
        kColumnUser,
        kColumnCount
    };
    // Columns below this one are the engine's: it sorts them and owns their texts.
    static constexpr int kEngineColumnCount = kColumnLastOnline;
    // Designed widths of the columns, in pixels.
    static int columnWidth(int column);

    // REQUIRES: `nodes` outlives the model; the caller makes the model its observer.
    NodeListModel(const NodeList& nodes, QObject* parent);

    // The node file body the rows' offsets point into, read for "Last Online" and "User"; null
    // (the default) leaves those columns empty. REQUIRES: `body` outlives the model.
    void setNodeRecords(const MemoryStream* body) { m_body = body; }

    // Shows only the rows whose name passes `text` (NodeNameFilter); "" shows all. A reset.
    void setFilter(const QString& text);
    const QString& filterText() const { return m_filterText; }
    // Orders the rows shown by a column of the window's own (kColumnLastOnline, kColumnUser),
    // equal values in the list's order; keeps persistent indexes on their rows.
    void sortOwnColumn(int column, Qt::SortOrder order);
    struct OwnSort {
        int column;
        Qt::SortOrder order;
    };
    const std::optional<OwnSort>& ownSort() const { return m_ownSort; }

    // Rows of the list, shown or not.
    std::size_t nodeCount() const { return m_nodeCount; }
    // The list's row shown at model row `row`. REQUIRES: 0 <= row < rowCount().
    std::size_t nodeRow(int row) const;
    // The model row showing the list's row `node`; -1 when the filter hides it.
    int rowOfNode(std::size_t node) const;

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
    QVariant ownColumnText(const NodeEntry& entry, int column) const;
    // The record of a row, or null when the body holds none at its offset.
    const std::uint8_t* recordOf(const NodeEntry& entry) const;
    // m_shown, m_rowOf and m_shownRows for the list's rows as they are now.
    void computeShown();
    // m_shown put in the window's own order (if any), then m_rowOf and m_shownRows.
    void orderShown();
    // Moves every persistent index to the row newRow(old row) gives (-1: none).
    template <typename NewRow>
    void movePersistentIndexes(NewRow newRow);

    const NodeList& m_nodes;
    const MemoryStream* m_body = nullptr;
    // Rows the views were last told about: between an about-to-reset and the reset the list
    // already holds its new rows, which the views must not see yet.
    int m_shownRows = 0;
    std::size_t m_nodeCount = 0;
    bool m_resetting = false;
    bool m_sorting = false;

    QString m_filterText;
    NodeNameFilter m_filter;
    std::optional<OwnSort> m_ownSort;
    // Without a filter or an order of its own the model shows the list as it is (model row ==
    // list row) and keeps no vectors; otherwise the list's row of each model row, and the model
    // row of each list row (-1: hidden).
    bool m_mapped = false;
    std::vector<std::uint32_t> m_shown;
    std::vector<std::int32_t> m_rowOf;
};

}  // namespace kavrin
