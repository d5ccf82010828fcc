#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/CliFixture.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "common/DatabaseBuilder.h"
#include "common/FixedClock.h"
#include "common/TempFolder.h"
#include "dbformat/Layout.h"
#include "support/fs/FileSystem.h"
#include "support/text/DateTimeText.h"

namespace kavrin {
namespace {

using nlohmann::json;
using test::DatabaseBuilder;

// Four named nodes (a duplicate pair among them) and an empty record; last online 2023-03-15,
// 2023-06-23, 2020-06-18 and 2023-10-01.
using test::sampleDatabase;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> columns(const std::string& line) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        result.push_back(line.substr(start, tab - start));
    }
    result.push_back(line.substr(start));
    return result;
}

// "Label : value" lines by label.
std::map<std::string, std::string> labelled(const std::string& text) {
    std::map<std::string, std::string> values;
    for (const std::string& line : lines(text)) {
        if (const std::size_t colon = line.find(" : "); colon != std::string::npos) {
            values[line.substr(0, colon)] = line.substr(colon + 3);
        }
    }
    return values;
}

// The three files and everything else in the folder, byte for byte.
std::map<std::string, std::vector<std::uint8_t>> folderContent(const test::TempFolder& folder) {
    std::map<std::string, std::vector<std::uint8_t>> content;
    for (const std::string& name : localFileSystem().listDirectory(folder.path())) {
        content[name] = test::readFileBytes(folder.file(name));
    }
    return content;
}

class UnattendedTest : public test::CliFixture {
protected:
    int runAt(const std::vector<std::string>& args, LocalTime now) {
        out.str("");
        err.str("");
        test::FixedClock clock(now);
        return cli::runCommandLine(args, out, err, localFileSystem(), clock);
    }

    std::string writeConfig(const std::string& text) {
        const std::string path = configFolder.file("maintain.toml");
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    test::TempFolder configFolder;
};

// N, Nd and Nw days back from local midnight, whatever the hour: exactly the marks of
// --older-than that day.
TEST_F(UnattendedTest, NotOnlineForMarksWhatOlderThanTheComputedDayMarks) {
    sampleDatabase().write(folder.path());
    const struct {
        const char* age;
        int days;
    } cases[] = {{"0", 0}, {"100", 100}, {"100d", 100}, {"14w", 98}, {"1w", 7}, {"1200d", 1200}};
    for (const LocalTime now :
         {LocalTime{2023, 6, 23, 0, 0, 0, 0}, LocalTime{2023, 6, 23, 23, 59, 59, 999}}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.age) + " at hour " + std::to_string(now.hour));
            const std::string day = IsoDateTimeText(encodeDateTime(2023, 6, 23) - c.days);
            ASSERT_EQ(runAt({"mark", folder.path(), "--older-than", day}, now), 0) << err.str();
            const std::string expected = out.str();
            ASSERT_EQ(runAt({"mark", folder.path(), "--not-online-for", c.age}, now), 0)
                << err.str();
            EXPECT_EQ(out.str(), expected);
        }
    }
    for (const char* wrong : {"", "d", "-1", "10x", "1.5d", "40000"}) {
        EXPECT_EQ(runAt({"mark", folder.path(), "--not-online-for", wrong}, {2023, 6, 23}), 2)
            << wrong;
    }
}

TEST(UnattendedArguments, AgesAndLimits) {
    EXPECT_EQ(cli::parseAgeArgument("90d"), 90);
    EXPECT_EQ(cli::parseAgeArgument("2w"), 14);
    EXPECT_EQ(cli::parseAgeArgument("w"), std::nullopt);
    const struct {
        const char* text;
        std::optional<std::uint64_t> allowedOf200;
    } limits[] = {{"0", 0},
                  {"17", 17},
                  {"10%", 20},
                  {"2.5%", 5},
                  {"0.4%", 0},
                  {"100%", 200},
                  {"101%", std::nullopt},
                  {"-1", std::nullopt},
                  {"%", std::nullopt},
                  {"1e2%", std::nullopt},
                  {"inf%", std::nullopt},
                  {"5 ", std::nullopt}};
    for (const auto& limit : limits) {
        const std::optional<cli::RemovalLimit> parsed = cli::parseRemovalLimit(limit.text);
        ASSERT_EQ(parsed.has_value(), limit.allowedOf200.has_value()) << limit.text;
        if (parsed) {
            EXPECT_EQ(parsed->allowed(200), *limit.allowedOf200) << limit.text;
        }
    }
}

// Marks beyond the limit: exit 3 with both numbers, and not a byte changes; within it the
// commands go on as before.
TEST_F(UnattendedTest, MaxRemoveStopsBeforeAnythingIsWritten) {
    sampleDatabase().write(folder.path());
    const auto before = folderContent(folder);
    const std::vector<std::string> marks = {"--fix-duplicates", "--delete", "SERVER"};  // 2 of 4
    const struct {
        std::vector<std::string> command;
        const char* limit;
        int exit;
    } cases[] = {
        {{"commit"}, "1", 3},
        {{"commit"}, "40%", 3},
        {{"commit", "--dry-run"}, "1", 3},
        {{"mark"}, "1", 3},
        {{"mark", "--json"}, "1", 3},
        {{"commit", "--json"}, "1", 3},
        {{"commit", "--dry-run"}, "2", 0},
        {{"mark"}, "50%", 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.command;
        args.push_back(folder.path());
        args.insert(args.end(), marks.begin(), marks.end());
        args.insert(args.end(), {"--max-remove", c.limit});
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : "") + " " + c.limit);
        EXPECT_EQ(run(args), c.exit) << err.str();
        const bool stopped =
            err.str().find("The marks would remove 2 of 4 nodes, more than the limit of 1;") !=
            std::string::npos;
        EXPECT_EQ(stopped, c.exit == 3) << err.str();
        EXPECT_EQ(folderContent(folder), before);
    }
}

// Each --json document against the text the same command prints over the same database.
// Runs a command for its text, then with --json over the same database.
class JsonTest : public UnattendedTest {
protected:
    JsonTest() { sampleDatabase().write(folder.path()); }

    std::pair<std::string, json> both(std::vector<std::string> args, int exit = 0) {
        EXPECT_EQ(run(args), exit) << err.str();
        const std::string text = out.str();
        args.push_back("--json");
        EXPECT_EQ(run(args), exit) << err.str();
        return std::pair{text, json::parse(out.str())};
    }
};

// Each --json document against the text the same command prints.
TEST_F(JsonTest, StatsDuplicatesDetailsAndVerify) {
    auto [stats, statsJson] = both({"stats", folder.path()});
    const auto statsLines = labelled(stats);
    for (const auto& [label, key] :
         std::map<std::string, std::string>{{"Total Nodes", "nodes"},
                                            {"Total Software Titles", "titles"},
                                            {"Total Software Installs", "installs"},
                                            {"Total Active Node Records", "activeNodes"},
                                            {"Total Duplicate Node Records", "duplicateNodes"},
                                            {"Total Null Node Records", "nullNodes"},
                                            {"Type", "type"},
                                            {"Version", "version"}}) {
        EXPECT_EQ(statsLines.at(label), std::to_string(statsJson.at(key).get<int>())) << label;
    }
    EXPECT_EQ(statsLines.at("DB Name"), statsJson.at("name"));
    EXPECT_EQ(statsLines.at("Comment"), statsJson.at("comment"));
    EXPECT_EQ(lines(stats).back(), statsJson.at("health"));

    auto [duplicates, duplicatesJson] = both({"duplicates", folder.path()});
    EXPECT_EQ(lines(duplicates), duplicatesJson.at("duplicates").get<std::vector<std::string>>());
    auto [details, detailsJson] = both({"details", folder.path(), "SERVER"});
    const auto detailLines = labelled(details);
    EXPECT_EQ(detailLines.at("Active"), detailsJson.at("active") ? "True" : "False");
    for (const auto& [label, key] :
         std::map<std::string, std::string>{{"Name", "name"},
                                            {"User", "user"},
                                            {"Manufacturer", "manufacturer"},
                                            {"Model", "model"},
                                            {"Serial Number", "serialNumber"}}) {
        EXPECT_EQ(detailLines.at(label), detailsJson.at(key)) << label;
    }
    EXPECT_EQ(detailLines.at("Install Count"),
              std::to_string(detailsJson.at("installs").get<int>()));
    EXPECT_EQ(detailsJson.at("lastOnline"), "2020-06-18");
    // A damaged date: the text says so, the document has no date to give.
    auto cmp = test::readFileBytes(folder.file("Kavrin.cmp"));
    const std::size_t at =
        header::kSize + detailsJson.at("offset").get<std::size_t>() + node::kLastOnline;
    std::fill(cmp.begin() + static_cast<std::ptrdiff_t>(at),
              cmp.begin() + static_cast<std::ptrdiff_t>(at + 8), 0xFF);  // a NaN
    test::writeFileBytes(folder.file("Kavrin.cmp"), cmp);
    auto [damaged, damagedJson] = both({"details", folder.path(), "SERVER"});
    EXPECT_EQ(labelled(damaged).at("Last Online"), "(invalid date)");
    EXPECT_TRUE(damagedJson.at("lastOnline").is_null());

    auto [verify, verifyJson] = both({"verify", folder.path()}, 1);
    EXPECT_EQ(lines(verify), verifyJson.at("lines").get<std::vector<std::string>>());
    EXPECT_GT(verifyJson.at("problems"), 0);
}

TEST_F(JsonTest, NodesAndMark) {
    for (const bool withMark : {false, true}) {
        auto [text, document] =
            withMark ? both({"mark", folder.path(), "--fix-duplicates", "--delete", "SERVER"})
                     : both({"nodes", folder.path()});
        std::vector<std::string> rows = lines(text);
        if (withMark) {
            EXPECT_EQ(rows.back(), document.at("health"));
            rows.pop_back();
            EXPECT_EQ(document.at("marked"), 2);
        }
        ASSERT_EQ(rows.size(), document.at("nodes").size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::vector<std::string> cells = columns(rows[i]);
            const json& node = document.at("nodes")[i];
            EXPECT_EQ(cells[0], node.at("name"));
            EXPECT_EQ(cells[1], node.at("index"));
            EXPECT_EQ(std::stoul(cells[1], nullptr, 16), node.at("offset"));
            EXPECT_EQ(cells[2], node.at("active") ? "True" : "False");
            EXPECT_EQ(cells[3], node.at("unique") ? "True" : "False");
            if (withMark) {
                EXPECT_EQ(cells[4], node.at("marked") ? "marked" : "live");
                EXPECT_EQ(cells[5], node.at("reason").is_null() ? "" : node.at("reason"));
            }
        }
    }
}

TEST_F(JsonTest, CommitPreview) {
    auto [preview, previewJson] =
        both({"commit", folder.path(), "--fix-duplicates", "--delete", "SERVER", "--dry-run"});
    const std::vector<std::string> previewLines = lines(preview);
    const json& files = previewJson.at("preview").at("files");
    for (std::size_t file = 0; file < 3; ++file) {
        const json& f = files[file];
        EXPECT_EQ(previewLines[file],
                  f.at("file").get<std::string>() + " : " +
                      std::to_string(f.at("before").at("records").get<int>()) + " -> " +
                      std::to_string(f.at("after").at("records").get<int>()) + " records, " +
                      std::to_string(f.at("before").at("bytes").get<int>()) + " -> " +
                      std::to_string(f.at("after").at("bytes").get<int>()) + " bytes");
    }
    const json& removals = previewJson.at("preview").at("removals");
    for (std::size_t i = 0; i < removals.size(); ++i) {
        EXPECT_EQ(previewLines[3 + i], removals[i].at("label").get<std::string>() + " : " +
                                           std::to_string(removals[i].at("count").get<int>()));
    }
    const json& removed = previewJson.at("preview").at("removed");
    ASSERT_EQ(previewLines.size(), 3 + removals.size() + removed.size());
    for (std::size_t i = 0; i < removed.size(); ++i) {
        const std::vector<std::string> cells = columns(previewLines[3 + removals.size() + i]);
        const json& node = removed[i];
        EXPECT_EQ(cells,
                  (std::vector<std::string>{
                      node.at("name"), node.at("index"), node.at("user"), node.at("lastOnline"),
                      std::to_string(node.at("installs").get<int>()), node.at("reason")}));
    }
    EXPECT_EQ(previewJson.at("nodesRemoved"), removed.size());
}

// A commit done, then the same commit of a copy with --json: the statistics of the files left.
TEST_F(JsonTest, Commit) {
    test::TempFolder copy;
    sampleDatabase().write(copy.path());
    ASSERT_EQ(run({"commit", folder.path(), "--delete", "SERVER"}), 0) << err.str();
    const auto committed = labelled(out.str());
    ASSERT_EQ(run({"commit", copy.path(), "--delete", "SERVER", "--json"}), 0) << err.str();
    const json commitJson = json::parse(out.str());
    EXPECT_EQ(commitJson.at("outcome"), "done");
    EXPECT_EQ(committed.at("Total Nodes"),
              std::to_string(commitJson.at("stats").at("nodes").get<int>()));
    EXPECT_EQ(commitJson.at("nodesRemoved"), 1);
    EXPECT_EQ(commitJson.at("nodeRecordsRemoved"), 2);  // SERVER and the empty record
    EXPECT_TRUE(localFileSystem().status(commitJson.at("backupFolder").get<std::string>()).exists);
}

// Every database in turn, as commit would: one that fails or goes beyond its limit stops none
// of the others; the summary lines and the report say how each went.
TEST_F(UnattendedTest, MaintainRunsEveryDatabaseAndReportsEach) {
    test::TempFolder good;
    test::TempFolder other;
    const struct {
        const char* what;
        std::string second;  // the [[database]] after the good one, in `other`
        bool damaged;
        int exit;
        std::vector<std::string> outcomes;
        int otherRemoves;  // nodes the second database loses
    } cases[] = {
        {"a damaged database", "", true, 1, {"done", "failed"}, 0},
        {"a limit", "max_remove = 0\n", false, 3, {"done", "limit"}, 0},
        {"a dry run", "dry_run = true\n", false, 0, {"done", "dry-run"}, 1},
        // Both copies of the duplicate name protected: the commit runs and removes no node.
        {"a protection rule", "protect = [\"pc-?\"]\n", false, 0, {"done", "done"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sampleDatabase().write(good.path());
        sampleDatabase().write(other.path());
        if (c.damaged) {
            test::writeFileBytes(other.file("Kavrin.ist"), std::vector<std::uint8_t>(100, 0));
        }
        const auto goodBefore = test::readFileBytes(good.file("Kavrin.cmp"));
        const auto otherBefore = folderContent(other);
        const std::string config = writeConfig(
            "[defaults]\nfix_duplicates = true\n\n[[database]]\nfolder = '" + good.path() +
            "'\n\n[[database]]\nfolder = '" + other.path() + "'\n" + c.second);
        const std::string report = configFolder.file("report.json");
        EXPECT_EQ(run({"maintain", config, "--report", report}), c.exit) << err.str();
        const std::vector<std::string> summary = lines(out.str());
        ASSERT_EQ(summary.size(), 2u) << out.str();
        EXPECT_EQ(summary[0].rfind(
                      good.path() + " : done : 1 nodes, 2 installs, 1 titles removed, backup ", 0),
                  0u)
            << summary[0];
        EXPECT_EQ(summary[1].rfind(other.path() + " : " + c.outcomes[1] + " : ", 0), 0u)
            << summary[1];
        EXPECT_NE(test::readFileBytes(good.file("Kavrin.cmp")), goodBefore);
        if (c.outcomes[1] != "done") {
            EXPECT_EQ(folderContent(other), otherBefore);
        }

        std::ifstream in(report);
        const json document = json::parse(in);
        EXPECT_EQ(document.at("exitCode"), c.exit);
        ASSERT_EQ(document.at("databases").size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            const json& database = document.at("databases")[i];
            EXPECT_EQ(database.at("location"), (i == 0 ? good : other).path());
            EXPECT_EQ(database.at("outcome"), c.outcomes[i]);
            EXPECT_EQ(database.at("nodesRemoved"), i == 0 ? 1 : c.otherRemoves);
            EXPECT_EQ(database.at("backupFolder").is_string(), c.outcomes[i] == "done");
            EXPECT_EQ(database.at("message").get<std::string>().empty(),
                      c.outcomes[i] != "failed" && c.outcomes[i] != "limit");
            EXPECT_GE(database.at("seconds"), 0.0);
        }
    }
}

// A configuration that cannot be used: exit 2, the file, line and column, and no database opened.
TEST_F(UnattendedTest, BrokenConfigurationOpensNothing) {
    sampleDatabase().write(folder.path());
    const auto before = folderContent(folder);
    // Literal strings: a Windows path's backslashes are no escapes there.
    const std::string database = "[[database]]\nfolder = '" + folder.path() + "'\n";
    const struct {
        const char* what;
        std::string text;
        const char* where;
        const char* says;
    } cases[] = {
        {"syntax error", database + "[[database]\nfolder = \"x\"\n", ":3:12: ", "expected ']'"},
        {"unknown key", database + "max_removal = 3\n", ":3:1: ", "unknown key \"max_removal\""},
        {"unknown key in [defaults]", "[defaults]\nprotekt = []\n" + database,
         ":2:1: ", "unknown key \"protekt\""},
        {"unknown table", "[default]\n" + database, ":1:2: ", "unknown key \"default\""},
        {"wrong type", database + "fix_duplicates = \"yes\"\n",
         ":3:18: ", "fix_duplicates must be true or false"},
        {"wrong type in [defaults]", "[defaults]\nmax_remove = 1.5\n" + database,
         ":2:14: ", "max_remove must be a string or a number"},
        {"protect not an array", database + "protect = \"SRV-*\"\n",
         ":3:11: ", "protect must be an array of strings"},
        {"wrong value", database + "not_online_for = \"ninety\"\n",
         ":3:18: ", "not_online_for must be"},
        {"both folder and server", database + "server = \"INV01\"\n", ":3:10: ", "not both"},
        {"neither", database + "[[database]]\nsort = \"node\"\n",
         ":3:1: ", "needs \"folder\" or \"server\""},
        {"a location in [defaults]", "[defaults]\nserver = \"X\"\n" + database,
         ":2:1: ", "belongs in a [[database]]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string config = writeConfig(c.text);
        EXPECT_EQ(run({"maintain", config}), 2);
        EXPECT_EQ(out.str(), "");
        EXPECT_NE(err.str().find(config + c.where), std::string::npos) << err.str();
        EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
        EXPECT_EQ(err.str().find("Loading"), std::string::npos) << err.str();
        EXPECT_EQ(folderContent(folder), before);
    }
    EXPECT_EQ(run({"maintain", configFolder.file("missing.toml")}), 2);
    EXPECT_NE(err.str().find(configFolder.file("missing.toml") + ": "), std::string::npos);
}

}  // namespace
}  // namespace kavrin
