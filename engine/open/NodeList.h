#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kavrin {

// The images of the node list's image list.
enum NodeIcon : int {
    kIconLive = 0,       // row icon of an entry that is not marked
    kIconUnique = 1,     // "Unique" True
    kIconCross = 2,      // not used
    kIconActive = 3,     // "Active" True
    kIconInactive = 4,   // "Active" False
    kIconDuplicate = 5,  // "Unique" False
    kIconMarked = 6,     // row icon of an entry marked for deletion
};

enum SubItem : std::size_t { kIndexText = 0, kActiveText = 1, kUniqueText = 2, kSubItemCount = 3 };

// "0x" and the offset as 8 upper-case hexadecimal digits: the "Index" column.
std::string IndexText(std::uint32_t offset);

// One row of the node list. A list holds a row per node, 100,000 and more on large databases, so
// a row keeps only what cannot be derived: the sub-item texts and icons follow from the offset and
// two flags, and the reason of a marked row lives in its list (NodeList::reason).
struct NodeEntry {
    std::string caption;            // the NodeName as stored (ANSI bytes)
    std::uint32_t data = 0;         // BodyOffset of the entry's own node record
    std::uint8_t icon = kIconLive;  // the mark: kIconLive or kIconMarked
    bool active = true;             // "Active": the record is not flagged inactive
    bool unique = true;             // "Unique": no other entry has the same name

    bool marked() const { return icon != kIconLive; }

    // The text of sub-item `subItem` (kIndexText, kActiveText, kUniqueText).
    std::string subItem(std::size_t subItem) const;
    // The image of sub-item `subItem`, or -1 for none.
    int subIcon(std::size_t subItem) const;

private:
    friend class NodeList;
    bool m_spared = false;           // a marking left it unmarked: a protection rule keeps it
    std::uint32_t m_reason = 0;      // the list's reason number; 0: none
    std::uint32_t m_protection = 0;  // the reason number of the rule that protects it; 0: none
};
// A row costs its size once per node: 100,000 rows of 48 bytes are under 5 MB.
static_assert(sizeof(NodeEntry) <= 48, "a node list row is held once per node");

// "True" or "False", as the "Active" and "Unique" columns show a flag.
constexpr std::string_view FlagText(bool flag) {
    return flag ? std::string_view("True") : std::string_view("False");
}

// Told about every change of a NodeList so that a view can show it. Inside a bulk update the
// notifications are gathered and given once when the outermost bracket ends.
class NodeListObserver {
public:
    virtual ~NodeListObserver() = default;
    // Rows are about to be added or removed; nodeListReset() follows once they have been.
    virtual void nodeListAboutToReset() = 0;
    virtual void nodeListReset() = 0;
    // Icons or sub-items of rows first..last changed.
    virtual void nodeRowsChanged(std::size_t first, std::size_t last) = 0;
    // The rows are about to be reordered; nodeListSorted() follows with, for each old index,
    // the row's new index.
    virtual void nodeListAboutToSort() = 0;
    virtual void nodeListSorted(const std::vector<std::size_t>& newIndexOfOld) = 0;
};

// The node list: the engine's working copy of the nodes of the open database, in the order a
// commit writes them. Views observe it; the engine alone changes it.
class NodeList {
public:
    void setObserver(NodeListObserver* observer) { m_observer = observer; }

    std::size_t count() const { return m_rows.size(); }
    const NodeEntry& row(std::size_t index) const { return m_rows[index]; }
    const std::vector<NodeEntry>& rows() const { return m_rows; }
    // Rows marked right now; kept as marks change, so that asking costs nothing.
    std::size_t markedCount() const { return m_markedCount; }

    // Bulk-update brackets; they nest, and the observer hears of the changes at the outermost end.
    // Prefer BulkUpdate, which ends the bracket on every path.
    void beginUpdate();
    void endUpdate();

    // A bulk update for the lifetime of the object.
    class BulkUpdate {
    public:
        explicit BulkUpdate(NodeList& nodes) : m_nodes(nodes) { m_nodes.beginUpdate(); }
        ~BulkUpdate() { m_nodes.endUpdate(); }
        BulkUpdate(const BulkUpdate&) = delete;
        BulkUpdate& operator=(const BulkUpdate&) = delete;

    private:
        NodeList& m_nodes;
    };

    void clear();
    // Makes room for `rows` rows, so that a list built row by row is never moved while it grows.
    void reserve(std::size_t rows);
    // Appends a row, without a reason (a marked row is given one by mark or setReason); returns
    // its index.
    std::size_t addRow(NodeEntry entry);

    // Sets the row icon; a row that becomes live loses its reason.
    void setIcon(std::size_t index, int icon);
    // Marks the row for `reason`; a row marked already keeps its mark and its first reason.
    void mark(std::size_t index, std::string_view reason);
    // Sets the reason of a marked row.
    void setReason(std::size_t index, std::string_view reason);
    // Sets the "Unique" flag of the row; told as a change of the row even when it had it.
    void setUnique(std::size_t index, bool unique);

    // Why the row is marked (UTF-8: "by hand", "not online since 2024-01-01", "duplicate of PC1,
    // kept 0x000002FD"); empty while it is not marked.
    const std::string& reason(std::size_t index) const { return reason(m_rows[index]); }
    // The same for a row of this list.
    const std::string& reason(const NodeEntry& entry) const {
        return m_reasonTexts[entry.m_reason];
    }

    // Protection (engine/marking/Protection.h): a protected row is never marked. Its text
    // ("protected by PATTERN") is kept as reasons are; "" while no rule protects the row.
    const std::string& protection(const NodeEntry& entry) const {
        return m_reasonTexts[entry.m_protection];
    }
    bool isProtected(const NodeEntry& entry) const { return entry.m_protection != 0; }
    // Sets the row's protection ("" for none); a row no longer protected is no longer spared.
    void setProtection(std::size_t index, std::string_view text);
    // A marking would have marked the row but its protection kept it: the preview lists it.
    bool spared(const NodeEntry& entry) const { return entry.m_spared; }
    // Unmarks a protected row that a marking has just marked, as spared; returns whether it was
    // marked.
    bool spare(std::size_t index);
    // What the list shows as the row's reason: the mark's, else its protection's.
    const std::string& shownReason(const NodeEntry& entry) const {
        return entry.marked() ? reason(entry) : protection(entry);
    }

    // The first row at or after `start` (after it when !inclusive) whose whole caption equals
    // `text` without regard to case (ansiSameText); no wrap-around. Constant time, and linear in
    // the rows of that caption before `start`.
    std::optional<std::size_t> findCaption(std::string_view text, std::size_t start,
                                           bool inclusive) const;

    // Every row whose caption equals `text` without regard to case, in ascending order.
    std::vector<std::size_t> rowsWithCaption(std::string_view text) const;

    // Reorders the rows stably by `less` (a strict weak order of two NodeEntry).
    template <typename Less>
    void sort(Less less) {
        std::vector<std::size_t> order(m_rows.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return less(m_rows[a], m_rows[b]); });
        reorder(std::move(order));
    }

    // Puts the row found at index order[i] at index i, told to the observer as a sort.
    // REQUIRES: `order` is a permutation of 0 .. count() - 1.
    void reorder(std::vector<std::size_t> order);
    // The same, `piece` rows at a time: the rows are a whole list again after each piece, told
    // to the observer as a sort of its own, and `between()` is called between two pieces, so
    // that a view can be repainted meanwhile. The list of more than `piece` rows takes four
    // vectors of indexes on the way. REQUIRES: piece > 0.
    void reorder(std::vector<std::size_t> order, std::size_t piece,
                 const std::function<void()>& between);

private:
    void structureAboutToChange();
    // What every reorder does once the rows have moved.
    void rowsMoved();
    void rowsChanged(std::size_t first, std::size_t last);
    // The first row of the caption folded to `key`, or kNoRow; the index made first if need be.
    std::uint32_t firstRowNamed(const std::string& key) const;
    // The slot of the caption folded to `key` (hash `hash`), or the free slot where it goes.
    std::size_t captionSlot(const std::string& key, std::uint32_t hash) const;
    // Adds row `index`, the last so far, to the index.
    void indexRow(std::size_t index) const;

    // The number of `reason` in the reason table, added if new; 0 for the empty text.
    std::uint32_t reasonNumber(std::string_view reason);

    std::vector<NodeEntry> m_rows;
    std::size_t m_markedCount = 0;
    NodeListObserver* m_observer = nullptr;

    // The reasons of marked rows, each text once: marks come in a few texts shared by many rows
    // (one per date marked by, one per name fixed), which a row refers to by number. Texts no
    // longer used stay until the list is cleared. m_reasonTexts[0] is the empty text.
    std::vector<std::string> m_reasonTexts{std::string()};
    std::unordered_map<std::string, std::uint32_t> m_reasonNumbers;

    int m_updateDepth = 0;
    bool m_pendingReset = false;     // a structural change inside the current bulk update
    std::size_t m_changedFirst = 0;  // rows changed inside the current bulk update
    std::size_t m_changedLast = 0;
    bool m_pendingChange = false;

    // Rows by folded caption, a few bytes per row: an open-addressing table of the first and last
    // row of each caption, and per row the next row of its caption, in ascending order. Rebuilt
    // on demand after a sort.
    static constexpr std::uint32_t kNoRow = 0xFFFFFFFF;
    struct CaptionSlot {
        std::uint32_t hash = 0;
        std::uint32_t first = kNoRow;  // kNoRow: a free slot
        std::uint32_t last = kNoRow;
    };
    mutable std::vector<CaptionSlot> m_captionSlots;  // a power of two, at most half full
    mutable std::size_t m_captions = 0;
    mutable std::vector<std::uint32_t> m_nextWithCaption;
    mutable bool m_indexValid = true;
};

}  // namespace kavrin
