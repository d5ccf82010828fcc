#include <gtest/gtest.h>

#include <algorithm>

#include "cli/CliFixture.h"
#include "common/DatabaseBuilder.h"
#include "generator/Generator.h"
#include "support/fs/Paths.h"

namespace kavrin {
namespace {

class GenerateCommandTest : public test::CliFixture {};

TEST_F(GenerateCommandTest, TheEngineOpensWhatWasGenerated) {
    const std::string db = folder.file("new/inventory");  // neither level exists yet
    ASSERT_EQ(run({"generate", db, "--nodes", "400", "--installs-per-node", "6", "--titles", "50",
                   "--seed", "9", "--null-rate", "0.05", "--duplicate-rate", "0.05"}),
              0)
        << err.str();
    const std::string summary = out.str();
    EXPECT_TRUE(summary.starts_with("Generated " + db + ": 400 node records (")) << summary;
    EXPECT_EQ(test::readFileBytes(joinPath(db, "Kavrin.cmp")).size(), 230u + 400 * 765);
    EXPECT_EQ(test::readFileBytes(joinPath(db, "Kavrin.ist")).size(), 230u + 2400 * 13);
    EXPECT_EQ(test::readFileBytes(joinPath(db, "Kavrin.ttl")).size(), 230u + 50 * 134);

    GeneratorOptions o;
    o.nodes = 400;
    o.installsPerNode = 6;
    o.titles = 50;
    o.seed = 9;
    o.nullRate = 0.05;
    o.duplicateRate = 0.05;
    const GeneratedCounts counts = generateDatabase(o).counts;
    ASSERT_GT(counts.duplicates, 0u);

    ASSERT_EQ(run({"stats", db}), 0) << err.str();
    const std::string stats = out.str();
    EXPECT_NE(
        stats.find(
            "\nTotal Nodes : 400\nTotal Software Titles : 50\nTotal Software Installs : 2400\n"),
        std::string::npos)
        << stats;
    EXPECT_NE(stats.find("\nTotal Active Node Records : " +
                         std::to_string(400 - counts.nullRecords - counts.inactive) + "\n"),
              std::string::npos);
    EXPECT_NE(
        stats.find("\nTotal Duplicate Node Records : " + std::to_string(counts.duplicates) + "\n"),
        std::string::npos);
    EXPECT_NE(
        stats.find("\nTotal Null Node Records : " + std::to_string(counts.nullRecords) + "\n"),
        std::string::npos);
    EXPECT_TRUE(stats.ends_with("Status : Duplicate Records Found\n"));

    ASSERT_EQ(run({"nodes", db}), 0);
    const std::string nodes = out.str();
    EXPECT_EQ(static_cast<std::size_t>(std::count(nodes.begin(), nodes.end(), '\n')),
              400 - counts.nullRecords);

    // Generating again replaces the files with the same bytes.
    const std::vector<std::uint8_t> before = test::readFileBytes(joinPath(db, "Kavrin.ist"));
    ASSERT_EQ(run({"generate", db, "--seed", "9", "--titles", "50", "--nodes", "400",
                   "--installs-per-node", "6", "--null-rate", "0.05", "--duplicate-rate", "0.05"}),
              0);
    EXPECT_EQ(test::readFileBytes(joinPath(db, "Kavrin.ist")), before);
}

TEST_F(GenerateCommandTest, EmptyDatabaseAndCommandLineErrors) {
    ASSERT_EQ(run({"generate", folder.path(), "--nodes", "0", "--titles", "0"}), 0) << err.str();
    EXPECT_EQ(test::readFileBytes(folder.file("Kavrin.cmp")).size(), 230u);
    ASSERT_EQ(run({"stats", folder.path()}), 0) << err.str();
    EXPECT_NE(out.str().find("Total Nodes : 0\n"), std::string::npos);
    EXPECT_TRUE(out.str().ends_with("Status  : Healthy\n"));

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"generate"},
                                               {"generate", "--nodes", "5"},
                                               {"generate", "a", "b"},
                                               {"generate", "a", "--nodes"},
                                               {"generate", "a", "--nodes", "-1"},
                                               {"generate", "a", "--nodes", "12x"},
                                               {"generate", "a", "--nodes", "99999999999"},
                                               {"generate", "a", "--null-rate", "1.5"},
                                               {"generate", "a", "--dangling-rate", "0,5"},
                                               {"generate", "a", "--colour", "red"}}) {
        EXPECT_EQ(run(bad), 2) << bad.back();
        EXPECT_TRUE(err.str().ends_with("--help\" for every command and option.\n")) << err.str();
    }

    // A folder that cannot be created: the failure is the file layer's, exit code 1.
    test::writeFileBytes(folder.file("plain"), {1, 2, 3});
    EXPECT_EQ(run({"generate", joinPath(folder.file("plain"), "db"), "--nodes", "3"}), 1);
    EXPECT_FALSE(err.str().empty());
    EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace kavrin
