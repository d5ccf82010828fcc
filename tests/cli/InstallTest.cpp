#include <gtest/gtest.h>

#include <sstream>

#include "cli/CliFixture.h"
#include "common/DatabaseBuilder.h"
#include "common/DocumentCheck.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {
namespace {

class CliInstallTest : public test::CliFixture {};

// Every command and every option the parser accepts, taken from the parser itself so that one
// added later is caught, is in the manual page and in the shell completion.
TEST(CliDocumentation, ManualPageAndCompletionNameEveryCommandAndOption) {
    std::vector<std::string> words;
    for (const auto& [command, options] : cli::acceptedOptions(cli::commandTable())) {
        if (!command.empty()) {
            words.push_back(command);
        }
        words.insert(words.end(), options.begin(), options.end());
    }
    ASSERT_GT(words.size(), 20u);
    for (const char* file : {"man/kavrin-dbtool-cli.1.scd", "completion/kavrin-dbtool-cli"}) {
        EXPECT_EQ(test::missingWords(std::string(KAVRIN_DIST_DIR "/") + file, words),
                  std::vector<std::string>{})
            << file;
    }
}

TEST_F(CliInstallTest, VersionWinsOverEverythingElse) {
    const std::string version = "kavrin-dbtool-cli " + FileVersionText(RunningProgramPath()) + "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--version"}, {"--version", "stats", "--nonsense"}}) {
        EXPECT_EQ(run(args), 0) << err.str();
        EXPECT_EQ(out.str(), version);
    }
}

// What a terminal shows of `written`: CR returns to the start of the line, LF starts a new one.
std::vector<std::string> terminalLines(const std::string& written) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (char c : written) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            line.resize(std::max(line.size(), column + 1), ' ');
            line[column++] = c;
        }
    }
    return lines;
}

// On a terminal the long operations keep one line of progress that the log lines pass and that
// is gone when they end; elsewhere standard error holds the log lines alone.
TEST_F(CliInstallTest, ProgressLineOnlyOnATerminalAndGoneWhenDone) {
    test::DatabaseBuilder db;
    for (int i = 0; i < 300; ++i) {
        const std::uint32_t node = db.addNode(i % 50 == 0 ? "TWIN" : "PC" + std::to_string(i));
        db.addInstall(node, 0);
    }
    db.addTitle(1);
    db.write(folder.path());
    const std::vector<std::string> args = {"commit", folder.path(), "--fix-duplicates",
                                           "--dry-run"};
    ASSERT_EQ(run(args), 0) << err.str();
    const std::string logOnly = err.str();
    EXPECT_EQ(logOnly.find('\r'), std::string::npos);

    std::ostringstream terminal;
    ASSERT_EQ(cli::runCommandLine(args, out, terminal, localFileSystem(), systemClock(), true), 0);
    const std::string written = terminal.str();
    for (const char* shown : {"\rOpening   0%", "\rOpening 100%", "\rFixing Duplicates 100%"}) {
        EXPECT_NE(written.find(shown), std::string::npos) << shown;
    }
    std::vector<std::string> seen = terminalLines(written);
    for (std::string& line : seen) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    // What memory the system can give changes from one run to the next.
    const auto withoutMemory = [](std::vector<std::string> lines) {
        std::erase_if(lines, [](const std::string& line) { return line.starts_with("Memory : "); });
        return lines;
    };
    EXPECT_EQ(withoutMemory(seen), withoutMemory(terminalLines(logOnly)));
}

}  // namespace
}  // namespace kavrin
