#include <algorithm>
#include <functional>

#include "dbformat/Layout.h"
#include "dbformat/Records.h"
#include "engine/MaintenanceEngine.h"
#include "engine/Progress.h"
#include "engine/open/SortInPieces.h"
#include "support/text/AnsiText.h"

namespace kavrin {

void MaintenanceEngine::BuildNodeList(std::uint32_t total) {
    const MemoryStream& body = m_ctx.NodesMS;
    const std::uint8_t* data = body.data();
    const std::uint64_t size = body.size();
    m_nodes.reserve(m_nodes.count() + size / node::kSize);
    // Whole records only: a trailing part of a record is never read as one.
    for (std::uint64_t offset = 0; offset + node::kSize <= size; offset += node::kSize) {
        const NodeRecordView record(data + offset);
        ++m_counts.RecordsRead;
        if (record.isNullRecord()) {
            ++m_counts.NullCount;
            continue;
        }

        NodeEntry entry;
        entry.caption = std::string(record.nodeNameAsName());
        entry.data = static_cast<std::uint32_t>(offset);
        entry.icon = kIconLive;
        entry.active = record.inactive() == 0;
        if (entry.active) {
            ++m_counts.ActiveCount;
        }

        // The list's caption index holds exactly the names seen so far (the list was emptied
        // before the build), so it serves as the set of seen names and gives the first row too.
        const std::optional<std::size_t> first = m_nodes.findCaption(entry.caption, 0, true);
        if (!first) {
            entry.unique = true;
            m_nodes.addRow(std::move(entry));
        } else {
            ++m_counts.DuplicateCount;
            entry.unique = false;
            m_view.appendLine(LineList::Duplicates, ansiToUtf8(entry.caption));
            m_duplicateNames.push_back(entry.caption);
            m_nodes.addRow(std::move(entry));
            // While the list is built the rows are in file order, so the first row of the name is
            // its first occurrence.
            m_nodes.setUnique(*first, false);
        }

        m_view.setProgressPosition(
            progressPercent(static_cast<std::uint64_t>(m_counts.RecordsRead), total));
        pumpEvents();
    }
}

void MaintenanceEngine::ShowDuplicateStatus() {
    m_sortColumn = 0;
    m_sortDescending = false;
    sortNodeList();
    if (m_counts.DuplicateCount < 1) {
        m_view.setHealthText("Status  : Healthy");
        m_view.setFixDuplicatesVisible(false);
        return;
    }
    m_view.setHealthText("Status : Duplicate Records Found");
    m_sortColumn = 3;
    m_sortDescending = false;
    sortNodeList();
    m_view.setDuplicatesTabVisible(true);
    m_view.selectPage(Page::DBStats);
    OfferFixDuplicates();
    m_view.setFixDuplicatesVisible(true);
}

namespace {

// What orders the "Index" (1), "Active" (2) and "Unique" (3) columns exactly as their texts do:
// "0x" and eight upper-case hexadecimal digits order as the offsets, "False" comes before "True".
std::uint32_t columnValue(const NodeEntry& entry, int column) {
    switch (column) {
        case 1:
            return entry.data;
        case 2:
            return entry.active ? 1 : 0;
        default:
            return entry.unique ? 1 : 0;
    }
}

}  // namespace

int MaintenanceEngine::NodesLVCompare(const NodeEntry& item1, const NodeEntry& item2) const {
    int result = 0;
    if (m_sortColumn == 0) {
        result = asciiCompareText(item1.caption, item2.caption);
    } else {
        const std::uint32_t a = columnValue(item1, m_sortColumn);
        const std::uint32_t b = columnValue(item2, m_sortColumn);
        result = a < b ? -1 : a > b ? 1 : 0;
    }
    return m_sortDescending ? -result : result;
}

void MaintenanceEngine::NodesLVColumnClick(int column) {
    if (column < 0 || column > 3 || isPumping()) {
        return;
    }
    m_sortColumn = column;
    m_sortDescending = !m_sortDescending;
    sortNodeList();
}

void MaintenanceEngine::SortNodeList(int column, bool descending) {
    if (column < 0 || column > 3 || isPumping()) {
        return;
    }
    m_sortColumn = column;
    m_sortDescending = descending;
    sortNodeList();
}

void MaintenanceEngine::sortNodeList() {
    // The same order as a stable sort by NodesLVCompare, but most comparisons are settled by a
    // compact key instead of by reaching into two rows scattered over the list (100,000 rows are
    // about 5 MB): the first eight folded bytes of the caption and its length, or the number a
    // column orders as.
    struct Key {
        std::uint64_t prefix;
        std::uint32_t length;  // up to 8 it makes the key exact; beyond, ties need the texts
        std::uint32_t row;
    };
    const std::vector<NodeEntry>& rows = m_nodes.rows();
    const int column = m_sortColumn;
    std::vector<Key> keys(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (column != 0) {
            // The other columns order as a number (NodesLVCompare): an exact key.
            keys[i] = {columnValue(rows[i], column), 0, static_cast<std::uint32_t>(i)};
            continue;
        }
        const std::string& text = rows[i].caption;
        std::uint64_t prefix = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            const auto c = b < text.size() ? static_cast<unsigned char>(text[b]) : 0u;
            prefix = (prefix << 8) | (c >= 'a' && c <= 'z' ? c - 0x20 : c);
        }
        keys[i] = {prefix, static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), 9)),
                   static_cast<std::uint32_t>(i)};
    }
    const bool descending = m_sortDescending;
    const auto less = [&](const Key& a, const Key& b) {
        if (a.prefix != b.prefix) {
            return (a.prefix < b.prefix) != descending;
        }
        int order = 0;
        if (a.length <= 8 && b.length <= 8) {
            // Equal folded bytes as far as the shorter goes, zeros after it: the shorter is a
            // start of the longer and comes first.
            order = a.length == b.length ? 0 : (a.length < b.length) != descending ? -1 : 1;
        } else {
            order = NodesLVCompare(rows[a.row], rows[b.row]);
        }
        return order != 0 ? order < 0 : a.row < b.row;  // equal texts keep their order
    };
    // A list of more than one piece (250,000 rows take a fifth of a second to sort and as long
    // to move at the end of every open) is sorted and then moved into its order a piece at a
    // time, with the view pumped between the pieces and busy meanwhile like every operation that
    // pumps. While the keys are sorted the rows stay as they were; each piece of the reorder
    // leaves a whole list, told to the view as a sort of its own.
    const std::function<void()> pump = [this] { pumpEvents(); };
    auto sortAndReorder = [&] {
        stableSortInPieces(keys.begin(), keys.end(), less, kSortPiece, pump);
        std::vector<std::size_t> order(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            order[i] = keys[i].row;
        }
        m_nodes.reorder(std::move(order), kSortPiece, pump);
    };
    if (keys.size() <= kSortPiece) {
        sortAndReorder();  // one piece: nothing is pumped
        return;
    }
    m_view.setBusy(true);
    try {
        sortAndReorder();
    } catch (...) {
        m_view.setBusy(false);
        throw;
    }
    m_view.setBusy(false);
}

}  // namespace kavrin
