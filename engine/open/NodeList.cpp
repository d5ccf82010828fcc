#include "engine/open/NodeList.h"

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <utility>

#include "support/text/AnsiText.h"

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
    m_markedCount = 0;
    m_captionSlots.clear();
    m_captions = 0;
    m_nextWithCaption.clear();
    m_indexValid = true;
    m_reasonTexts.resize(1);
    m_reasonNumbers.clear();
    if (m_updateDepth == 0 && m_observer) {
        m_observer->nodeListReset();
    }
}

void NodeList::reserve(std::size_t rows) {
    m_rows.reserve(rows);
    m_nextWithCaption.reserve(rows);
}

std::size_t NodeList::addRow(NodeEntry entry) {
    structureAboutToChange();
    std::size_t index = m_rows.size();
    // A number of another list's table would name a wrong text here.
    entry.m_reason = 0;
    entry.m_protection = 0;
    entry.m_spared = false;
    m_rows.push_back(std::move(entry));
    if (m_rows.back().marked()) {
        ++m_markedCount;
    }
    if (m_indexValid) {
        indexRow(index);  // appended last, so each caption's rows stay in ascending order
    }
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

std::string NodeEntry::subItem(std::size_t subItem) const {
    switch (subItem) {
        case kIndexText:
            return IndexText(data);
        case kActiveText:
            return std::string(FlagText(active));
        case kUniqueText:
            return std::string(FlagText(unique));
        default:
            throw std::out_of_range("NodeEntry::subItem");
    }
}

int NodeEntry::subIcon(std::size_t subItem) const {
    switch (subItem) {
        case kIndexText:
            return -1;
        case kActiveText:
            return active ? kIconActive : kIconInactive;
        case kUniqueText:
            return unique ? kIconUnique : kIconDuplicate;
        default:
            throw std::out_of_range("NodeEntry::subIcon");
    }
}

std::uint32_t NodeList::reasonNumber(std::string_view reason) {
    if (reason.empty()) {
        return 0;
    }
    const auto [it, added] = m_reasonNumbers.try_emplace(
        std::string(reason), static_cast<std::uint32_t>(m_reasonTexts.size()));
    if (added) {
        try {
            m_reasonTexts.push_back(it->first);
        } catch (...) {
            m_reasonNumbers.erase(it);
            throw;
        }
    }
    return it->second;
}

void NodeList::setIcon(std::size_t index, int icon) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.icon == icon) {
        return;
    }
    const bool wasMarked = entry.marked();
    entry.icon = static_cast<std::uint8_t>(icon);
    if (entry.marked() != wasMarked) {
        wasMarked ? --m_markedCount : ++m_markedCount;
    }
    if (icon == kIconLive) {
        entry.m_reason = 0;
    }
    rowsChanged(index, index);
}

void NodeList::mark(std::size_t index, std::string_view reason) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.marked()) {
        return;
    }
    const std::uint32_t number = reasonNumber(reason);
    entry.icon = kIconMarked;
    entry.m_reason = number;
    ++m_markedCount;
    rowsChanged(index, index);
}

void NodeList::setReason(std::size_t index, std::string_view reason) {
    NodeEntry& entry = m_rows.at(index);
    if (entry.marked() && m_reasonTexts[entry.m_reason] != reason) {
        entry.m_reason = reasonNumber(reason);
        rowsChanged(index, index);
    }
}

void NodeList::setProtection(std::size_t index, std::string_view text) {
    NodeEntry& entry = m_rows.at(index);
    const std::uint32_t number = reasonNumber(text);
    if (entry.m_protection != number || (number == 0 && entry.m_spared)) {
        entry.m_protection = number;
        entry.m_spared = entry.m_spared && number != 0;
        rowsChanged(index, index);
    }
}

bool NodeList::spare(std::size_t index) {
    NodeEntry& entry = m_rows.at(index);
    const bool wasMarked = entry.marked();
    setIcon(index, kIconLive);
    if (!entry.m_spared) {
        entry.m_spared = true;
        rowsChanged(index, index);
    }
    return wasMarked;
}

void NodeList::setUnique(std::size_t index, bool unique) {
    m_rows.at(index).unique = unique;
    rowsChanged(index, index);
}

namespace {

std::uint32_t hashOf(const std::string& key) {
    const std::size_t hash = std::hash<std::string>{}(key);
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

}  // namespace

std::size_t NodeList::captionSlot(const std::string& key, std::uint32_t hash) const {
    const std::size_t mask = m_captionSlots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const CaptionSlot& slot = m_captionSlots[i];
        if (slot.first == kNoRow ||
            (slot.hash == hash && ansiFoldKey(m_rows[slot.first].caption) == key)) {
            return i;
        }
    }
}

void NodeList::indexRow(std::size_t index) const {
    if ((m_captions + 1) * 2 > m_captionSlots.size()) {
        // Twice as large; the captions are distinct, so each slot moves by its hash alone.
        std::vector<CaptionSlot> old = std::exchange(
            m_captionSlots,
            std::vector<CaptionSlot>(std::max<std::size_t>(64, m_captionSlots.size() * 2)));
        const std::size_t mask = m_captionSlots.size() - 1;
        for (const CaptionSlot& slot : old) {
            if (slot.first != kNoRow) {
                std::size_t i = slot.hash & mask;
                while (m_captionSlots[i].first != kNoRow) {
                    i = (i + 1) & mask;
                }
                m_captionSlots[i] = slot;
            }
        }
    }
    const std::string key = ansiFoldKey(m_rows[index].caption);
    const std::uint32_t hash = hashOf(key);
    CaptionSlot& slot = m_captionSlots[captionSlot(key, hash)];
    const auto row = static_cast<std::uint32_t>(index);
    m_nextWithCaption.resize(index + 1, kNoRow);
    m_nextWithCaption[index] = kNoRow;
    if (slot.first == kNoRow) {
        slot = {hash, row, row};
        ++m_captions;
    } else {
        m_nextWithCaption[slot.last] = row;
        slot.last = row;
    }
}

std::uint32_t NodeList::firstRowNamed(const std::string& key) const {
    if (!m_indexValid) {
        m_captionSlots.clear();
        m_captions = 0;
        m_nextWithCaption.clear();
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            indexRow(i);
        }
        m_indexValid = true;
    }
    if (m_captionSlots.empty()) {
        return kNoRow;
    }
    return m_captionSlots[captionSlot(key, hashOf(key))].first;
}

std::optional<std::size_t> NodeList::findCaption(std::string_view text, std::size_t start,
                                                 bool inclusive) const {
    for (std::uint32_t row = firstRowNamed(ansiFoldKey(text)); row != kNoRow;
         row = m_nextWithCaption[row]) {
        if (inclusive ? row >= start : row > start) {
            return row;
        }
    }
    return std::nullopt;
}

std::vector<std::size_t> NodeList::rowsWithCaption(std::string_view text) const {
    std::vector<std::size_t> rows;
    for (std::uint32_t row = firstRowNamed(ansiFoldKey(text)); row != kNoRow;
         row = m_nextWithCaption[row]) {
        rows.push_back(row);
    }
    return rows;
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
    rowsMoved();
    if (tell) {
        m_observer->nodeListSorted(newIndexOfOld);
    }
}

void NodeList::rowsMoved() {
    m_indexValid = false;
    if (m_updateDepth > 0 && m_pendingChange) {
        m_changedFirst = 0;  // the rows changed so far have moved
        m_changedLast = m_rows.size() - 1;
    }
}

void NodeList::reorder(std::vector<std::size_t> order, std::size_t piece,
                       const std::function<void()>& between) {
    const std::size_t n = m_rows.size();
    if (n <= piece) {
        reorder(std::move(order));
        return;
    }
    const bool tell = m_observer != nullptr && !(m_updateDepth > 0 && m_pendingReset);
    // Position by position from the top, each row swapped into its place, so that the list is
    // whole between two pieces: after a piece every row above its end is where it belongs.
    // at[i]: the row (by its index before the reorder) now at index i; where: the inverse.
    std::vector<std::size_t> at(n);
    std::iota(at.begin(), at.end(), std::size_t{0});
    std::vector<std::size_t> where = at;
    std::vector<std::size_t> before;
    std::vector<std::size_t> newIndexOfOld;
    for (std::size_t first = 0; first < n; first += piece) {
        if (first > 0) {
            between();
        }
        if (tell) {
            before = at;
            m_observer->nodeListAboutToSort();
        }
        for (std::size_t i = first; i < std::min(n, first + piece); ++i) {
            const std::size_t from = where[order[i]];  // i or further down
            if (from != i) {
                std::swap(m_rows[i], m_rows[from]);
                at[from] = at[i];
                where[at[from]] = from;
                at[i] = order[i];
                where[order[i]] = i;
            }
        }
        rowsMoved();
        if (tell) {
            newIndexOfOld.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                newIndexOfOld[i] = where[before[i]];
            }
            m_observer->nodeListSorted(newIndexOfOld);
        }
    }
}

}  // namespace kavrin
