#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "engine/open/NodeList.h"

namespace kavrin {
namespace {

struct Recorder : NodeListObserver {
    std::vector<std::string> events;
    std::vector<std::size_t> lastPermutation;
    void nodeListAboutToReset() override { events.push_back("aboutToReset"); }
    void nodeListReset() override { events.push_back("reset"); }
    void nodeRowsChanged(std::size_t first, std::size_t last) override {
        events.push_back("changed " + std::to_string(first) + "-" + std::to_string(last));
    }
    void nodeListAboutToSort() override { events.push_back("aboutToSort"); }
    void nodeListSorted(const std::vector<std::size_t>& newIndexOfOld) override {
        events.push_back("sorted");
        lastPermutation = newIndexOfOld;
    }
};

NodeEntry entry(const std::string& caption, std::uint32_t data = 0) {
    NodeEntry e;
    e.caption = caption;
    e.data = data;
    return e;
}

TEST(NodeListTest, FindByCaptionIsWholeCaseInsensitiveAndForwardOnly) {
    NodeList list;
    for (const char* name : {"PC1", "pc10", "Pc1", "other", "PC1"}) {
        list.addRow(entry(name));
    }
    EXPECT_EQ(list.findCaption("pc1", 0, true), 0u);
    EXPECT_EQ(list.findCaption("pc1", 0, false), 2u);
    EXPECT_EQ(list.findCaption("pc1", 2, true), 2u);
    EXPECT_EQ(list.findCaption("pc1", 2, false), 4u);
    EXPECT_EQ(list.findCaption("pc1", 4, false), std::nullopt);  // no wrap-around
    EXPECT_EQ(list.findCaption("PC", 0, true), std::nullopt);    // not a prefix match
    EXPECT_EQ(list.findCaption("PC10", 0, true), 1u);
    // Accented capitals and small letters of the code page are the same name.
    list.addRow(entry("\xC9T\xC9"));
    EXPECT_EQ(list.findCaption("\xE9t\xE9", 0, true), 5u);
    EXPECT_EQ(list.rowsWithCaption("PC1"), (std::vector<std::size_t>{0, 2, 4}));

    // After a reorder the search follows the new order.
    list.sort([](const NodeEntry& a, const NodeEntry& b) { return a.caption > b.caption; });
    const std::size_t first = *list.findCaption("pc1", 0, true);
    EXPECT_EQ(list.row(first).caption, "Pc1");  // "Pc1" > "PC1" in byte order
    list.clear();
    EXPECT_EQ(list.findCaption("pc1", 0, true), std::nullopt);
}

TEST(NodeListTest, BulkUpdatesNotifyOnceAtTheOutermostEnd) {
    NodeList list;
    Recorder recorder;
    list.setObserver(&recorder);
    list.beginUpdate();
    list.beginUpdate();
    list.clear();
    list.addRow(entry("A"));
    list.addRow(entry("B"));
    list.setIcon(1, kIconMarked);
    list.endUpdate();
    EXPECT_EQ(recorder.events, std::vector<std::string>{"aboutToReset"});
    list.endUpdate();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"aboutToReset", "reset"}));

    recorder.events.clear();
    list.beginUpdate();
    list.setIcon(0, kIconMarked);
    list.setIcon(1, kIconLive);
    list.setIcon(1, kIconLive);  // no change, no notice
    list.endUpdate();
    EXPECT_EQ(recorder.events, std::vector<std::string>{"changed 0-1"});

    recorder.events.clear();
    list.setUnique(1, false);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"changed 1-1"});
    EXPECT_EQ(list.row(1).subItem(kUniqueText), "False");

    // An unmatched end does not underflow into a stuck state.
    list.endUpdate();
    recorder.events.clear();
    list.setIcon(0, kIconLive);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"changed 0-0"});
}

TEST(NodeListTest, SortIsStableAndReportsWhereEachRowWent) {
    NodeList list;
    Recorder recorder;
    for (auto [name, data] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"b", 0}, {"a", 765}, {"b", 1530}, {"a", 2295}}) {
        list.addRow(entry(name, data));
    }
    list.setObserver(&recorder);
    list.sort([](const NodeEntry& x, const NodeEntry& y) { return x.caption < y.caption; });
    std::vector<std::uint32_t> order;
    for (const auto& row : list.rows()) {
        order.push_back(row.data);
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{765, 2295, 0, 1530}));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"aboutToSort", "sorted"}));
    EXPECT_EQ(recorder.lastPermutation, (std::vector<std::size_t>{2, 0, 3, 1}));
}

// A row refers to its reason by a number into the list's table of texts: the reason follows the
// row through sorts, a marked row keeps its first one, a row made live loses it, and rows added
// after a clear, or with a number taken from another list, start without one.
TEST(NodeListTest, ReasonsFollowTheirRowsAndEndWithTheMark) {
    NodeList list;
    for (const char* name : {"c", "a", "b", "d"}) {
        list.addRow(entry(name));
    }
    list.mark(0, "by hand");
    list.mark(1, "not online since 2024-01-01");
    list.mark(2, "by hand");
    list.mark(2, "duplicate of a, kept 0x00000000");  // marked already: keeps the first reason
    list.setReason(3, "by hand");                     // not marked: no reason
    list.sort([](const NodeEntry& x, const NodeEntry& y) { return x.caption < y.caption; });
    auto reasons = [&] {
        std::vector<std::string> result;
        for (const NodeEntry& row : list.rows()) {
            result.push_back(list.reason(row));
        }
        return result;
    };
    EXPECT_EQ(reasons(),
              (std::vector<std::string>{"not online since 2024-01-01", "by hand", "by hand", ""}));
    list.setReason(1, "duplicate of a, kept 0x00000000");
    list.setIcon(2, kIconLive);
    list.setIcon(2, kIconMarked);  // marked again without a reason
    EXPECT_EQ(reasons(), (std::vector<std::string>{"not online since 2024-01-01",
                                                   "duplicate of a, kept 0x00000000", "", ""}));

    NodeList other;
    other.addRow(list.row(1));
    EXPECT_EQ(other.reason(0), "");
    list.clear();
    list.addRow(entry("e"));
    list.setIcon(0, kIconMarked);
    EXPECT_EQ(list.reason(0), "");
}

// The kept count of marked rows against a walk of the rows, through random operations of
// every kind that can change a mark or the rows.
TEST(NodeListTest, MarkedCountFollowsEveryChange) {
    NodeList list;
    std::uint32_t seed = 12345;
    auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % bound;
    };
    for (int step = 0; step < 4000; ++step) {
        const std::size_t n = list.count();
        const std::uint32_t op = next(n == 0 ? 1 : 8);
        const std::size_t row = n == 0 ? 0 : next(static_cast<std::uint32_t>(n));
        if (op == 0) {
            NodeEntry added = entry("n" + std::to_string(step));
            added.icon = next(3) == 0 ? kIconMarked : kIconLive;  // a row may come marked
            list.addRow(added);
        } else if (op == 1) {
            list.mark(row, "by hand");
        } else if (op <= 4) {
            list.setIcon(row, static_cast<int>(next(7)));  // any picture, not only 0 and 6
        } else if (op == 5) {
            list.sort([](const NodeEntry& a, const NodeEntry& b) { return a.icon < b.icon; });
        } else if (op == 6 && next(40) == 0) {
            list.clear();
        } else {
            NodeList::BulkUpdate bulk(list);
            list.setIcon(row, kIconLive);
            list.mark(row, "by hand");
            list.mark(row, "again");
        }
        const auto walked = static_cast<std::size_t>(std::count_if(
            list.rows().begin(), list.rows().end(), [](const NodeEntry& e) { return e.marked(); }));
        ASSERT_EQ(list.markedCount(), walked) << "step " << step;
    }
}

// A reorder a piece at a time moves the rows as one reorder does, and the sorts it tells, one a
// piece, compose to the same move of every row; the list is whole between the pieces.
TEST(NodeListTest, ReorderInPiecesMatchesOneReorder) {
    for (const auto& [size, piece] : std::vector<std::pair<std::uint32_t, std::size_t>>{
             {1, 1}, {7, 3}, {7, 7}, {8, 3}, {50, 1}, {200, 16}}) {
        NodeList whole;
        NodeList pieces;
        std::vector<std::size_t> order(size);
        for (std::uint32_t i = 0; i < size; ++i) {
            whole.addRow(entry("r" + std::to_string(i), i));
            pieces.addRow(entry("r" + std::to_string(i), i));
        }
        // A permutation whatever the sizes: the order of a sort by a scrambled key.
        std::vector<std::uint32_t> key(size);
        for (std::uint32_t i = 0; i < size; ++i) {
            key[i] = (i * 2654435761u) % 1009;
        }
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });

        Recorder recorder;
        pieces.setObserver(&recorder);
        std::vector<std::size_t> where(size);  // where each first row went, by the told sorts
        std::iota(where.begin(), where.end(), std::size_t{0});
        std::size_t betweens = 0;
        auto wholeAtEachPiece = [&] {
            ++betweens;
            std::vector<std::uint32_t> seen;
            for (const NodeEntry& row : pieces.rows()) {
                seen.push_back(row.data);
            }
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(seen.size(), size);
            EXPECT_TRUE(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
            for (std::size_t& at : where) {
                at = recorder.lastPermutation[at];
            }
            recorder.lastPermutation.clear();
        };
        whole.reorder(order);
        pieces.reorder(order, piece, wholeAtEachPiece);
        if (!recorder.lastPermutation.empty()) {
            for (std::size_t& at : where) {
                at = recorder.lastPermutation[at];
            }
        }
        const std::string label = std::to_string(size) + " rows by " + std::to_string(piece);
        EXPECT_EQ(betweens, size <= 1 ? 0 : (size + piece - 1) / piece - 1) << label;
        for (std::uint32_t i = 0; i < size; ++i) {
            EXPECT_EQ(pieces.row(i).data, whole.row(i).data) << label;
            EXPECT_EQ(pieces.row(where[i]).data, i) << label;
        }
    }
}

}  // namespace
}  // namespace kavrin
