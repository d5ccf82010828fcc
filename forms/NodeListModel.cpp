#include "forms/NodeListModel.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <algorithm>

#include "forms/Artwork.h"
#include "support/text/AnsiText.h"

namespace kavrin {

int NodeListModel::columnWidth(int column) {
    static constexpr int kWidths[kColumnCount] = {120, 80, 70, 70};
    return column >= 0 && column < kColumnCount ? kWidths[column] : 0;
}

NodeListModel::NodeListModel(const NodeList& nodes, QObject* parent)
    : QAbstractTableModel(parent), m_nodes(nodes), m_shownRows(static_cast<int>(nodes.count())) {}

int NodeListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_shownRows;
}

int NodeListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant NodeListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || m_resetting || index.row() >= m_shownRows ||
        static_cast<std::size_t>(index.row()) >= m_nodes.count()) {
        return {};
    }
    const NodeEntry& entry = m_nodes.row(static_cast<std::size_t>(index.row()));
    const int column = index.column();
    if (role == Qt::DisplayRole) {
        if (column == kColumnNode) {
            return QString::fromStdString(ansiToUtf8(entry.caption));
        }
        return QString::fromStdString(entry.subItem(static_cast<std::size_t>(column - 1)));
    }
    if (role == Qt::ToolTipRole) {
        // Why a marked row is marked, wherever the pointer rests on it.
        return entry.marked() ? QVariant(QString::fromStdString(m_nodes.reason(entry)))
                              : QVariant();
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
    if (role == Qt::DecorationRole) {
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
    m_shownRows = static_cast<int>(m_nodes.count());
    m_resetting = false;
    endResetModel();
}

void NodeListModel::nodeRowsChanged(std::size_t first, std::size_t last) {
    if (m_resetting || m_shownRows == 0 || first >= static_cast<std::size_t>(m_shownRows)) {
        return;
    }
    const int lastRow = std::min(static_cast<int>(last), m_shownRows - 1);
    emit dataChanged(index(static_cast<int>(first), 0), index(lastRow, kColumnCount - 1));
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
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& old : from) {
        const auto oldRow = static_cast<std::size_t>(old.row());
        if (old.row() < 0 || oldRow >= newIndexOfOld.size()) {
            to.append(QModelIndex());
        } else {
            to.append(index(static_cast<int>(newIndexOfOld[oldRow]), old.column()));
        }
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

}  // namespace kavrin
