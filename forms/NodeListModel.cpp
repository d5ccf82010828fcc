#include "forms/NodeListModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <algorithm>
#include <string>

#include "dbformat/Layout.h"
#include "dbformat/MemoryStream.h"
#include "dbformat/Records.h"
#include "forms/Artwork.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

int NodeListModel::columnWidth(int column) {
    static constexpr int kWidths[kColumnCount] = {120, 80, 70, 70, 130, 100};
    return column >= 0 && column < kColumnCount ? kWidths[column] : 0;
}

NodeListModel::NodeListModel(const NodeList& nodes, QObject* parent)
    : QAbstractTableModel(parent),
      m_nodes(nodes),
      m_shownRows(static_cast<int>(nodes.count())),
      m_nodeCount(nodes.count()) {}

int NodeListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_shownRows;
}

int NodeListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

std::size_t NodeListModel::nodeRow(int row) const {
    return m_mapped ? m_shown[static_cast<std::size_t>(row)] : static_cast<std::size_t>(row);
}

int NodeListModel::rowOfNode(std::size_t node) const {
    if (m_mapped) {
        return node < m_rowOf.size() ? m_rowOf[node] : -1;
    }
    return node < static_cast<std::size_t>(m_shownRows) ? static_cast<int>(node) : -1;
}

const std::uint8_t* NodeListModel::recordOf(const NodeEntry& entry) const {
    if (m_body == nullptr || std::uint64_t{entry.data} + node::kSize > m_body->size()) {
        return nullptr;
    }
    return m_body->data() + entry.data;
}

QVariant NodeListModel::ownColumnText(const NodeEntry& entry, int column) const {
    const std::uint8_t* record = recordOf(entry);
    if (record == nullptr) {
        return {};
    }
    // The texts the node's details show for the same fields.
    const NodeRecordView view(record);
    const std::string text =
        column == kColumnLastOnline ? DateTimeText(view.lastOnline()) : ansiToUtf8(view.userName());
    return QString::fromStdString(text);
}

QVariant NodeListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || m_resetting || index.row() >= m_shownRows) {
        return {};
    }
    const std::size_t node = nodeRow(index.row());
    if (node >= m_nodes.count()) {
        return {};
    }
    const NodeEntry& entry = m_nodes.row(node);
    const int column = index.column();
    if (role == Qt::DisplayRole) {
        if (column == kColumnNode) {
            return QString::fromStdString(ansiToUtf8(entry.caption));
        }
        if (column >= kEngineColumnCount) {
            return ownColumnText(entry, column);
        }
        return QString::fromStdString(entry.subItem(static_cast<std::size_t>(column - 1)));
    }
    if (role == Qt::ToolTipRole) {
        // Why a marked row is marked, or what keeps a protected one, wherever the pointer rests.
        const std::string& reason = m_nodes.shownReason(entry);
        return reason.empty() ? QVariant() : QVariant(QString::fromStdString(reason));
    }
    if (entry.marked()) {
        // A marked row reads as one to be removed across its whole width, selected or not.
        switch (role) {
            case Qt::BackgroundRole:
                return QBrush(QColor(0xFB, 0xE3, 0xE1));
            case Qt::ForegroundRole:
                return QBrush(QColor(0x9A, 0x1B, 0x12));
            case Qt::FontRole: {
                QFont font;
                font.setStrikeOut(true);
                return font;
            }
            default:
                break;
        }
    }
    if (role == Qt::DecorationRole && column < kEngineColumnCount) {
        const int icon = column == kColumnNode
                             ? entry.icon
                             : entry.subIcon(static_cast<std::size_t>(column - 1));
        if (icon < 0) {
            return {};
        }
        return imageListIcon(icon);
    }
    return {};
}

QVariant NodeListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case kColumnNode:
            return QStringLiteral("Node");
        case kColumnIndex:
            return QStringLiteral("Index");
        case kColumnActive:
            return QStringLiteral("Active");
        case kColumnUnique:
            return QStringLiteral("Unique");
        case kColumnLastOnline:
            return QStringLiteral("Last Online");
        case kColumnUser:
            return QStringLiteral("User");
        default:
            return {};
    }
}

Qt::ItemFlags NodeListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// --- The rows shown ---------------------------------------------------------------------------

void NodeListModel::computeShown() {
    m_nodeCount = m_nodes.count();
    m_mapped = !m_filter.empty() || m_ownSort.has_value();
    m_shown.clear();
    m_rowOf.clear();
    if (!m_mapped) {
        m_shownRows = static_cast<int>(m_nodeCount);
        return;
    }
    const std::vector<NodeEntry>& rows = m_nodes.rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (m_filter.matches(rows[i].caption)) {
            m_shown.push_back(static_cast<std::uint32_t>(i));
        }
    }
    orderShown();
}

void NodeListModel::orderShown() {
    const std::vector<NodeEntry>& rows = m_nodes.rows();
    if (m_ownSort) {
        // Keys read once, not at every comparison: each is a record somewhere in the body.
        const bool descending = m_ownSort->order == Qt::DescendingOrder;
        auto order = [&](auto keyOf) {
            using Key = decltype(keyOf(rows[0]));
            std::vector<Key> keys(rows.size());
            for (const std::uint32_t node : m_shown) {
                keys[node] = keyOf(rows[node]);
            }
            std::stable_sort(m_shown.begin(), m_shown.end(), [&](std::uint32_t a, std::uint32_t b) {
                return descending ? keys[b] < keys[a] : keys[a] < keys[b];
            });
        };
        if (m_ownSort->column == kColumnLastOnline) {
            order([this](const NodeEntry& entry) {
                const std::uint8_t* record = recordOf(entry);
                return record != nullptr ? NodeRecordView(record).lastOnline() : 0.0;
            });
        } else {
            order([this](const NodeEntry& entry) {
                const std::uint8_t* record = recordOf(entry);
                return record != nullptr ? ansiFoldKey(NodeRecordView(record).userName())
                                         : std::string();
            });
        }
    }
    m_rowOf.assign(rows.size(), -1);
    for (std::size_t row = 0; row < m_shown.size(); ++row) {
        m_rowOf[m_shown[row]] = static_cast<std::int32_t>(row);
    }
    m_shownRows = static_cast<int>(m_shown.size());
}

template <typename NewRow>
void NodeListModel::movePersistentIndexes(NewRow newRow) {
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& old : from) {
        const int row = old.row() < 0 ? -1 : newRow(old.row());
        to.append(row < 0 ? QModelIndex() : index(row, old.column()));
    }
    changePersistentIndexList(from, to);
}

void NodeListModel::setFilter(const QString& text) {
    if (text == m_filterText) {
        return;
    }
    m_filterText = text;
    m_filter = NodeNameFilter(text);
    if (m_resetting) {
        return;  // the reset under way shows it
    }
    beginResetModel();
    computeShown();
    endResetModel();
}

void NodeListModel::sortOwnColumn(int column, Qt::SortOrder order) {
    if (column < kEngineColumnCount || column >= kColumnCount || m_resetting || m_sorting) {
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const bool wasMapped = m_mapped;
    const std::vector<std::uint32_t> oldShown = m_shown;
    m_ownSort = OwnSort{column, order};
    computeShown();
    movePersistentIndexes([&](int old) {
        const std::size_t node =
            wasMapped ? oldShown[static_cast<std::size_t>(old)] : static_cast<std::size_t>(old);
        return m_rowOf[node];
    });
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

// --- Notifications of the list -----------------------------------------------------------------

void NodeListModel::nodeListAboutToReset() {
    if (m_resetting) {
        return;
    }
    m_resetting = true;
    beginResetModel();
}

void NodeListModel::nodeListReset() {
    if (!m_resetting) {
        beginResetModel();
    }
    m_ownSort.reset();  // new rows come in the engine's order
    computeShown();
    m_resetting = false;
    endResetModel();
}

void NodeListModel::nodeRowsChanged(std::size_t first, std::size_t last) {
    if (m_resetting || m_shownRows == 0 || first >= m_nodeCount) {
        return;
    }
    int top = static_cast<int>(first);
    int bottom = std::min(static_cast<int>(last), m_shownRows - 1);
    if (m_ownSort) {
        top = 0;  // scattered over the rows shown
        bottom = m_shownRows - 1;
    } else if (m_mapped) {
        // The rows shown are in the list's order: those of first..last are together.
        const auto from = std::lower_bound(m_shown.begin(), m_shown.end(), first);
        const auto to = std::upper_bound(from, m_shown.end(), last);
        if (from == to) {
            return;
        }
        top = static_cast<int>(from - m_shown.begin());
        bottom = static_cast<int>(to - m_shown.begin()) - 1;
    }
    if (top <= bottom) {
        emit dataChanged(index(top, 0), index(bottom, kColumnCount - 1));
    }
}

void NodeListModel::nodeListAboutToSort() {
    if (m_resetting || m_sorting) {
        return;
    }
    m_sorting = true;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
}

void NodeListModel::nodeListSorted(const std::vector<std::size_t>& newIndexOfOld) {
    if (!m_sorting) {
        return;
    }
    m_sorting = false;
    const bool wasMapped = m_mapped;
    const std::vector<std::uint32_t> oldShown = std::move(m_shown);
    const auto nodeAt = [&](int old) -> std::size_t {
        if (!wasMapped) {
            return static_cast<std::size_t>(old);
        }
        return static_cast<std::size_t>(old) < oldShown.size()
                   ? oldShown[static_cast<std::size_t>(old)]
                   : newIndexOfOld.size();
    };
    // The engine's order now; the filter lets the same rows through wherever they went.
    m_ownSort.reset();
    m_mapped = !m_filter.empty();
    m_shown.clear();
    if (m_mapped) {
        std::vector<bool> shown(newIndexOfOld.size());
        for (const std::uint32_t node : oldShown) {
            if (node < newIndexOfOld.size()) {
                shown[newIndexOfOld[node]] = true;
            }
        }
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (shown[i]) {
                m_shown.push_back(static_cast<std::uint32_t>(i));
            }
        }
        orderShown();
    } else {
        m_rowOf.clear();
        m_shownRows = static_cast<int>(m_nodeCount);
    }
    movePersistentIndexes([&](int old) {
        const std::size_t node = nodeAt(old);
        if (node >= newIndexOfOld.size()) {
            return -1;
        }
        const std::size_t moved = newIndexOfOld[node];
        return m_mapped ? m_rowOf[moved] : static_cast<int>(moved);
    });
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace kavrin
