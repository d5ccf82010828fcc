// Damaged and hostile databases: each gets a clear message or a sound result, never a crash, and
// nothing on disk changes.
#include <cmath>
#include <filesystem>
#include <limits>

#include "common/TestPlatform.h"
#include "engine/EngineFixture.h"
#include "support/fs/Paths.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;
using test::NodeSpec;
namespace fs = std::filesystem;

class HostileInputTest : public test::EngineTest {};

TEST_F(HostileInputTest, LengthBytesBeyondTheirFieldsOnTheLastRecord) {
    DatabaseBuilder db;
    db.addNode("FIRST");
    NodeSpec last;
    last.name = std::string(255, 'Z');
    last.user = std::string(32, 'u');
    db.addNode(last);
    std::vector<std::uint8_t>& nodes = db.nodes;
    const std::size_t base = 765;
    for (std::size_t field : {0u, 88u, 175u, 256u, 277u}) {
        nodes[base + field] = 255;  // every length byte at its largest
    }
    open(db);
    ASSERT_TRUE(engine.context().IsOpen);
    const std::size_t row = engine.nodeList().row(0).data == 765 ? 0 : 1;
    // The caption takes all 255 bytes after the length byte, the other fields' bytes among them,
    // and still stays inside the record.
    EXPECT_EQ(engine.nodeList().row(row).caption.size(), 255u);
    EXPECT_EQ(engine.nodeList().row(row).caption.substr(0, 16), std::string(16, 'Z'));
    view.selection = {row};
    engine.ShowSelectedNodeDetails();
    const auto& lines = view.list(LineList::NodeStats);
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[1], "Name : " + std::string(16, 'Z'));
    EXPECT_EQ(lines[2].size(), std::string("User : ").size() + 32);
    EXPECT_EQ(lines[4].size(), std::string("Model : ").size() + 19);
}

TEST_F(HostileInputTest, DateTimesThatAreNotDates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    DatabaseBuilder db;
    DatabaseBuilder::setHeader(db.nodeHeader, 1, 2, "n", "c", nan, inf, -inf, 1);
    NodeSpec a;
    a.name = "A";
    a.lastOnline = nan;
    a.hwUpdated = inf;
    a.swUpdated = -1.25;
    a.userUpdated = 1e300;
    db.addNode(a);
    db.addNode("a", 0, -inf);
    db.addNode("B", 0, inf);
    open(db);
    const auto& stats = view.list(LineList::DBStats);
    EXPECT_EQ(stats[4], "Uprgaded : ");  // -inf is below 1.0: not set
    EXPECT_EQ(stats[5], "Created : ");   // NaN: not set
    EXPECT_EQ(stats[6], "Updated : (invalid date)");

    view.selection = {rowOf("A")};
    engine.ShowSelectedNodeDetails();
    const auto& lines = view.list(LineList::NodeStats);
    EXPECT_EQ(lines[8], "Last Online : (invalid date)");
    EXPECT_EQ(lines[9], "User Updated : (invalid date)");
    EXPECT_EQ(lines[10], "HW Updated : (invalid date)");
    EXPECT_EQ(lines[11],
              "SW Updated : " + test::forPlatform("12/29/99 06:00:00", "12/29/1899 6:00:00 AM"));

    // NaN is never older than anything; -inf is older than everything, +inf than nothing.
    engine.MarkNodesOlderThan(45000.0);
    EXPECT_FALSE(engine.nodeList().row(rowOf("A")).marked());
    EXPECT_TRUE(engine.nodeList().row(rowOf("a")).marked());
    EXPECT_FALSE(engine.nodeList().row(rowOf("B")).marked());
    engine.FixDuplicates();  // compares a NaN with -inf: decided, no crash
    EXPECT_EQ(
        engine.nodeList().row(rowOf("A")).marked() + engine.nodeList().row(rowOf("a")).marked(), 1);
}

TEST_F(HostileInputTest, FoldersAndFilesInTheWrongPlaces) {
    DatabaseBuilder db;
    db.addNode("PC1");
    // The location is a file.
    test::writeFileBytes(folder.file("plain"), {1, 2, 3});
    view.location = folder.file("plain");
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(), "Error: \"The database does not exist.\"\r\n\r\n" +
                                      joinPath(folder.file("plain"), "kavrin.cmp"));
    // A database file is a folder.
    db.write(folder.path());
    fs::remove(folder.file("Kavrin.ist"));
    fs::create_directory(folder.file("Kavrin.ist"));
    view.location = folder.path();
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(),
              "Error: \"The database does not exist.\"\r\n\r\n" + folder.file("Kavrin.ist"));
    EXPECT_FALSE(engine.context().IsOpen);
}

TEST_F(HostileInputTest, UnreadableFile) {
    if (!test::permissionsBind()) {
        GTEST_SKIP() << "file permissions do not bind here";
    }
    DatabaseBuilder db;
    db.addNode("PC1");
    db.write(folder.path());
    fs::permissions(folder.file("Kavrin.ttl"), fs::perms::none);
    engine.OpenDatabase();
    EXPECT_EQ(view.errors.back(),
              "Cannot open file \"" + folder.file("kavrin.ttl") + "\". Permission denied");
}

TEST_F(HostileInputTest, NamesWithHighBytes) {
    DatabaseBuilder db;
    db.addNode("\x80\x81\xFF\xC0");
    db.addNode("\x80\x81\x9F\xE0");  // the same name in small letters: ÿ/Ÿ and à/À fold together
    open(db);
    EXPECT_EQ(view.list(LineList::Duplicates),
              std::vector<std::string>{"\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xA0"});  // €, U+0081, Ÿ, à
    EXPECT_EQ(engine.counts().DuplicateCount, 1);
    engine.FixDuplicates();  // the listed name, back in the code page, finds both entries
    EXPECT_EQ(view.health, "Status : 1 Duplicate Records Deleted.  Active(1) Inactive(0)");
}

}  // namespace
}  // namespace kavrin
