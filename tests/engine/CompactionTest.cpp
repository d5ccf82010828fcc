#include "engine/commit/Compaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "engine/Progress.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RecordingReporter final : public CompactionReporter {
public:
    std::vector<std::string> calls;
    void setPosition(int percent) override { calls.push_back(std::to_string(percent)); }
    void pump() override { calls.push_back("pump"); }
    void titlePassStarting() override { calls.push_back("titles"); }

    std::vector<int> positions() const {
        std::vector<int> result;
        for (const std::string& call : calls) {
            if (call != "pump" && call != "titles") {
                result.push_back(std::stoi(call));
            }
        }
        return result;
    }
};

struct Outcome {
    Bytes nodes, installs, titles;
    std::vector<std::string> calls;
    std::string error;
};

Bytes toBytes(const MemoryStream& body) {
    return {body.span().begin(), body.span().end()};
}

Outcome compact(const Bytes& nodes, const Bytes& installs, const Bytes& titles,
                const std::vector<CompactionEntry>& entries, std::uint64_t runMemory = 0) {
    Outcome outcome;
    RecordingReporter reporter;
    try {
        CompactedBodies bodies =
            compactBodies(nodes, installs, titles, entries, reporter, runMemory);
        outcome.nodes = toBytes(bodies.NewNodesMS);
        outcome.installs = toBytes(bodies.NewInstallsMS);
        outcome.titles = toBytes(bodies.NewTitlesMS);
    } catch (const KavrinError& e) {
        outcome.error = e.what();
    }
    outcome.calls = reporter.calls;
    return outcome;
}

// The commit as the server's own tool describes it, record by record: the whole install body is
// read once per kept node, the whole new install body once per title. Too slow for a real
// database, plain enough to be the yardstick.
Outcome recordByRecord(const Bytes& nodes, const Bytes& installs, const Bytes& titles,
                       const std::vector<CompactionEntry>& entries) {
    Outcome out;
    try {
        const std::size_t n = entries.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (entries[i].marked) {
                continue;
            }
            const std::uint64_t old = entries[i].offset;
            const auto fresh = static_cast<std::uint32_t>(out.nodes.size());
            if (old + node::kSize > nodes.size()) {
                throw KavrinError("Cannot read record from NodesMS.");
            }
            out.nodes.insert(out.nodes.end(), nodes.begin() + static_cast<std::ptrdiff_t>(old),
                             nodes.begin() + static_cast<std::ptrdiff_t>(old + node::kSize));
            for (std::size_t p = 0; p + install::kSize <= installs.size(); p += install::kSize) {
                std::uint8_t record[install::kSize];
                std::copy_n(installs.begin() + static_cast<std::ptrdiff_t>(p), install::kSize,
                            record);
                if (decodeFixed32(record + install::kNodeRef) == old && record[0] == 0) {
                    encodeFixed32(record + install::kNodeRef, fresh);
                    out.installs.insert(out.installs.end(), record, record + install::kSize);
                }
            }
            if (n > 1) {
                out.calls.push_back(std::to_string(progressPercent(i + 1, n)));
            }
            out.calls.push_back("pump");
        }
        out.calls.push_back("titles");
        for (std::size_t f = 0; f + title::kSize <= titles.size(); f += title::kSize) {
            const auto g = static_cast<std::uint32_t>(out.titles.size());
            bool matched = false;
            for (std::size_t p = 0; p + install::kSize <= out.installs.size();
                 p += install::kSize) {
                if (decodeFixed32(&out.installs[p + install::kTitleRef]) == f) {
                    encodeFixed32(&out.installs[p + install::kTitleRef], g);
                    matched = true;
                }
            }
            if (matched) {
                out.titles.insert(out.titles.end(), titles.begin() + static_cast<std::ptrdiff_t>(f),
                                  titles.begin() + static_cast<std::ptrdiff_t>(f + title::kSize));
            }
            if (!titles.empty()) {
                out.calls.push_back(
                    std::to_string(progressPercent(f + title::kSize, titles.size())));
            }
            out.calls.push_back("pump");
        }
    } catch (const KavrinError& e) {
        out.nodes.clear();
        out.installs.clear();
        out.titles.clear();
        out.error = e.what();
    }
    return out;
}

struct RandomDatabase {
    Bytes nodes, installs, titles;
    std::vector<CompactionEntry> entries;
};

// Small databases with every oddity a body can hold: null records, trailing partial records,
// dead installs, references to nothing, to the middle of a record or past the end. With
// `oddEntries`, also entries a node list never holds: repeated, unaligned, null or unreadable.
RandomDatabase randomDatabase(std::mt19937& rng, bool oddEntries) {
    auto below = [&rng](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    auto randomBytes = [&](Bytes& body, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            body.push_back(static_cast<std::uint8_t>(rng()));
        }
    };
    RandomDatabase db;
    const std::uint32_t nodeCount = below(9);
    std::vector<std::uint32_t> named;
    for (std::uint32_t i = 0; i < nodeCount; ++i) {
        randomBytes(db.nodes, node::kSize);
        const bool null = below(5) == 0;
        db.nodes[i * node::kSize + node::kNodeName] =
            static_cast<std::uint8_t>(null ? 0 : 1 + below(16));
        if (!null) {
            named.push_back(i * static_cast<std::uint32_t>(node::kSize));
        }
    }
    if (below(3) == 0) {
        randomBytes(db.nodes, 1 + below(node::kSize - 1));
    }
    const std::uint32_t titleCount = below(7);
    randomBytes(db.titles, titleCount * title::kSize);
    if (below(3) == 0) {
        randomBytes(db.titles, 1 + below(title::kSize - 1));
    }

    for (std::uint32_t offset : named) {
        db.entries.push_back({offset, below(3) == 0});
    }
    std::shuffle(db.entries.begin(), db.entries.end(), rng);
    if (oddEntries) {
        const std::uint32_t extra = below(4);
        for (std::uint32_t k = 0; k < extra; ++k) {
            CompactionEntry entry{below(static_cast<std::uint32_t>(db.nodes.size()) + 1),
                                  below(3) == 0};
            if (below(3) == 0) {
                entry.offset = below(nodeCount + 1) * static_cast<std::uint32_t>(node::kSize);
            } else if (!db.entries.empty() && below(2) == 0) {
                entry.offset =
                    db.entries[below(static_cast<std::uint32_t>(db.entries.size()))].offset;
            }
            db.entries.insert(
                db.entries.begin() + below(static_cast<std::uint32_t>(db.entries.size()) + 1),
                entry);
        }
    }

    auto nodeRef = [&]() -> std::uint32_t {
        switch (below(6)) {
            case 0:
                return static_cast<std::uint32_t>(rng());
            case 1:
                return below(nodeCount + 2) * static_cast<std::uint32_t>(node::kSize);
            case 2:
                return below(nodeCount + 1) * static_cast<std::uint32_t>(node::kSize) + 1 +
                       below(764);
            default:
                if (!db.entries.empty()) {
                    return db.entries[below(static_cast<std::uint32_t>(db.entries.size()))].offset;
                }
                return 0;
        }
    };
    auto titleRef = [&]() -> std::uint32_t {
        switch (below(6)) {
            case 0:
                return static_cast<std::uint32_t>(rng());
            case 1:
                return below(titleCount + 1) * static_cast<std::uint32_t>(title::kSize) + 1 +
                       below(133);
            default:
                return below(titleCount + 2) * static_cast<std::uint32_t>(title::kSize);
        }
    };
    const std::uint32_t installCount = below(40);
    for (std::uint32_t j = 0; j < installCount; ++j) {
        std::uint8_t record[install::kSize];
        record[0] = below(4) == 0 ? static_cast<std::uint8_t>(1 + below(255)) : 0;
        encodeFixed32(record + install::kInstallData, static_cast<std::uint32_t>(rng()));
        encodeFixed32(record + install::kNodeRef, nodeRef());
        encodeFixed32(record + install::kTitleRef, titleRef());
        db.installs.insert(db.installs.end(), record, record + install::kSize);
    }
    if (below(3) == 0) {
        randomBytes(db.installs, 1 + below(install::kSize - 1));
    }
    return db;
}

void expectSameAsRecordByRecord(bool oddEntries, std::uint32_t seeds, std::uint64_t runMemory = 0) {
    for (std::uint32_t seed = 1; seed <= seeds; ++seed) {
        std::mt19937 rng(seed);
        const RandomDatabase db = randomDatabase(rng, oddEntries);
        const Outcome expected = recordByRecord(db.nodes, db.installs, db.titles, db.entries);
        const Outcome actual = compact(db.nodes, db.installs, db.titles, db.entries, runMemory);
        ASSERT_EQ(actual.error, expected.error) << "seed " << seed;
        ASSERT_EQ(actual.nodes, expected.nodes) << "seed " << seed;
        ASSERT_EQ(actual.installs, expected.installs) << "seed " << seed;
        ASSERT_EQ(actual.titles, expected.titles) << "seed " << seed;
        ASSERT_EQ(actual.calls, expected.calls) << "seed " << seed;
    }
}

TEST(CompactionTest, SameBytesAndProgressAsTheRecordByRecordMethod) {
    expectSameAsRecordByRecord(false, 3000);
}

TEST(CompactionTest, EntriesNoNodeListMakesStillGiveTheSameBytes) {
    expectSameAsRecordByRecord(true, 3000);
}

// Notes for a few runs only (16 bytes each): the installs are written a window of nodes at a
// time, and a node whose runs do not fit alone is copied straight from a pass of its own.
TEST(CompactionTest, WindowsOfAFewRunsGiveTheSameBytes) {
    for (const std::uint64_t runs : {1, 2, 5}) {
        expectSameAsRecordByRecord(true, 1000, runs * 16);
    }
}

Bytes namedNodes(std::uint32_t count) {
    Bytes nodes(count * node::kSize, 0x41);
    for (std::uint32_t i = 0; i < count; ++i) {
        nodes[i * node::kSize + node::kNodeName] = 3;
    }
    return nodes;
}

std::vector<CompactionEntry> entriesOf(std::uint32_t count) {
    std::vector<CompactionEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        entries.push_back({i * static_cast<std::uint32_t>(node::kSize), false});
    }
    return entries;
}

TEST(CompactionTest, NodePassReportsEveryKeptEntryByItsRow) {
    std::vector<CompactionEntry> entries = entriesOf(8);
    Outcome all = compact(namedNodes(8), {}, {}, entries);
    EXPECT_EQ(all.calls, (std::vector<std::string>{"12", "pump", "25", "pump", "38", "pump", "50",
                                                   "pump", "62", "pump", "75", "pump", "88", "pump",
                                                   "100", "pump", "titles"}));

    entries[2].marked = true;
    entries[7].marked = true;
    RecordingReporter reporter;
    (void)compactBodies(namedNodes(8), {}, {}, entries, reporter);
    EXPECT_EQ(reporter.positions(), (std::vector<int>{12, 25, 50, 62, 75, 88}));

    Outcome one = compact(namedNodes(1), {}, {}, entriesOf(1));
    EXPECT_EQ(one.calls, (std::vector<std::string>{"pump", "titles"}));
}

TEST(CompactionTest, TitlePassReportsEveryTitleByItsEndInTheBody) {
    Bytes titles(3 * title::kSize + 100, 0x7E);  // 502 bytes: ends at 134, 268, 402
    Outcome outcome = compact(namedNodes(1), {}, titles, entriesOf(1));
    EXPECT_EQ(outcome.calls, (std::vector<std::string>{"pump", "titles", "27", "pump", "53", "pump",
                                                       "80", "pump"}));
    EXPECT_TRUE(outcome.titles.empty());

    Outcome partialOnly = compact({}, {}, Bytes(100, 1), {});
    EXPECT_EQ(partialOnly.calls, (std::vector<std::string>{"titles"}));
}

TEST(CompactionTest, UnreadableEntryFailsWhereThePassReachesIt) {
    Bytes nodes = namedNodes(2);
    nodes.resize(nodes.size() - 1);  // the second record is one byte short
    Outcome outcome = compact(nodes, {}, {}, {{0, false}, {765, false}, {0, false}});
    EXPECT_EQ(outcome.error, "Cannot read record from NodesMS.");
    EXPECT_EQ(outcome.calls, (std::vector<std::string>{"33", "pump"}));

    // Marked, it is never read.
    Outcome skipped = compact(nodes, {}, {}, {{0, false}, {765, true}});
    EXPECT_EQ(skipped.error, "");
    EXPECT_EQ(skipped.nodes.size(), node::kSize);
}

TEST(CompactionTest, ReferencesAreRenumberedToTheNewPositions) {
    // Three nodes listed C, A, B with A marked; installs of B then C in body order.
    Bytes nodes = namedNodes(3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        nodes[i * node::kSize] = static_cast<std::uint8_t>('A' + i);
    }
    Bytes titles(4 * title::kSize);
    for (std::size_t i = 0; i < titles.size(); ++i) {
        titles[i] = static_cast<std::uint8_t>(i / title::kSize);
    }
    auto install = [](std::uint8_t state, std::uint32_t nodeRef, std::uint32_t titleRef) {
        Bytes r(install::kSize, 0x5A);
        r[0] = state;
        encodeFixed32(&r[install::kNodeRef], nodeRef);
        encodeFixed32(&r[install::kTitleRef], titleRef);
        return r;
    };
    Bytes installs;
    for (const Bytes& r : {install(0, 765, 402), install(0, 1530, 134), install(0, 0, 268),
                           install(1, 765, 0), install(0, 765, 999)}) {
        installs.insert(installs.end(), r.begin(), r.end());
    }
    Outcome out = compact(nodes, installs, titles, {{1530, false}, {0, true}, {765, false}});
    ASSERT_EQ(out.error, "");
    ASSERT_EQ(out.nodes.size(), 2 * node::kSize);
    EXPECT_EQ(out.nodes[0], 'C');
    EXPECT_EQ(out.nodes[node::kSize], 'B');
    // C's install first; the titles kept are 1 and 3, now at 0 and 134; 999 names no title.
    Bytes expected;
    for (const Bytes& r : {install(0, 0, 0), install(0, 765, 134), install(0, 765, 999)}) {
        expected.insert(expected.end(), r.begin(), r.end());
    }
    EXPECT_EQ(out.installs, expected);
    ASSERT_EQ(out.titles.size(), 2 * title::kSize);
    EXPECT_EQ(out.titles[0], 1);
    EXPECT_EQ(out.titles[title::kSize], 3);
}

// Installs interleaved record by record (each node's installs spread over the whole body) are
// compacted a window of nodes at a time: every install of a kept node is written, none of a
// removed one. How long it takes is measured by the engine benchmark, BM_CompactionInterleaved.
TEST(CompactionTest, InstallsInterleavedRecordByRecordAreAllWritten) {
    constexpr std::uint32_t kNodes = 20000;
    constexpr std::uint32_t kInstalls = 1000000;
    constexpr std::uint32_t kTitles = 5000;
    Bytes nodes = namedNodes(kNodes);
    Bytes titles(kTitles * title::kSize, 3);
    Bytes installs(static_cast<std::size_t>(kInstalls) * install::kSize, 0);
    std::mt19937 rng(7);
    std::size_t kept = 0;
    for (std::uint32_t j = 0; j < kInstalls; ++j) {
        std::uint8_t* r = &installs[static_cast<std::size_t>(j) * install::kSize];
        const auto nodeIndex = static_cast<std::uint32_t>(rng() % kNodes);
        const auto titleIndex = static_cast<std::uint32_t>(rng() % kTitles);
        encodeFixed32(r + install::kNodeRef, nodeIndex * static_cast<std::uint32_t>(node::kSize));
        encodeFixed32(r + install::kTitleRef,
                      titleIndex * static_cast<std::uint32_t>(title::kSize));
        kept += nodeIndex % 2 == 1 ? 1 : 0;
    }
    std::vector<CompactionEntry> entries = entriesOf(kNodes);
    for (std::size_t i = 0; i < entries.size(); i += 2) {
        entries[i].marked = true;
    }
    RecordingReporter reporter;
    CompactedBodies bodies = compactBodies(nodes, installs, titles, entries, reporter);
    EXPECT_EQ(bodies.NewNodesMS.size(), kNodes / 2 * node::kSize);
    EXPECT_EQ(bodies.NewInstallsMS.size(), kept * install::kSize);
}

}  // namespace
}  // namespace kavrin
