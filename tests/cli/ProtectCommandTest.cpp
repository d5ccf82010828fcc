#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/CliFixture.h"
#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"

namespace kavrin {
namespace {

using test::DatabaseBuilder;
using test::readFileBytes;

class ProtectCommandTest : public test::CliFixture {
protected:
    ProtectCommandTest() {
        DatabaseBuilder db;
        db.addNode("PC-1", 0, 45000.0);
        db.addNode("pc-1", 0, 45100.0);
        db.addNode("SERVER", 1, 44000.0);
        db.addNode("LAPTOP\xE9", 0, 45200.0);
        db.addTitle(1);
        db.addInstall(0, 0);
        db.write(folder.path());
    }
    std::string rulesText() const {
        const std::vector<std::uint8_t> bytes = readFileBytes(folder.file("Kavrin.protect"));
        return {bytes.begin(), bytes.end()};
    }
};

// The rules file edited and listed by the command, and what marking makes of it: the nodes it
// protects stay live with their rule as the reason; --delete of one writes nothing.
TEST_F(ProtectCommandTest, RulesRoundTripThroughMarkAndCommit) {
    const std::string f = folder.path();
    ASSERT_EQ(run({"protect", f, "--list"}), 0) << err.str();
    EXPECT_EQ(out.str(), "");
    ASSERT_EQ(run({"protect", f, "--add", "SERVER*", "--reason", "kept on purpose"}), 0)
        << err.str();
    ASSERT_EQ(run({"protect", "--add", "pc-?", f}), 0) << err.str();
    ASSERT_EQ(run({"protect", f, "--add", "server*", "--reason", "rarely on"}), 0);
    EXPECT_EQ(rulesText(), "server*\trarely on\npc-?\n");
    ASSERT_EQ(run({"protect", f, "--list"}), 0);
    EXPECT_EQ(out.str(), "server*\trarely on\npc-?\t\n");

    ASSERT_EQ(run({"mark", f, "--sort", "index", "--fix-duplicates", "--older-than", "2030-01-01",
                   "--protect", "LAPTOP?"}),
              0)
        << err.str();
    EXPECT_EQ(out.str(),
              "PC-1\t0x00000000\tTrue\tFalse\tlive\tprotected by pc-?\n"
              "pc-1\t0x000002FD\tTrue\tFalse\tlive\tprotected by pc-?\n"
              "SERVER\t0x000005FA\tFalse\tTrue\tlive\tprotected by server*\n"
              "LAPTOP\xC3\xA9\t0x000008F7\tTrue\tTrue\tlive\tprotected by LAPTOP?\n"
              "Status : 0 Duplicate Records Deleted.  Active(0) Inactive(0)\n");

    const auto before = readFileBytes(folder.file("Kavrin.cmp"));
    ASSERT_EQ(run({"commit", f, "--older-than", "2030-01-01", "--delete", "SERVER"}), 1);
    // Said once: the log line is the message.
    const std::string refusal = "SERVER is protected by server* and cannot be marked.\n";
    const std::size_t said = err.str().find(refusal);
    EXPECT_NE(said, std::string::npos) << err.str();
    EXPECT_EQ(err.str().find(refusal, said + 1), std::string::npos) << err.str();
    EXPECT_EQ(readFileBytes(folder.file("Kavrin.cmp")), before);

    ASSERT_EQ(run({"commit", f, "--older-than", "2030-01-01", "--dry-run"}), 0) << err.str();
    EXPECT_NE(out.str().find("Nodes removed : 1\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("Nodes kept by protection : 3\n"), std::string::npos);
    EXPECT_NE(out.str().find("\nSERVER\t0x000005FA\tuser\t2020-06-18\t0\tprotected by server*\n"),
              std::string::npos);
    // The JSON lists the same kept nodes.
    ASSERT_EQ(run({"commit", f, "--older-than", "2030-01-01", "--dry-run", "--json"}), 0);
    const nlohmann::json kept =
        nlohmann::json::parse(out.str()).at("preview").at("keptByProtection");
    ASSERT_EQ(kept.size(), 3u) << kept;
    EXPECT_EQ(kept[2].at("name"), "SERVER");
    EXPECT_EQ(kept[2].at("reason"), "protected by server*");
    ASSERT_EQ(run({"mark", f, "--sort", "index", "--json"}), 0);
    EXPECT_EQ(nlohmann::json::parse(out.str()).at("nodes")[2].at("reason"), "protected by server*");

    ASSERT_EQ(run({"protect", f, "--remove", "SERVER*"}), 0) << err.str();
    EXPECT_EQ(run({"protect", f, "--remove", "SERVER*"}), 1);
    EXPECT_NE(err.str().find("No rule \"SERVER*\" in "), std::string::npos);
    EXPECT_EQ(rulesText(), "pc-?\n");
    EXPECT_EQ(run({"mark", f, "--delete", "SERVER"}), 0) << err.str();
}

// A file that is not all rules is neither used nor edited; a location without a database gets
// no file.
TEST_F(ProtectCommandTest, ABrokenFileOrNoDatabaseWritesNothing) {
    const std::string f = folder.path();
    test::writeFileBytes(folder.file("Kavrin.protect"), {'#', '\n', 'A', ' ', 'B', '\n'});
    const auto before = readFileBytes(folder.file("Kavrin.cmp"));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"protect", f, "--list"},
                                                 {"protect", f, "--add", "PC*"},
                                                 {"mark", f},
                                                 {"commit", f, "--fix-duplicates"},
                                                 {"commit", f}}) {
        EXPECT_EQ(run(args), 1) << args[0];
        EXPECT_NE(err.str().find("Kavrin.protect\" cannot be used: line 2 is not a rule (a "
                                 "blank in the pattern; a reason goes after a TAB).\n"),
                  std::string::npos)
            << err.str();
        EXPECT_EQ(err.str().find("line 2", err.str().find("line 2") + 1), std::string::npos)
            << "said twice: " << err.str();
    }
    EXPECT_EQ(rulesText(), "#\nA B\n");
    EXPECT_EQ(readFileBytes(folder.file("Kavrin.cmp")), before);
    EXPECT_EQ(run({"nodes", f}), 0);  // looking at the database needs no rules

    test::TempFolder empty;
    EXPECT_EQ(run({"protect", empty.path(), "--add", "PC*"}), 1);
    EXPECT_NE(err.str().find("there is no Kavrin.cmp"), std::string::npos) << err.str();
    EXPECT_FALSE(localFileSystem().status(empty.file("Kavrin.protect")).exists);
}

}  // namespace
}  // namespace kavrin
