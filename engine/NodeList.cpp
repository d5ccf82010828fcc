#include "engine/NodeList.h"

#include <cstdio>

#include "support/AnsiText.h"

namespace kavrin {

std::string IndexText(std::uint32_t offset) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", offset);
    return text;
}

void NodeList::beginUpdate() {
    ++m_updateDepth;
}

void NodeList::endUpdate() {
    if (m_updateDepth == 0 || --m_updateDepth > 0) {
        return;
    }
    if (m_pendingReset) {
        m_pendingReset = false;
        m_pendingChange = false;
        if (m_observer) {
            m_observer->nodeListReset();
        }
    } else if (m_pendingChange) {
        m_pendingChange = false;
        if (m_observer) {
            m_observer->nodeRowsChanged(m_changedFirst, m_changedLast);
        }
    }
}

void NodeList::structureAboutToChange() {
    if (m_updateDepth > 0) {
        if (!m_pendingReset) {
            m_pendingReset = true;
            if (m_observer) {
                m_observer->nodeListAboutToReset();
            }
        }
    } else if (m_observer) {
        m_observer->nodeListAboutToReset();
    }
}

void NodeList::clear() {
    structureAboutToChange();
    m_rows.clear();
    m_captionIndex.clear();
    m_indexValid = true;
    if (m_updateDepth == 0 && m_observer) {
        m_observer->nodeListReset();
    }
}

void NodeList::reserve(std::size_t rows) {
    m_rows.reserve(rows);
    if (m_indexValid && m_captionIndex.empty()) {
        m_captionIndex.reserve(rows);
    }
}

std::size_t NodeList::addRow(NodeEntry entry) {
    structureAboutToChange();
    std::size_t index = m_rows.size();
    if (m_indexValid) {
        // Rows are appended in increasing order, so the index lists stay sorted.
        m_captionIndex[ansiFoldKey(entry.caption)].push_back(index);
    }
    m_rows.push_back(std::move(entry));
    if (m_updateDepth == 0 && m_observer) {
        m_observer->nodeListReset();
    }
    return index;
}

void NodeList::rowsChanged(std::size_t first, std::size_t last) {
    if (m_updateDepth > 0) {
        if (m_pendingReset) {
            return;
        }
        if (!m_pendingChange) {
            m_pendingChange = true;
            m_changedFirst = first;
            m_changedLast = last;
        } else {
            m_changedFirst = std::min(m_changedFirst, first);
            m_changedLast = std::max(m_changedLast, last);
        }
    } else if (m_observer) {
        m_observer->nodeRowsChanged(first, last);
    }
}

void NodeList::setIcon(std::size_t index, int icon) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.icon == icon) {
        return;
    }
    entry.icon = icon;
    if (icon == kIconLive) {
        entry.reason.clear();
    }
    rowsChanged(index, index);
}

void NodeList::mark(std::size_t index, std::string reason) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.marked()) {
        return;
    }
    entry.icon = kIconMarked;
    entry.reason = std::move(reason);
    rowsChanged(index, index);
}

void NodeList::setReason(std::size_t index, std::string reason) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.marked() && entry.reason != reason) {
        entry.reason = std::move(reason);
        rowsChanged(index, index);
    }
}

void NodeList::setSubItem(std::size_t index, std::size_t subItem, std::string text, int icon) {
    NodeEntry& entry = m_rows.at(index);
    entry.subItems.at(subItem) = std::move(text);
    entry.subIcons.at(subItem) = icon;
    rowsChanged(index, index);
}

const std::vector<std::size_t>* NodeList::rowsNamed(std::string_view text) const {
    if (!m_indexValid) {
        m_captionIndex.clear();
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            m_captionIndex[ansiFoldKey(m_rows[i].caption)].push_back(i);
        }
        m_indexValid = true;
    }
    auto it = m_captionIndex.find(ansiFoldKey(text));
    return it == m_captionIndex.end() ? nullptr : &it->second;
}

std::optional<std::size_t> NodeList::findCaption(std::string_view text, std::size_t start,
                                                 bool inclusive) const {
    const std::vector<std::size_t>* rows = rowsNamed(text);
    if (rows == nullptr) {
        return std::nullopt;
    }
    auto it = inclusive ? std::lower_bound(rows->begin(), rows->end(), start)
                        : std::upper_bound(rows->begin(), rows->end(), start);
    if (it == rows->end()) {
        return std::nullopt;
    }
    return *it;
}

std::vector<std::size_t> NodeList::rowsWithCaption(std::string_view text) const {
    const std::vector<std::size_t>* rows = rowsNamed(text);
    return rows == nullptr ? std::vector<std::size_t>{} : *rows;
}

void NodeList::reorder(std::vector<std::size_t> order) {
    const std::size_t n = m_rows.size();
    if (n < 2) {
        return;
    }
    // A reorder is told at once even inside a bulk update (views must move their selection with
    // the rows), unless the whole list is being replaced anyway.
    const bool tell = m_observer != nullptr && !(m_updateDepth > 0 && m_pendingReset);
    if (tell) {
        m_observer->nodeListAboutToSort();
    }
    std::vector<std::size_t> newIndexOfOld(n);
    for (std::size_t i = 0; i < n; ++i) {
        newIndexOfOld[order[i]] = i;
    }
    // Cycle by cycle, so that no second list of 100,000 rows is allocated and touched: on large
    // databases fresh memory costs more than the moves. A placed row is marked by order[i] == i.
    for (std::size_t start = 0; start < n; ++start) {
        if (order[start] == start) {
            continue;
        }
        NodeEntry held = std::move(m_rows[start]);
        std::size_t to = start;
        for (std::size_t from = order[to]; from != start; from = order[to]) {
            m_rows[to] = std::move(m_rows[from]);
            order[to] = to;
            to = from;
        }
        m_rows[to] = std::move(held);
        order[to] = to;
    }
    m_indexValid = false;
    if (m_updateDepth > 0 && m_pendingChange) {
        m_changedFirst = 0;  // the rows changed so far have moved
        m_changedLast = n - 1;
    }
    if (tell) {
        m_observer->nodeListSorted(newIndexOfOld);
    }
}

}  // namespace kavrin
