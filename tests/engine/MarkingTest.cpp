#include <cmath>

#include "engine/EngineFixture.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;

class MarkingTest : public test::EngineTest {
protected:
    // Opens `db` and puts the rows back into file order, so tests can speak of rows by position.
    void openInFileOrder(const DatabaseBuilder& db, Answer offer = Answer::No) {
        open(db, offer);
        if (engine.sortDescending()) {
            engine.NodesLVColumnClick(1);
        }
        engine.NodesLVColumnClick(1);
        engine.NodesLVColumnClick(1);
        ASSERT_FALSE(engine.sortDescending());
    }
    std::string summary(int active, int inactive) const {
        return "Status : " + std::to_string(active + inactive) +
               " Duplicate Records Deleted.  Active(" + std::to_string(active) + ") Inactive(" +
               std::to_string(inactive) + ")";
    }
};

TEST_F(MarkingTest, SelectedRowsAndPopupEnabling) {
    DatabaseBuilder db;
    db.addNode("A");
    db.addNode("B");
    db.addNode("C");
    EXPECT_EQ(engine.deleteUndeleteEnabling(), std::nullopt);  // nothing open
    openInFileOrder(db);

    auto popup = engine.deleteUndeleteEnabling();  // nothing selected: both offered
    ASSERT_TRUE(popup);
    EXPECT_TRUE(popup->deleteEnabled && popup->undeleteEnabled);
    engine.MarkSelectedNodes(true);  // and choosing one does nothing
    EXPECT_FALSE(engine.HasPendingChanges());

    view.selection = {1};
    popup = engine.deleteUndeleteEnabling();
    EXPECT_TRUE(popup->deleteEnabled);
    EXPECT_FALSE(popup->undeleteEnabled);
    engine.MarkSelectedNodes(true);
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 0}));
    popup = engine.deleteUndeleteEnabling();
    EXPECT_FALSE(popup->deleteEnabled);
    EXPECT_TRUE(popup->undeleteEnabled);

    view.selection = {0, 1, 2};
    engine.MarkSelectedNodes(true);
    EXPECT_EQ(icons(), (std::vector<int>{6, 6, 6}));
    popup = engine.deleteUndeleteEnabling();
    EXPECT_TRUE(popup->deleteEnabled && popup->undeleteEnabled);
    view.selection = {0, 2};
    engine.MarkSelectedNodes(false);
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 0}));
}

TEST_F(MarkingTest, OlderThanIsStrictAndNeverUnmarks) {
    DatabaseBuilder db;
    db.addNode("A", 0, 45000.0);
    db.addNode("B", 0, 45000.5);
    db.addNode("C", 0, 44000.0);
    db.addNode("D", 1, std::nan(""));
    openInFileOrder(db);
    view.selection = {1};
    EXPECT_EQ(engine.MarkSelectedNodes(true), 1u);
    EXPECT_EQ(engine.MarkNodesOlderThan(40000.0), 0u);
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 0, 0}));
    EXPECT_EQ(engine.MarkNodesOlderThan(45000.0), 1u);  // equal is not older
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 6, 0}));
    EXPECT_EQ(engine.MarkNodesOlderThan(45000.5), 2u);
    EXPECT_EQ(icons(), (std::vector<int>{6, 6, 6, 0}));
}

// The count the date dialog shows is what OK marks: nodes on both sides of the day and on it,
// one never online, one marked by hand before.
TEST_F(MarkingTest, CountOlderThanIsWhatTheMarkingMarks) {
    DatabaseBuilder db;
    db.addNode("A", 0, 44999.0);
    db.addNode("B", 1, 45000.0);
    db.addNode("C", 0, 45000.25);
    db.addNode("D", 0, 45001.0);
    db.addNode("E", 1, std::nan(""));
    db.addNode("HAND", 0, 44000.0);
    const struct {
        double date;
        std::size_t older;
    } cases[] = {{40000.0, 0}, {44000.0, 0}, {44999.0, 1}, {45000.0, 2},
                 {45000.1, 3}, {45001.0, 4}, {45001.5, 5}, {99999.0, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.date);
        openInFileOrder(db);
        view.selection = {5};
        engine.MarkSelectedNodes(true);
        const std::vector<int> before = icons();

        const std::size_t counted = engine.CountNodesOlderThan(c.date);
        EXPECT_EQ(counted, c.older);
        EXPECT_EQ(icons(), before);  // counting marks nothing

        EXPECT_EQ(engine.MarkNodesOlderThan(c.date), counted);
        std::size_t marked = 0;
        for (int icon : icons()) {
            marked += icon == kIconMarked ? 1 : 0;
        }
        // The hand-marked row is one of the older ones from 44000.0 on.
        EXPECT_EQ(marked, counted + (c.date > 44000.0 ? 0 : 1));
        EXPECT_EQ(engine.nodeList().markedCount(), marked);
    }
}

// Each mark keeps why it was made, first reason first; unmarking forgets it. Fix Duplicates names
// the entry that won in the end, not one that lost later in the same walk.
TEST_F(MarkingTest, EveryMarkKeepsItsFirstReason) {
    DatabaseBuilder db;
    db.addNode("PC1", 0, 45000.0);   // row 0
    db.addNode("pc1", 0, 45001.0);   // row 1
    db.addNode("PC1", 0, 45002.0);   // row 2, 0x000005FA: wins
    db.addNode("OLD", 0, 40000.0);   // row 3
    db.addNode("HAND", 0, 46000.0);  // row 4
    openInFileOrder(db);
    const auto reasons = [this] {
        std::vector<std::string> result;
        for (std::size_t i = 0; i < engine.nodeList().count(); ++i) {
            result.push_back(engine.nodeList().reason(i));
        }
        return result;
    };

    view.selection = {3, 4};
    engine.MarkSelectedNodes(true);
    engine.MarkNodesOlderThan(45001.5);
    const std::string dup = "duplicate of PC1, kept 0x000005FA";
    EXPECT_EQ(reasons(), (std::vector<std::string>{"not online since 2023-03-16T12:00:00",
                                                   "not online since 2023-03-16T12:00:00", "",
                                                   "by hand", "by hand"}));
    view.selection = {0, 4};
    engine.MarkSelectedNodes(false);
    engine.FixDuplicates();
    EXPECT_EQ(icons(), (std::vector<int>{6, 6, 0, 6, 0}));
    EXPECT_EQ(reasons(), (std::vector<std::string>{dup, "not online since 2023-03-16T12:00:00", "",
                                                   "by hand", ""}));
}

TEST_F(MarkingTest, OlderThanFailsOnARecordOutsideTheBody) {
    DatabaseBuilder db;
    db.addNode("A", 0, 1.0);
    db.addNode("B", 0, 1.0);
    openInFileOrder(db);
    // A body shorter than the entries claim: only damage in memory could do this.
    MemoryStream& nodes = engine.context().NodesMS;
    MemoryStream shorter;
    shorter.write(nodes.data(), 765);
    nodes = std::move(shorter);
    // The count fails as the marking does, and marks nothing.
    try {
        (void)engine.CountNodesOlderThan(2.0);
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Cannot read record from NodesMS.");
    }
    EXPECT_EQ(icons(), (std::vector<int>{0, 0}));
    try {
        engine.MarkNodesOlderThan(2.0);
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Cannot read record from NodesMS.");
    }
    EXPECT_EQ(icons(), (std::vector<int>{6, 0}));  // marked before the failure stays marked
}

TEST_F(MarkingTest, FixDuplicatesRules) {
    struct Case {
        const char* what;
        std::vector<std::tuple<std::string, int, double>> nodes;  // name, inactive, last online
        std::vector<int> icons;
        int active, inactive;
    };
    const std::vector<Case> cases = {
        {"inactive loses whatever its date", {{"PC", 1, 9.0}, {"PC", 0, 1.0}}, {6, 0}, 0, 1},
        {"inactive loses further down too", {{"PC", 0, 1.0}, {"PC", 1, 9.0}}, {0, 6}, 0, 1},
        {"both inactive: earlier loses", {{"PC", 3, 9.0}, {"PC", 3, 1.0}}, {0, 6}, 0, 1},
        {"different inactive bytes differ", {{"PC", 1, 9.0}, {"PC", 2, 1.0}}, {6, 0}, 0, 1},
        {"tie goes down the list", {{"PC", 0, 5.0}, {"PC", 0, 5.0}}, {6, 0}, 1, 0},
        {"case-different names are one name",
         {{"PC", 0, 5.0}, {"pc", 0, 6.0}, {"OTHER", 0, 1.0}},
         {6, 0, 0},
         1,
         0},
        {"single entries change nothing", {{"A", 0, 1.0}, {"B", 0, 1.0}}, {0, 0}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DatabaseBuilder db;
        for (const auto& [name, inactive, last] : c.nodes) {
            db.addNode(name, static_cast<std::uint8_t>(inactive), last);
        }
        openInFileOrder(db, Answer::No);
        engine.FixDuplicates();
        EXPECT_EQ(icons(), c.icons);
        EXPECT_EQ(view.health, summary(c.active, c.inactive));
        EXPECT_FALSE(view.busy);
        EXPECT_FALSE(view.progressAreaShown);
        engine.CloseDatabase();
    }
}

TEST_F(MarkingTest, ThreeAlikeCountEachMarkedEntryOnce) {
    DatabaseBuilder db;
    db.addNode("PC", 0, 1.0);
    db.addNode("PC", 0, 2.0);
    db.addNode("PC", 0, 3.0);
    openInFileOrder(db);
    ASSERT_EQ(view.list(LineList::Duplicates).size(), 2u);
    view.progress.clear();
    engine.FixDuplicates();
    EXPECT_EQ(icons(), (std::vector<int>{6, 6, 0}));
    EXPECT_EQ(view.health, summary(2, 0));
    EXPECT_EQ(view.progress, (std::vector<int>{0, 50, 100}));
    EXPECT_EQ(view.actionCaption, "Fixing Duplicates");

    // A second run leaves the same marks; its own comparisons mark only the first entry again.
    engine.FixDuplicates();
    EXPECT_EQ(icons(), (std::vector<int>{6, 6, 0}));
    EXPECT_EQ(view.health, summary(1, 0));
}

TEST_F(MarkingTest, SecondPassCanUndoTheFirstWhenInactiveBytesDiffer) {
    // Bytes 1 and 2 differ, so the later of the two inactive entries wins the first pass; the
    // second pass compares the first entry with the survivor by date and may bring it back.
    DatabaseBuilder db;
    db.addNode("PC", 1, 9.0);
    db.addNode("PC", 2, 1.0);
    db.addNode("PC", 1, 5.0);
    openInFileOrder(db);
    EXPECT_EQ(engine.FixDuplicates().inactiveDeleted, 2u);
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 6}));
    EXPECT_EQ(view.health, summary(0, 2));
}

TEST_F(MarkingTest, HandMarkedEntries) {
    DatabaseBuilder db;
    db.addNode("PC", 0, 9.0);  // first of its name, marked by hand, wins: unmarked
    db.addNode("PC", 0, 5.0);  // marked by hand further down: skipped, stays marked
    db.addNode("PC", 0, 1.0);
    openInFileOrder(db);
    view.selection = {0, 1};
    engine.MarkSelectedNodes(true);
    engine.FixDuplicates();
    EXPECT_EQ(icons(), (std::vector<int>{0, 6, 6}));
    EXPECT_EQ(view.health, summary(1, 0));  // only the third was marked by the fix
}

TEST_F(MarkingTest, OfferYesFixesDuringTheOpen) {
    DatabaseBuilder db;
    db.addNode("PC", 0, 1.0);
    db.addNode("pc", 0, 2.0);
    open(db, Answer::Yes);
    EXPECT_TRUE(engine.context().IsOpen);
    EXPECT_EQ(view.health, summary(1, 0));
    EXPECT_TRUE(view.fixDuplicatesVisible);
    EXPECT_TRUE(engine.HasPendingChanges());
    EXPECT_FALSE(view.busy);
}

TEST_F(MarkingTest, NoDuplicatesStillGivesTheSummary) {
    DatabaseBuilder db;
    db.addNode("A");
    openInFileOrder(db);
    engine.FixDuplicates();
    EXPECT_EQ(view.health, summary(0, 0));
}

}  // namespace
}  // namespace kavrin
