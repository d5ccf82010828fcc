#include <chrono>
#include <filesystem>

#include <cmath>
#include "dbformat/Coding.h"

#include "common/TestPlatform.h"
#include "engine/EngineFixture.h"
#include "support/fs/Paths.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;
namespace fs = std::filesystem;

class OpenDatabaseTest : public test::EngineTest {};

TEST_F(OpenDatabaseTest, StatisticsLinesAndOpenState) {
    DatabaseBuilder db;
    DatabaseBuilder::setHeader(db.nodeHeader, 1, 2, "Inventory & Co", "Main site", 45000.0, 45001.5,
                               44000.25, 1);
    db.addNode("PC1");
    db.addNode("PC2", 3);
    db.addNullRecord();
    db.addTitle(1);
    db.addInstall(0, 0);
    db.addInstall(765, 0);
    open(db);

    EXPECT_EQ(
        view.list(LineList::DBStats),
        (std::vector<std::string>{
            "DB Name : Inventory & Co", "Comment : Main site", "Type : 1", "Version : 2",
            "Upgaded : " + test::forPlatform("06/18/20 06:00:00", "6/18/2020 6:00:00 AM"),
            "Upgrade from Version : 1", "Created : " + test::forPlatform("03/15/23", "3/15/2023"),
            "Updated : " + test::forPlatform("03/16/23 12:00:00", "3/16/2023 12:00:00 PM"),
            "Total Nodes : 3", "Total Software Titles : 1", "Total Software Installs : 2",
            "Total Active Node Records : 1", "Total Duplicate Node Records : 0",
            "Total Null Node Records : 1"}));
    EXPECT_TRUE(engine.context().IsOpen);
    EXPECT_TRUE(view.connected);
    EXPECT_EQ(view.connectedFolder, folder.path());
    EXPECT_EQ(view.health, "Status  : Healthy");
    EXPECT_FALSE(view.fixDuplicatesVisible);
    EXPECT_FALSE(view.duplicatesTabVisible);
    EXPECT_TRUE(view.commandsOpen);
    EXPECT_FALSE(view.busy);
    EXPECT_FALSE(view.progressAreaShown);
    EXPECT_EQ(view.actionCaption, "Opening");
    EXPECT_TRUE(view.questions.empty());
    // The log names the files as the open spells them, though the folder holds Kavrin.cmp.
    EXPECT_EQ(view.list(LineList::Log),
              (std::vector<std::string>{"Loading : " + folder.file("kavrin.cmp"),
                                        "Loading : " + folder.file("kavrin.ist"),
                                        "Loading : " + folder.file("kavrin.ttl")}));
}

TEST_F(OpenDatabaseTest, UnsetDatesAndLongTexts) {
    DatabaseBuilder db;
    DatabaseBuilder::setHeader(db.nodeHeader, 1, 2, std::string(64, 'n'), "c", 0.0, 0.999, 0.0, 5);
    db.nodeHeader.bytes[8] = 255;  // a name length above the capacity shows 64 bytes
    encodeDouble(&db.nodeHeader.bytes[210], std::nan(""));
    open(db);
    const auto& stats = view.list(LineList::DBStats);
    ASSERT_GE(stats.size(), 7u);
    EXPECT_EQ(stats[0], "DB Name : " + std::string(64, 'n'));
    EXPECT_EQ(stats[4], "Uprgaded : ");
    EXPECT_EQ(stats[5], "Created : ");
    EXPECT_EQ(stats[6], "Updated : ");
    EXPECT_EQ(stats[7], "Total Nodes : 0");
}

TEST_F(OpenDatabaseTest, MissingFilesAreReportedInOrder) {
    const std::string base = folder.path();
    engine.OpenDatabase();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0],
              "Error: \"The database does not exist.\"\r\n\r\n" + folder.file("kavrin.cmp"));

    DatabaseBuilder db;
    db.write(base);
    fs::remove(folder.file("Kavrin.ist"));
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(),
              "Error: \"The database does not exist.\"\r\n\r\n" + folder.file("Kavrin.ist"));

    db.write(base);
    fs::remove(folder.file("Kavrin.ttl"));
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(),
              "Error: \"The database does not exist.\"\r\n\r\n" + folder.file("Kavrin.ttl"));

    // A separator typed at the end is doubled, as typed.
    const std::string separator(1, nativeSeparator());
    view.location = base + separator;
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(), "Error: \"The database does not exist.\"\r\n\r\n" + base +
                                      separator + separator + "Kavrin.ttl");
    view.location = "";
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(),
              "Error: \"The database does not exist.\"\r\n\r\n" + separator + "kavrin.cmp");
}

TEST_F(OpenDatabaseTest, ServerModeNamesTheShareWithBackslashes) {
    view.server = true;
    view.location = "SRV1";
    EXPECT_EQ(engine.ResolveDatabaseFolder(), "\\\\SRV1\\Kavrin$");
    engine.OpenDatabase();
    ASSERT_EQ(view.errors.size(), 1u);
    // The design's message, then why: no server of that name answers here.
    EXPECT_TRUE(view.errors[0].starts_with(
        "Error: \"The database does not exist.\"\r\n\r\n\\\\SRV1\\Kavrin$\\kavrin.cmp\r\n\r\n"
        "The share \\\\SRV1\\Kavrin$ could not be read : "))
        << view.errors[0];
    EXPECT_EQ(engine.context().DatabaseFolder, "\\\\SRV1\\Kavrin$");
}

TEST_F(OpenDatabaseTest, FailedOpensEndClosedAndKeepTheLog) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.setHeaders(1, 3);
    db.write(folder.path());
    view.trace.clear();
    engine.OpenDatabase();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0],
              "Error: \"The database is not the correct version.\"\n\rThe database is : version 3");
    EXPECT_FALSE(engine.context().IsOpen);
    EXPECT_EQ(engine.nodeList().count(), 0u);
    EXPECT_TRUE(view.list(LineList::DBStats).empty());
    EXPECT_FALSE(view.commandsOpen);
    EXPECT_FALSE(view.busy);
    EXPECT_EQ(view.list(LineList::Log).size(), 3u);
    EXPECT_EQ(engine.context().DatabaseFolder, folder.path());
    // The end steps ran (commands enabled for a moment) before the error box, then the close.
    auto at = [&](const std::string& op) {
        return std::find(view.trace.begin(), view.trace.end(), op) - view.trace.begin();
    };
    EXPECT_LT(at("busy:off"), at("error"));
    EXPECT_LT(at("commands:open"), at("error"));
    EXPECT_LT(at("error"), at("commands:closed"));

    // A header shorter than 230 bytes in the install file.
    db.setHeaders(1, 2);
    db.write(folder.path());
    test::writeFileBytes(folder.file("Kavrin.ist"), std::vector<std::uint8_t>(100, 0));
    // Named as the file system names it: in its own case on Windows.
    EXPECT_EQ(test::folded(engine.OpenDatabase().unreadFile),
              test::folded(folder.file("Kavrin.ist")));
    EXPECT_EQ(view.errors.back(), "Cannot not read DB file header.");
    EXPECT_EQ(view.list(LineList::Log).size(), 5u);  // the node and install files were loading
}

TEST_F(OpenDatabaseTest, OnlyTheNodeFileHeaderCounts) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.installHeader.bytes[0] = 9;  // type 9
    db.titleHeader.bytes[4] = 9;    // version 9
    open(db);
    EXPECT_TRUE(engine.context().IsOpen);
    EXPECT_EQ(engine.context().Header, db.nodeHeader);
}

TEST_F(OpenDatabaseTest, OpeningChangesNothingOnDisk) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.addNode("pc1");
    db.write(folder.path());
    auto snapshot = [&] {
        std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
            files.emplace_back(entry.path().string(),
                               entry.is_regular_file() ? test::readFileBytes(entry.path().string())
                                                       : std::vector<std::uint8_t>{});
        }
        std::sort(files.begin(), files.end());
        return files;
    };
    const auto before = snapshot();
    reopen(Answer::Yes);  // fixing duplicates marks, it writes nothing
    EXPECT_EQ(snapshot(), before);
    db.setHeaders(3, 2);
    db.write(folder.path());
    const auto broken = snapshot();
    view.answers = {Answer::No};  // the marks made by the fix are dropped
    engine.OpenDatabase();
    EXPECT_FALSE(view.errors.empty());
    EXPECT_EQ(snapshot(), broken);
}

TEST_F(OpenDatabaseTest, NodeListRowsPointAtTheirOwnRecords) {
    DatabaseBuilder db;
    db.addNode("ALPHA");
    db.addNullRecord();
    db.addNode("BETA", 2);
    test::NodeSpec longName;
    longName.name = std::string(16, 'L') + "tail";
    db.addNode(longName);
    db.nodes.insert(db.nodes.end(), 700, 0x41);  // a trailing partial record
    open(db);
    ASSERT_EQ(engine.nodeList().count(), 3u);
    const NodeEntry& beta = engine.nodeList().row(rowOf("BETA"));
    EXPECT_EQ(beta.data, 1530u);
    EXPECT_EQ(beta.subItem(kIndexText), "0x000005FA");
    EXPECT_EQ(beta.subItem(kActiveText), "False");
    EXPECT_EQ(beta.subIcon(kActiveText), kIconInactive);
    EXPECT_EQ(beta.subItem(kUniqueText), "True");
    EXPECT_EQ(beta.subIcon(kUniqueText), kIconUnique);
    EXPECT_EQ(beta.icon, kIconLive);
    EXPECT_EQ(engine.nodeList().row(rowOf("ALPHA")).subItem(kActiveText), "True");
    EXPECT_EQ(engine.nodeList().row(rowOf(longName.name)).data, 2295u);
    EXPECT_EQ(engine.counts().RecordsRead, 4);
    EXPECT_EQ(engine.counts().NullCount, 1);
    EXPECT_EQ(engine.counts().ActiveCount, 2);
}

TEST_F(OpenDatabaseTest, DuplicatesInThreeSpellings) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.addNode("ZED");
    db.addNode("pc1");
    db.addNode("PC1");
    open(db, Answer::No);
    EXPECT_EQ(view.list(LineList::Duplicates), (std::vector<std::string>{"pc1", "PC1"}));
    EXPECT_EQ(engine.counts().DuplicateCount, 2);
    // Sorted by the "Unique" texts: the three copies ("False") stand first, in caption order.
    EXPECT_EQ(captions(), (std::vector<std::string>{"PC1", "pc1", "PC1", "ZED"}));
    EXPECT_EQ(column(kUniqueText), (std::vector<std::string>{"False", "False", "False", "True"}));
    EXPECT_EQ(engine.nodeList().row(0).subIcon(kUniqueText), kIconDuplicate);
    EXPECT_EQ(view.health, "Status : Duplicate Records Found");
    EXPECT_TRUE(view.duplicatesTabVisible);
    EXPECT_TRUE(view.fixDuplicatesVisible);
    EXPECT_EQ(view.page, 0);
    ASSERT_EQ(view.questions.size(), 1u);
    EXPECT_EQ(view.questions[0],
              "Duplicates were found in the database.\r\n\r\nWould you like to mark the duplicates "
              "entries "
              "deleted? [RECOMMENDED]");
    EXPECT_EQ(engine.sortColumn(), 3);
    EXPECT_FALSE(engine.sortDescending());
}

TEST_F(OpenDatabaseTest, ProgressMovesOncePerNamedRecord) {
    DatabaseBuilder db;
    for (int i = 0; i < 8; ++i) {
        db.addNode("N" + std::to_string(i));
    }
    open(db);
    EXPECT_EQ(view.progress, (std::vector<int>{0, 12, 25, 38, 50, 62, 75, 88, 100}));
    EXPECT_EQ(view.pumps, 8);

    DatabaseBuilder withNull;
    withNull.addNode("A");
    withNull.addNullRecord();
    view.progress.clear();
    open(withNull);
    EXPECT_EQ(view.progress, (std::vector<int>{0, 50}));
}

TEST_F(OpenDatabaseTest, ColumnClicksFlipTheDirectionWhateverTheColumn) {
    DatabaseBuilder db;
    db.addNode("b");
    db.addNode("A", 1);
    db.addNode("c");
    open(db);
    EXPECT_EQ(captions(),
              (std::vector<std::string>{"A", "b", "c"}));  // caption order after the open
    engine.NodesLVColumnClick(0);
    EXPECT_EQ(captions(), (std::vector<std::string>{"c", "b", "A"}));
    engine.NodesLVColumnClick(2);  // "Active" ascending: False first
    EXPECT_EQ(column(kActiveText), (std::vector<std::string>{"False", "True", "True"}));
    engine.NodesLVColumnClick(1);  // "Index" descending
    EXPECT_EQ(column(kIndexText),
              (std::vector<std::string>{"0x000005FA", "0x000002FD", "0x00000000"}));
    engine.NodesLVColumnClick(1);
    EXPECT_EQ(column(kIndexText),
              (std::vector<std::string>{"0x00000000", "0x000002FD", "0x000005FA"}));
}

TEST_F(OpenDatabaseTest, CompareFoldsOnlyAsciiLetters) {
    DatabaseBuilder db;
    db.addNode("\xE9t\xE9");  // é sorts by its code, after every ASCII letter
    db.addNode("Zulu");
    db.addNode("alpha");
    db.addNode("ALPHABET");
    open(db);
    EXPECT_EQ(captions(), (std::vector<std::string>{"alpha", "ALPHABET", "Zulu", "\xE9t\xE9"}));
}

TEST_F(OpenDatabaseTest, PendingChangesOnReopenAndClose) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.addNode("PC2");
    open(db);
    EXPECT_FALSE(engine.HasPendingChanges());
    view.selection = {1};
    engine.MarkSelectedNodes(true);
    EXPECT_TRUE(engine.HasPendingChanges());

    view.answers = {Answer::Cancel};
    engine.OpenDatabase();
    EXPECT_EQ(view.questions.back(),
              "Changes have been made to the database.\r\n\r\nDo you want to commit the changes to "
              "the database?");
    EXPECT_EQ(icons(), (std::vector<int>{kIconLive, kIconMarked}));  // untouched
    EXPECT_TRUE(engine.context().IsOpen);

    view.answers = {Answer::No};
    engine.OpenDatabase();
    EXPECT_EQ(icons(), (std::vector<int>{kIconLive, kIconLive}));
    EXPECT_TRUE(engine.context().IsOpen);

    engine.MarkSelectedNodes(true);
    view.answers = {Answer::Cancel};
    EXPECT_FALSE(engine.CloseRequested());
    EXPECT_TRUE(engine.HasPendingChanges());
    // Yes commits; a commit refused before it wrote anything keeps the window and the marks.
    const std::string titles = folder.file("Kavrin.ttl");
    std::filesystem::last_write_time(
        titles, std::filesystem::last_write_time(titles) + std::chrono::seconds(3));
    view.answers = {Answer::Yes};
    EXPECT_FALSE(engine.CloseRequested());
    EXPECT_EQ(view.errors.size(), 1u);
    EXPECT_TRUE(engine.HasPendingChanges());
    // ... and so does an open that asked first.
    view.answers = {Answer::Yes};
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.size(), 2u);
    EXPECT_TRUE(engine.HasPendingChanges());
    EXPECT_EQ(icons(), (std::vector<int>{kIconLive, kIconMarked}));
    view.answers = {Answer::No};
    EXPECT_TRUE(engine.CloseRequested());
    EXPECT_FALSE(engine.context().IsOpen);
    EXPECT_EQ(engine.nodeList().count(), 0u);

    // "Close Database" asks nothing.
    reopen();
    engine.MarkSelectedNodes(true);
    const std::size_t asked = view.questions.size();
    engine.CloseDatabase();
    EXPECT_EQ(view.questions.size(), asked);
    EXPECT_FALSE(engine.HasPendingChanges());
}

TEST_F(OpenDatabaseTest, CloseKeepsTheLogAndTheSortState) {
    DatabaseBuilder db;
    db.addNode("PC1");
    open(db);
    engine.NodesLVColumnClick(2);
    view.page = 3;
    engine.CloseDatabase();
    EXPECT_EQ(view.page, 0);
    EXPECT_EQ(view.health, "");
    EXPECT_TRUE(view.list(LineList::DBStats).empty());
    EXPECT_EQ(view.list(LineList::Log).size(), 3u);
    EXPECT_EQ(engine.sortColumn(), 2);
    EXPECT_TRUE(engine.sortDescending());
    EXPECT_EQ(engine.context().DatabaseFolder, folder.path());
    EXPECT_FALSE(view.connected);
}

}  // namespace
}  // namespace kavrin

namespace kavrin {
namespace {

TEST_F(OpenDatabaseTest, BodiesBeyondTheReachOfReferencesAreRefused) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.write(folder.path());
    // A sparse title file of 4 GiB of records: nothing is read, nothing is allocated.
    fs::resize_file(folder.file("Kavrin.ttl"), 230 + (std::uint64_t{1} << 32));
    engine.OpenDatabase();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_EQ(view.errors[0], "Cannot open file \"" + folder.file("kavrin.ttl") +
                                  "\". The file holds 4 GiB or more of records, more than its "
                                  "32-bit references can reach.");
    EXPECT_FALSE(engine.context().IsOpen);
    // One byte less is the largest body whose every offset fits.
    fs::resize_file(folder.file("Kavrin.ttl"), 230 + 134);
    engine.OpenDatabase();
    EXPECT_TRUE(engine.context().IsOpen);
}

}  // namespace
}  // namespace kavrin

namespace kavrin {
namespace {

TEST_F(OpenDatabaseTest, CommandsFromTheEventLoopDoNotRunInsideAnOperation) {
    DatabaseBuilder db;
    db.addNode("PC1");
    db.addNode("PC2");
    db.write(folder.path());
    engine.OpenDatabase();
    view.selection = {0};
    engine.MarkSelectedNodes(true);

    // While the next open pumps, the user clicks around and asks to close the window.
    int refusedCloses = 0;
    view.onPump = [&] {
        if (!engine.isPumping()) {
            ADD_FAILURE() << "pump outside an operation";
        }
        refusedCloses += engine.CloseRequested() ? 0 : 1;
        engine.OpenDatabase();
        engine.CommitDatabase();
        engine.FixDuplicates();
        engine.NodesLVColumnClick(0);
        view.selection = {0, 1};
        engine.MarkSelectedNodes(true);
    };
    view.answers = {Answer::No};
    const std::size_t logLines = view.list(LineList::Log).size();
    engine.OpenDatabase();
    view.onPump = nullptr;
    EXPECT_EQ(refusedCloses, 2);
    EXPECT_EQ(view.list(LineList::Log).size(), logLines + 3);  // one open, no commit
    EXPECT_TRUE(view.questions.size() == 1 && view.answers.empty());
    EXPECT_TRUE(engine.context().IsOpen);
    EXPECT_FALSE(engine.HasPendingChanges());
    EXPECT_FALSE(engine.isPumping());
    EXPECT_EQ(captions(), (std::vector<std::string>{"PC1", "PC2"}));
}

}  // namespace
}  // namespace kavrin
