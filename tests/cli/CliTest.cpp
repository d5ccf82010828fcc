#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "cli/CliFixture.h"
#include "cli/Commands.h"
#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"
#include "common/TestPlatform.h"
#include "support/text/DateTimeText.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;

class CliTest : public test::CliFixture {};

using test::sampleDatabase;

TEST_F(CliTest, StatsNodesAndDuplicates) {
    sampleDatabase().write(folder.path());
    ASSERT_EQ(run({"stats", folder.path()}), 0) << err.str();
    EXPECT_EQ(
        out.str(),
        "DB Name : Test Inventory\nComment : Built by a test\nType : 1\nVersion : 2\nUprgaded : \n"
        "Created : " +
            test::forPlatform("07/06/09 12:00:00", "7/6/2009 12:00:00 PM") +
            "\nUpdated : " + test::forPlatform("03/15/23 06:00:00", "3/15/2023 6:00:00 AM") +
            "\nTotal Nodes : 5\n"
            "Total Software Titles : 1\nTotal Software Installs : 2\nTotal Active Node Records : "
            "3\n"
            "Total Duplicate Node Records : 1\nTotal Null Node Records : 1\n"
            "Status : Duplicate Records Found\n");
    EXPECT_NE(err.str().find("Loading : " + folder.file("kavrin.cmp") + "\n"), std::string::npos);

    ASSERT_EQ(run({"nodes", folder.path()}), 0);
    EXPECT_EQ(out.str(),
              "PC-1\t0x00000000\tTrue\tFalse\npc-1\t0x000002FD\tTrue\tFalse\n"
              "LAPTOP\xC3\xA9\t0x00000BF4\tTrue\tTrue\nSERVER\t0x000005FA\tFalse\tTrue\n");

    ASSERT_EQ(run({"duplicates", folder.path()}), 0);
    EXPECT_EQ(out.str(), "pc-1\n");
}

TEST_F(CliTest, FailuresAndUsage) {
    EXPECT_EQ(run({"stats", folder.path()}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(),
              "Error: \"The database does not exist.\"\r\n\r\n" + folder.file("kavrin.cmp") + "\n");

    EXPECT_EQ(run({"stats", "--server", "NOSUCHHOST"}), 1);
    EXPECT_NE(err.str().find("\\\\NOSUCHHOST\\Kavrin$\\kavrin.cmp"), std::string::npos);

    EXPECT_EQ(run({}), 2);
    EXPECT_EQ(run({"--help"}), 0);
    for (const char* text : {"stats LOCATION", "details LOCATION NODE", "generate FOLDER",
                             "--server NAME", "--older-than DATE", "--seed S", "Exit code 0"}) {
        EXPECT_NE(out.str().find(text), std::string::npos) << text;
    }
}

TEST_F(CliTest, DetailsByNameOrOffset) {
    sampleDatabase().write(folder.path());
    ASSERT_EQ(run({"details", folder.path(), "Pc-1"}), 0) << err.str();
    std::string byName = out.str();
    EXPECT_NE(byName.find("Name : PC-1\n"), std::string::npos);
    EXPECT_NE(byName.find("Last Online : " + test::forPlatform("03/15/23", "3/15/2023") + "\n"),
              std::string::npos);
    EXPECT_NE(byName.find("Install Count : 2\n"), std::string::npos);
    ASSERT_EQ(run({"details", folder.path(), "0x0"}), 0);
    EXPECT_EQ(out.str(), byName);
    ASSERT_EQ(run({"details", folder.path(), "0x5fa"}), 0);
    EXPECT_NE(out.str().find("Active : False\n"), std::string::npos);
    EXPECT_EQ(run({"details", folder.path(), "0x5FB"}), 1);  // no entry starts there
    EXPECT_EQ(run({"details", folder.path(), "NOBODY"}), 1);
    EXPECT_NE(err.str().find("No node \"NOBODY\" in the database.\n"), std::string::npos);
}

TEST_F(CliTest, MarkAppliesOptionsInOrder) {
    sampleDatabase().write(folder.path());
    ASSERT_EQ(run({"mark", folder.path(), "--fix-duplicates"}), 0) << err.str();
    EXPECT_EQ(
        out.str(),
        "PC-1\t0x00000000\tTrue\tFalse\tmarked\tduplicate of pc-1, kept 0x000002FD\n"
        "pc-1\t0x000002FD\tTrue\tFalse\tlive\t\n"
        "LAPTOP\xC3\xA9\t0x00000BF4\tTrue\tTrue\tlive\t\nSERVER\t0x000005FA\tFalse\tTrue\tlive\t\n"
        "Status : 1 Duplicate Records Deleted.  Active(1) Inactive(0)\n");

    ASSERT_EQ(run({"mark", folder.path(), "--older-than", "2023-03-15", "--undelete", "server",
                   "--delete", "0xBF4"}),
              0);
    EXPECT_EQ(out.str(),
              "PC-1\t0x00000000\tTrue\tFalse\tlive\t\npc-1\t0x000002FD\tTrue\tFalse\tlive\t\n"
              "LAPTOP\xC3\xA9\t0x00000BF4\tTrue\tTrue\tmarked\tby hand\n"
              "SERVER\t0x000005FA\tFalse\tTrue\tlive\t\n"
              "Status : Duplicate Records Found\n");
    // A later mark keeps the first reason.
    ASSERT_EQ(
        run({"mark", folder.path(), "--older-than", "2023-03-15T00:00:01", "--delete", "PC-1"}), 0);
    EXPECT_NE(out.str().find(
                  "PC-1\t0x00000000\tTrue\tFalse\tmarked\tnot online since 2023-03-15T00:00:01\n"),
              std::string::npos);

    // --sort and --descending come first, before any mark, as column clicks in the window.
    ASSERT_EQ(run({"mark", folder.path(), "--delete", "SERVER", "--sort", "index", "--descending"}),
              0);
    EXPECT_TRUE(
        out.str().starts_with("LAPTOP\xC3\xA9\t0x00000BF4\tTrue\tTrue\tlive\t\n"
                              "SERVER\t0x000005FA\tFalse\tTrue\tmarked\tby hand\n"))
        << out.str();
}

// Names come from the database: a TAB, CR or LF in one must not break the TAB-separated lines.
TEST_F(CliTest, NodeNamesAreEscapedInTheListings) {
    DatabaseBuilder db;
    db.addNode("A\tB", 0, 45000.0);
    db.addNode("a\tb", 0, 45100.0);
    db.addNode("C\rD\nE", 0, 45000.0);
    db.addNode("F\\G", 0, 45000.0);
    db.write(folder.path());
    ASSERT_EQ(run({"nodes", folder.path()}), 0) << err.str();
    EXPECT_EQ(out.str(),
              "A\\tB\t0x00000000\tTrue\tFalse\na\\tb\t0x000002FD\tTrue\tFalse\n"
              "C\\rD\\nE\t0x000005FA\tTrue\tTrue\nF\\\\G\t0x000008F7\tTrue\tTrue\n");
    ASSERT_EQ(run({"mark", folder.path(), "--fix-duplicates", "--delete", "0x5FA"}), 0);
    EXPECT_TRUE(out.str().starts_with(
        "A\\tB\t0x00000000\tTrue\tFalse\tmarked\tduplicate of a\\tb, kept 0x000002FD\n"
        "a\\tb\t0x000002FD\tTrue\tFalse\tlive\t\n"
        "C\\rD\\nE\t0x000005FA\tTrue\tTrue\tmarked\tby hand\n"))
        << out.str();
    ASSERT_EQ(run({"duplicates", folder.path()}), 0);
    EXPECT_EQ(out.str(), "a\\tb\n");
}

// A usage error names the option at fault but never repeats a value: it may be a password.
TEST_F(CliTest, UsageErrorsNameTheOptionNeverTheValue) {
    const std::string f = folder.path();
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"mark", f, "--older-than", "secret"}, "--older-than"},
        {{"mark", f, "--older-than=secret"}, "--older-than"},
        {{"generate", f, "--nodes", "secret"}, "--nodes"},
        {{"generate", f, "--null-rate", "secret"}, "--null-rate"},
        {{"commit", f, "--dry-run=secret"}, "--dry-run"},
        {{"mark", f, "--sort", "secret"}, "--sort"},
        {{"restore", f}, "BACKUP"},
        {{"stats", f, "--colour=secret"}, "--colour"},
        {{"stats", f, "-Xsecret"}, "-X"},
        {{"details", f, "PC-1", "secret"}, "details"},
        {{"mark", f, "--delete"}, "--delete"},
        {{"commit", f, "--protect", "secret x"}, "--protect"},
        {{"protect", f, "--add", "secret\tx"}, "--add"},
        {{"protect", f, "--add", "A", "--reason", "secret\n"}, "--reason"},
        {{"protect", f, "--add", "A", "--remove", "secret"}, "one of --add, --remove and --list"},
        {{"protect", f, "--list", "--reason", "secret"}, "--reason goes with --add"},
        {{"protect", f}, "protect needs one of --add"},
        {{"stats"}, "LOCATION"},
        {{"stat", f}, "unknown command \"stat\"; did you mean \"stats\"?"},
    };
    for (const auto& [args, named] : cases) {
        EXPECT_EQ(run(args), 2) << named;
        const std::string text = err.str();
        const std::string message = text.substr(0, text.find('\n'));
        EXPECT_TRUE(message.starts_with("kavrin-dbtool-cli: ")) << message;
        EXPECT_NE(message.find(named), std::string::npos) << message;
        EXPECT_EQ(text.find("secret"), std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;  // and where help is
    }
    // Options may come anywhere after the command, before or after LOCATION and NODE.
    sampleDatabase().write(f);
    ASSERT_EQ(run({"mark", "--delete", "SERVER", f, "--fix-duplicates"}), 0) << err.str();
    EXPECT_NE(out.str().find("SERVER\t0x000005FA\tFalse\tTrue\tmarked\tby hand\n"),
              std::string::npos);
}

TEST(CliDates, DateArguments) {
    EXPECT_EQ(cli::parseDateArgument("2023-03-15"), 45000.0);
    EXPECT_EQ(cli::parseDateArgument("2023-03-15T12:00:00"), 45000.5);
    EXPECT_EQ(cli::parseDateArgument("2024-02-29"), encodeDateTime(2024, 2, 29));
    for (const char* bad : {"2023-02-29", "2100-02-29", "2023-04-31", "2023-3-15", "+023-03-15",
                            "2023-03-15T24:00:00", "2023-03-15 12:00:00", "",
                            "2023-03-15T12:00:00Z", "abcd-ef-gh", "0000-01-01"}) {
        EXPECT_EQ(cli::parseDateArgument(bad), std::nullopt) << bad;
    }
}

TEST_F(CliTest, CommitWritesOnlyWithoutDryRun) {
    sampleDatabase().write(folder.path());
    const auto before = test::readFileBytes(folder.file("Kavrin.cmp"));
    ASSERT_EQ(run({"commit", folder.path(), "--fix-duplicates", "--delete", "SERVER", "--dry-run"}),
              0)
        << err.str();
    EXPECT_EQ(out.str(),
              "Kavrin.cmp : 5 -> 2 records, 4055 -> 1760 bytes\n"
              "Kavrin.ist : 2 -> 0 records, 256 -> 230 bytes\n"
              "Kavrin.ttl : 1 -> 0 records, 364 -> 230 bytes\n"
              "Nodes removed : 2\nEmpty node records removed : 1\n"
              "Installs of the removed nodes : 2\nDead installs removed : 0\n"
              "Installs of no listed node removed : 0\nOrphaned titles removed : 1\n"
              "References to no title kept as they are : 0\n"
              "PC-1\t0x00000000\tuser\t2023-03-15\t2\tduplicate of pc-1, kept 0x000002FD\n"
              "SERVER\t0x000005FA\tuser\t2020-06-18\t0\tby hand\n");
    EXPECT_EQ(test::readFileBytes(folder.file("Kavrin.cmp")), before);

    ASSERT_EQ(run({"commit", folder.path(), "--delete", "0x0"}), 0) << err.str();
    EXPECT_NE(out.str().find("Total Nodes : 3\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("Total Software Installs : 0\n"), std::string::npos);
    EXPECT_NE(out.str().find("Status  : Healthy\n"),
              std::string::npos);  // the copy of PC-1 is gone
    EXPECT_EQ(test::readFileBytes(folder.file("Kavrin.cmp")).size(), 230u + 3 * 765);
    EXPECT_NE(err.str().find("Commiting to Database..."), std::string::npos);
    EXPECT_NE(err.str().find("Checked : the files in place are the files written"),
              std::string::npos);
}

// verify: 0 for a sound database, 1 with the report of what is wrong, 2 for a wrong command line;
// it changes nothing, the backups and the restores that follow change the files as asked.
TEST_F(CliTest, VerifyBackupAndRestore) {
    DatabaseBuilder db;
    const std::uint32_t node = db.addNode("PC-1");
    db.addInstall(node, db.addTitle(1));
    db.write(folder.path());
    const std::vector<std::uint8_t> sound = test::readFileBytes(folder.file("Kavrin.cmp"));
    ASSERT_EQ(run({"verify", folder.path()}), 0) << out.str() << err.str();
    EXPECT_NE(out.str().find("Result : no problem found.\n"), std::string::npos) << out.str();

    ASSERT_EQ(run({"backup", folder.path()}), 0) << err.str();
    const std::string backup = out.str().substr(0, out.str().size() - 1);
    EXPECT_TRUE(test::readFileBytes(backup + "/Kavrin.cmp") == sound);

    sampleDatabase().write(folder.path());
    EXPECT_EQ(run({"verify", folder.path()}), 1);
    EXPECT_NE(out.str().find("  Duplicate names : 1 (pc-1)\n"), std::string::npos) << out.str();
    EXPECT_EQ(run({"verify", folder.path(), "extra"}), 2);

    // The backup by its name in the database folder; then that restore undone by the backup it
    // made of the files it replaced.
    const std::string name = backup.substr(backup.find_last_of("/\\") + 1);
    ASSERT_EQ(run({"restore", folder.path(), name}), 0) << err.str();
    EXPECT_NE(out.str().find("Total Nodes : 1\n"), std::string::npos) << out.str();
    EXPECT_TRUE(test::readFileBytes(folder.file("Kavrin.cmp")) == sound);
    const std::string restoreLine = "the files it replaced are in the backup \"";
    const std::size_t at = err.str().find(restoreLine);
    ASSERT_NE(at, std::string::npos) << err.str();
    const std::size_t start = at + restoreLine.size();
    const std::string undo = err.str().substr(start, err.str().find('"', start) - start);
    ASSERT_EQ(run({"restore", folder.path(), undo}), 0) << err.str();
    EXPECT_TRUE(test::readFileBytes(folder.file("Kavrin.cmp")) == sampleDatabase().nodeFile());
    EXPECT_EQ(run({"restore", folder.path(), "19990101-000000"}), 1);
    EXPECT_NE(err.str().find("there is no such folder. Nothing was written."), std::string::npos);
}

}  // namespace
}  // namespace kavrin
