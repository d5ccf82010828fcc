#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "common/MemoryView.h"
#include "engine/MaintenanceEngine.h"
#include "engine/open/SortInPieces.h"
#include "support/text/AnsiText.h"

namespace kavrin {
namespace {

std::uint32_t nextRandom(std::uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state >> 32);
}

// The sort of the node list settles most comparisons by a key of the first bytes of each text;
// whatever the texts, the order must be the one a stable sort by the folded comparison gives.
// Texts here are short and long, share long starts, hold NULs, bytes above 0x7F and the
// characters between 'Z' and 'a', which only a wrong folding would move.
std::string randomText(std::uint64_t& state) {
    static const char kAlphabet[] = {'a', 'A', 'b',  'B',    'z',    'Z',    '[', '`',
                                     '0', '-', '\0', '\xD0', '\xE9', '\xFF', '{'};
    auto next = [&state] { return nextRandom(state) >> 1; };
    const std::uint32_t length = next() % 13;
    // Half the texts start alike, so that ties of the first eight bytes are common.
    std::string text = next() % 2 == 0 ? std::string("PC-0000") : std::string();
    for (std::uint32_t i = 0; i < length; ++i) {
        text.push_back(kAlphabet[next() % sizeof kAlphabet]);
    }
    return text;
}

TEST(NodeListSortTest, EveryColumnInBothDirectionsMatchesAStableFoldedSort) {
    test::MemoryView view;
    MaintenanceEngine engine(view);
    std::uint64_t state = 12345;
    NodeList& nodes = engine.nodeList();
    // More rows than one piece of the sort: the view is pumped between the pieces, busy, and a
    // click that arrives meanwhile is refused.
    int pumped = 0;
    bool busyWhilePumped = true;
    view.onPump = [&] {
        ++pumped;
        busyWhilePumped = busyWhilePumped && view.busy;
        engine.NodesLVColumnClick(0);
    };
    for (std::uint32_t i = 0; i < MaintenanceEngine::kSortPiece + 1800; ++i) {
        NodeEntry entry;
        entry.caption = randomText(state);
        // Offsets of all eight hexadecimal digits, letters too, and a third of them shared, so
        // that the "Index" column has ties.
        entry.data = nextRandom(state) % 3 == 0 ? nextRandom(state) % 4 * 0xA00 : nextRandom(state);
        entry.active = nextRandom(state) % 2 == 0;
        entry.unique = nextRandom(state) % 3 == 0;
        nodes.addRow(entry);
    }

    // Each click flips the direction; six clicks give every column both ways and a re-sort of
    // an already sorted list.
    for (int column : {0, 0, 1, 2, 3, 3, 2, 1}) {
        std::vector<NodeEntry> expected = nodes.rows();
        const bool descending = !engine.sortDescending();
        auto text = [column](const NodeEntry& e) {
            return column == 0 ? e.caption : e.subItem(static_cast<std::size_t>(column - 1));
        };
        std::stable_sort(expected.begin(), expected.end(),
                         [&](const NodeEntry& a, const NodeEntry& b) {
                             const int order = asciiCompareText(text(a), text(b));
                             return descending ? order > 0 : order < 0;
                         });

        engine.NodesLVColumnClick(column);
        ASSERT_EQ(engine.sortDescending(), descending);
        // Rows alike in every field cannot be told apart, by the view either.
        using Shown = std::tuple<std::string, std::uint32_t, bool, bool>;
        std::vector<Shown> got, want;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const NodeEntry& row = nodes.row(i);
            got.emplace_back(row.caption, row.data, row.active, row.unique);
            want.emplace_back(expected[i].caption, expected[i].data, expected[i].active,
                              expected[i].unique);
        }
        ASSERT_EQ(got, want) << "column " << column << (descending ? " descending" : " ascending");
    }
    EXPECT_GT(pumped, 0);
    EXPECT_TRUE(busyWhilePumped);
    EXPECT_FALSE(view.busy);
}

// Sorted a piece at a time and merged, a range must come out exactly as from one stable sort:
// sizes around the piece and its multiples, orders with many, few and no ties (each element
// carries its first position, so that the order of equals shows).
TEST(NodeListSortTest, SortInPiecesGivesTheOrderOfOneStableSort) {
    struct Element {
        std::uint32_t key;
        std::uint32_t position;
        bool operator==(const Element&) const = default;
    };
    using Less = bool (*)(const Element&, const Element&);
    const Less orders[] = {
        [](const Element& a, const Element& b) { return a.key % 3 < b.key % 3; },
        [](const Element& a, const Element& b) { return a.key / 64 > b.key / 64; },
        [](const Element& a, const Element& b) { return a.key < b.key; },
        [](const Element&, const Element&) { return false; },
    };
    constexpr std::size_t kPiece = 8;
    std::uint64_t state = 99;
    for (std::size_t size : {0, 1, 7, 8, 9, 16, 17, 40, 64, 65, 1000}) {
        for (std::size_t o = 0; o < std::size(orders); ++o) {
            std::vector<Element> elements(size);
            for (std::size_t i = 0; i < size; ++i) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                elements[i] = {static_cast<std::uint32_t>(state >> 40) % 500,
                               static_cast<std::uint32_t>(i)};
            }
            std::vector<Element> expected = elements;
            std::stable_sort(expected.begin(), expected.end(), orders[o]);
            std::size_t steps = 0;
            stableSortInPieces(elements.begin(), elements.end(), orders[o], kPiece,
                               [&] { ++steps; });
            EXPECT_EQ(elements, expected) << "size " << size << ", order " << o;
            EXPECT_EQ(steps == 0, size <= kPiece) << "size " << size;
        }
    }
}

}  // namespace
}  // namespace kavrin
