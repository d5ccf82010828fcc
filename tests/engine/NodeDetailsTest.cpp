#include "common/TestPlatform.h"
#include "engine/EngineFixture.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;
using test::NodeSpec;

class NodeDetailsTest : public test::EngineTest {};

TEST_F(NodeDetailsTest, ThirteenLinesOfTheFirstSelectedNode) {
    DatabaseBuilder db;
    NodeSpec a;
    a.name = "ALPHA";
    a.user = std::string(40, 'u');  // claims more than 32
    a.manufacturer = "M\xFCller";   // an ANSI byte shows as UTF-8
    a.model = std::string(19, 'm');
    a.serial = "SN-1";
    a.addedDay = 0;
    a.lastOnline = 45000.0;  // midnight: date alone
    a.userUpdated = 45000.5;
    a.hwUpdated = 0.0;
    a.swUpdated = 45000.75;
    const std::uint32_t alpha = db.addNode(a);
    NodeSpec b;
    b.name = std::string(16, 'B') + "tail";  // a caption longer than the name line shows
    b.inactive = 2;
    b.inactiveDay = 0;
    b.addedDay = 65535;
    const std::uint32_t beta = db.addNode(b);
    db.addTitle(1);
    db.addInstall(alpha, 0, 0);
    db.addInstall(alpha, 0, 7);  // a dead install counts too
    db.addInstall(beta, 0, 0);
    db.addInstall(alpha + 1, 0, 0);                  // names no record
    db.installs.resize(db.installs.size() + 12, 0);  // a trailing partial record
    open(db);

    view.selection = {rowOf("ALPHA")};
    engine.ShowSelectedNodeDetails();
    EXPECT_EQ(
        view.list(LineList::NodeStats),
        (std::vector<std::string>{
            "Active : True", "Name : ALPHA", "User : " + std::string(32, 'u'),
            "Manufacturer : M\xC3\xBCller", "Model : " + std::string(19, 'm'),
            "Serial Number : SN-1", "Added : " + test::forPlatform("12/30/99", "12/30/1899"),
            "Inactive : no", "Last Online : " + test::forPlatform("03/15/23", "3/15/2023"),
            "User Updated : " + test::forPlatform("03/15/23 12:00:00", "3/15/2023 12:00:00 PM"),
            "HW Updated : " + test::forPlatform("12/30/99", "12/30/1899"),
            "SW Updated : " + test::forPlatform("03/15/23 18:00:00", "3/15/2023 6:00:00 PM"),
            "Install Count : 2"}));
    EXPECT_EQ(view.page, 2);

    view.selection = {rowOf(b.name), rowOf("ALPHA")};  // the entry nearest the top counts
    engine.ShowSelectedNodeDetails();
    const auto& lines = view.list(LineList::NodeStats);
    EXPECT_EQ(lines[0], "Active : True");
    view.selection = {rowOf(b.name)};
    engine.ShowSelectedNodeDetails();
    EXPECT_EQ(lines[0], "Active : False");
    EXPECT_EQ(lines[1], "Name : " + std::string(16, 'B'));
    EXPECT_EQ(lines[6], "Added : " + test::forPlatform("06/06/79", "6/6/2179"));
    EXPECT_EQ(lines[7], "Inactive : " + test::forPlatform("12/30/99", "12/30/1899"));
    EXPECT_EQ(lines[12], "Install Count : 1");
    EXPECT_EQ(engine.InstallCount(alpha + 1), 1u);
}

TEST_F(NodeDetailsTest, NothingHappensWithoutSelectionOrOpenDatabase) {
    DatabaseBuilder db;
    db.addNode("ALPHA");
    open(db);
    view.list(LineList::NodeStats) = {"kept"};
    view.page = 3;
    engine.ShowSelectedNodeDetails();  // nothing selected
    EXPECT_EQ(view.list(LineList::NodeStats), std::vector<std::string>{"kept"});
    EXPECT_EQ(view.page, 3);
    engine.CloseDatabase();
    view.list(LineList::NodeStats) = {"kept"};
    view.selection = {0};
    engine.ShowSelectedNodeDetails();
    EXPECT_EQ(view.list(LineList::NodeStats), std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace kavrin
