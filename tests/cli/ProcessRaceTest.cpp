// Real processes of the command line on one database at the same moments: a commit while other
// processes open the database again and again, and two opens after a commit was killed while it
// replaced the files. Whatever the timing, the commit's exit code tells what the disk holds, and
// no open ever loads files of two generations.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/Commands.h"
#include "common/ChildProcess.h"
#include "common/ShareFolder.h"
#include "common/TempFolder.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"

namespace kavrin::test {
namespace {

#if defined(KAVRIN_CLI_PROGRAM) && !defined(_WIN32)

using Bytes = std::vector<std::uint8_t>;
using Generation = std::array<Bytes, 3>;
constexpr std::array<const char*, 3> kFiles = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};
constexpr const char* kStrace = "/usr/bin/strace";
// Processes opening the database while a commit runs.
constexpr std::size_t kOpensAtOnce = 3;

std::optional<Bytes> contentOf(const std::string& path) {
    FileSystem& fs = localFileSystem();
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory) {
        return std::nullopt;
    }
    const FileBytes bytes = fs.readFile(path);
    return Bytes(bytes.data.get(), bytes.data.get() + bytes.size);
}

Generation generationIn(const std::string& folder) {
    Generation files;
    for (std::size_t i = 0; i < kFiles.size(); ++i) {
        files[i] = contentOf(joinPath(folder, kFiles[i])).value_or(Bytes{});
    }
    return files;
}

// The database files only; whatever else is in the folder stays.
void putGeneration(const std::string& folder, const Generation& files) {
    for (std::size_t i = 0; i < kFiles.size(); ++i) {
        const std::span<const std::uint8_t> parts[] = {files[i]};
        localFileSystem().writeFile(joinPath(folder, kFiles[i]), parts, false);
    }
}

// Entries of `folder` a finished commit or recovery must not leave: its journal, its temporary
// files and its claim.
std::vector<std::string> leftovers(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : localFileSystem().listDirectory(folder)) {
        if (name.ends_with(".new") || name == "Kavrin.journal" || name == "Kavrin.claim") {
            found.push_back(name);
        }
    }
    return found;
}

// A command of the program as a child process, its log lines dropped; under strace when
// `killAtRename` is given: killed as it enters that rename (1 for the first).
std::unique_ptr<ChildProcess> startCommand(const std::vector<std::string>& args,
                                           int killAtRename = 0) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>/dev/null", "sh"};
    if (killAtRename > 0) {
        argv.insert(argv.end(), {kStrace, "-qq", "-o", "/dev/null", "-e", "trace=rename", "-e",
                                 "inject=rename:signal=KILL:when=" + std::to_string(killAtRename)});
    }
    argv.push_back(KAVRIN_CLI_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv);
}

struct Finished {
    int exit = -1;
    std::string output;
};

Finished finish(ChildProcess& child) {
    Finished done;
    for (std::string line = child.receive(); !line.empty(); line = child.receive()) {
        done.output += line + "\n";
    }
    done.exit = child.wait();
    return done;
}

// What the command prints for `args`, run in this process.
std::string outputOf(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(cli::runCommandLine(args, out, err), 0) << err.str();
    return out.str();
}

class ProcessRaceTest : public ::testing::Test {
protected:
    // A generated database of about a megabyte, and what a commit that fixes its duplicates
    // makes of it; the "stats" output of each.
    static void SetUpTestSuite() {
        TempFolder work;
        const std::string folder = work.file("db");
        outputOf(
            {"generate", folder, "--nodes", "1000", "--installs-per-node", "20", "--seed", "7"});
        s_old = generationIn(folder);
        s_oldStats = outputOf({"stats", folder});
        const auto started = std::chrono::steady_clock::now();
        outputOf({"commit", folder, "--fix-duplicates"});
        s_commitTime = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        s_new = generationIn(folder);
        s_newStats = outputOf({"stats", folder});
    }

    enum class State { Old, New, Mixed };
    static State stateIn(const std::string& folder) {
        const Generation found = generationIn(folder);
        return found == s_old ? State::Old : found == s_new ? State::New : State::Mixed;
    }
    static bool statsOfOneGeneration(const Finished& open) {
        return open.exit != 0 || open.output == s_oldStats || open.output == s_newStats;
    }

    // `rounds` commits, each while other processes open the database one after another from a
    // random moment on until it ends: the commit's exit code always tells what the disk holds,
    // every open that succeeds shows one generation, and the next open leaves nothing behind.
    void commitWhileOpening(const std::string& folder, int rounds) {
        std::mt19937 random(20261210);
        // The first open starts at any moment of the commit, process start-up included.
        std::uniform_int_distribution<int> start(0, static_cast<int>(s_commitTime.count()) + 20);
        int committed = 0;
        int failed = 0;
        int opens = 0;
        int openFailures = 0;
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            putGeneration(folder, s_old);
            const auto commit = startCommand({"commit", folder, "--fix-duplicates"});
            std::this_thread::sleep_for(std::chrono::milliseconds(start(random)));
            // A few opens at a time, each followed by the next as soon as it ends.
            std::array<std::unique_ptr<ChildProcess>, kOpensAtOnce> running;
            bool committing = true;
            while (committing || std::any_of(running.begin(), running.end(),
                                             [](const auto& open) { return open != nullptr; })) {
                committing = committing && commit->running();
                for (auto& open : running) {
                    if (open && !open->running()) {
                        const Finished ended = finish(*open);
                        open.reset();
                        ++opens;
                        openFailures += ended.exit == 0 ? 0 : 1;
                        ASSERT_TRUE(statsOfOneGeneration(ended)) << ended.output;
                    }
                    if (!open && committing) {
                        open = startCommand({"stats", folder});
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const Finished done = finish(*commit);

            const State state = stateIn(folder);
            ASSERT_NE(state, State::Mixed);
            if (done.exit == 0) {
                ASSERT_EQ(state, State::New) << "the commit reported success";
                ++committed;
            } else {
                ASSERT_EQ(done.exit, 1);
                ASSERT_EQ(state, State::Old) << "the commit reported failure";
                ++failed;
            }
            ASSERT_EQ(finish(*startCommand({"stats", folder})).exit, 0);
            ASSERT_EQ(leftovers(folder), std::vector<std::string>{});
        }
        std::cout << "[ commit while opening ] " << rounds << " rounds in " << folder << ": "
                  << committed << " committed, " << failed << " refused; " << opens << " opens, "
                  << openFailures << " refused, 0 mixed\n";
    }

    static Generation s_old;
    static Generation s_new;
    static std::string s_oldStats;
    static std::string s_newStats;
    static std::chrono::milliseconds s_commitTime;
};

// A hundred rounds each; under the sanitizers, whose work is the memory of the same paths, a
// fifth of them, so that their run stays within its time.
#ifdef __SANITIZE_ADDRESS__
constexpr int kRounds = 20;
#else
constexpr int kRounds = 100;
#endif

Generation ProcessRaceTest::s_old;
Generation ProcessRaceTest::s_new;
std::string ProcessRaceTest::s_oldStats;
std::string ProcessRaceTest::s_newStats;
std::chrono::milliseconds ProcessRaceTest::s_commitTime;

TEST_F(ProcessRaceTest, ACommitWhileOtherProcessesOpenTheDatabase) {
    TempFolder folder;
    commitWhileOpening(folder.path(), kRounds);
}

TEST_F(ProcessRaceTest, ACommitWhileOtherProcessesOpenTheDatabaseOnAShare) {
    if (!testShare()) {
        GTEST_SKIP() << "no test server";
    }
    ShareFolder folder;  // the share admits guests: the processes come as such
    commitWhileOpening(folder.path(), kRounds);
}

// A commit killed as it enters each of its renames (the journal's, then the three files'), and
// then two processes opening the database at once: one finishes or undoes the commit while the
// other waits for it, both show one whole generation, and nothing of the commit is left.
TEST_F(ProcessRaceTest, TwoOpensAfterACommitKilledAtEachOfItsRenames) {
    if (!std::filesystem::exists(kStrace)) {
        GTEST_SKIP() << "no strace to kill the commit at a rename (scripts/setup.sh installs it)";
    }
    TempFolder folder;
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> stagger(0, 20);  // milliseconds between the two opens
    constexpr int kRenames = 4;
    std::array<int, 2> loaded{};  // old, new
    int journals = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int rename = 1 + round % kRenames;
        SCOPED_TRACE(testing::Message() << "round " << round << ", killed at rename " << rename);
        putGeneration(folder.path(), s_old);
        const Finished killed =
            finish(*startCommand({"commit", folder.path(), "--fix-duplicates"}, rename));
        ASSERT_NE(killed.exit, 0) << "the commit was not killed";
        journals += std::filesystem::exists(folder.file("Kavrin.journal")) ? 1 : 0;

        const auto first = startCommand({"stats", folder.path()});
        std::this_thread::sleep_for(std::chrono::milliseconds(stagger(random)));
        const auto second = startCommand({"stats", folder.path()});
        for (const Finished& open : {finish(*first), finish(*second)}) {
            ASSERT_EQ(open.exit, 0);
            ASSERT_TRUE(statsOfOneGeneration(open)) << open.output;
        }
        const State state = stateIn(folder.path());
        ASSERT_NE(state, State::Mixed);
        ++loaded[state == State::Old ? 0 : 1];
        ASSERT_EQ(leftovers(folder.path()), std::vector<std::string>{});
    }
    std::cout << "[ two opens after a killed commit ] " << kRounds << " rounds, " << journals
              << " with a journal: " << loaded[0] << " undone or untouched, " << loaded[1]
              << " finished, 0 mixed, nothing left behind\n";
}

#else

TEST(ProcessRaceTest, RunsWhereTheProgramCanBeStartedAsAProcess) {
    GTEST_SKIP() << "the races start the Linux build's program as processes";
}

#endif

}  // namespace
}  // namespace kavrin::test
