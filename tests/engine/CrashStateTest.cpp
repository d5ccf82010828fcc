// Power loss at every point of a commit, of its put-back after a failed replacement, of a restore,
// and of the recovery the next open runs: every state the durability rules allow a crash to leave
// (see common/CrashStateFileSystem.h) is opened, and the open must load one whole database, the
// old or the new, and a backup reported made must be whole, its manifest and summary with it.
#include <gtest/gtest.h>

#include <iomanip>

#include <algorithm>
#include <array>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/CrashStateFileSystem.h"
#include "common/DatabaseBuilder.h"
#include "common/EngineSession.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "common/MemoryView.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/Journal.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

constexpr const char* kFolder = "/db";
constexpr const char* kBackup = "/db/20240822-153007";
constexpr const char* kSource = "/db/20240101-000000";  // the backup a restore puts back
constexpr std::array<const char*, 3> kFiles = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};
constexpr std::array<const char*, 3> kRecords = {"manifest.csv", "offsets.csv", "summary.txt"};

enum class Generation { Old, New, Mixed };

// Every folder and file of `fs`, with sizes: what a failure shows of the state it met.
std::string listing(CrashStateFileSystem& fs, const std::string& folder = "/") {
    std::string text;
    for (const std::string& name : fs.listDirectory(folder)) {
        const std::string path = folder == "/" ? "/" + name : folder + "/" + name;
        const FileStatus status = fs.status(path);
        text += status.isDirectory ? listing(fs, path)
                                   : path + " (" + std::to_string(status.size) + ")\n";
    }
    return text;
}

// The state of the durability model itself: it keeps what the rules keep, and no more.
TEST(CrashStateFileSystemTest, ACrashKeepsWhatWasMadeDurableAndAnyPartOfTheRest) {
    const Bytes a = {1, 2, 3, 4};
    const Bytes b = {5, 6};
    const std::span<const std::uint8_t> partsA[] = {a};
    const std::span<const std::uint8_t> partsB[] = {b};
    using State = std::map<std::string, Bytes>;
    const auto states = [](const CrashStateFileSystem& fs, std::size_t n) {
        std::set<State> result;
        for (CrashStateFileSystem state : fs.crashStates(n)) {
            State files;
            for (const std::string& name : state.listDirectory("/d")) {
                files[name] = state.contents("/d/" + name).value_or(Bytes{9});
            }
            result.insert(files);
        }
        return result;
    };

    CrashStateFileSystem fs;
    fs.createDirectories("/d");
    fs.writeFile("/d/t", partsA, true);
    fs.settle();
    fs.writeFile("/d/n", partsB, true);   // 1 write, 2 flush
    fs.rename("/d/n", "/d/t");            // 3
    fs.syncDirectory("/d");               // 4
    fs.remove("/d/t");                    // 5
    fs.writeFile("/d/u", partsB, false);  // 6, never flushed

    EXPECT_EQ(states(fs, 0), (std::set<State>{{{"t", a}}}));
    // Written, not flushed: the new file may be missing, empty, torn or whole.
    EXPECT_EQ(
        states(fs, 1),
        (std::set<State>{
            {{"t", a}}, {{"t", a}, {"n", {}}}, {{"t", a}, {"n", {5}}}, {{"t", a}, {"n", b}}}));
    // Renamed, the folder not flushed: the rename and the creation before it each lost or kept;
    // `t` is always there, old or new.
    EXPECT_EQ(states(fs, 3), (std::set<State>{{{"t", a}}, {{"t", a}, {"n", b}}, {{"t", b}}}));
    EXPECT_EQ(states(fs, 4), (std::set<State>{{{"t", b}}}));
    EXPECT_EQ(states(fs, 5), (std::set<State>{{{"t", b}}, {}}));
    EXPECT_EQ(states(fs, 6).size(),
              2u * 4u);  // removal lost or kept; u missing, empty, torn, whole
    EXPECT_EQ(fs.describeStep(3), "rename /d/n -> /d/t");
}

class CommitCrashTest : public ::testing::Test {
protected:
    // Three files with headers of their own, and a commit that changes all three: a marked node,
    // a null record, a dead install and a title only the marked node has.
    CommitCrashTest() {
        const std::uint32_t alpha = m_db.addNode("ALPHA");
        const std::uint32_t bravo = m_db.addNode("BRAVO");
        m_db.addNullRecord();
        const std::uint32_t delta = m_db.addNode("DELTA");
        const std::uint32_t t0 = m_db.addTitle(1);
        const std::uint32_t t1 = m_db.addTitle(2);
        const std::uint32_t t2 = m_db.addTitle(3);
        m_db.addInstall(alpha, t0);
        m_db.addInstall(bravo, t2);
        m_db.addInstall(alpha, t1);
        m_db.addInstall(delta, t1, 1);
        DatabaseBuilder::setHeader(m_db.installHeader, 1, 2, "Installs", "own", 1.0, 2.0, 3.0, 4);
        DatabaseBuilder::setHeader(m_db.titleHeader, 1, 2, "Titles", "own", 5.0, 6.0, 7.0, 8);
        m_old = {m_db.nodeFile(), m_db.installFile(), m_db.titleFile()};

        CrashStateFileSystem disk = freshDisk();
        Session session(disk);
        EXPECT_TRUE(session.open()) << session.lastError();
        session.engine.nodeList().setIcon(*session.engine.nodeList().findCaption("BRAVO", 0, true),
                                          kIconMarked);
        session.engine.CommitDatabase();
        EXPECT_EQ(session.view.errors, Names{});
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            m_new[i] = disk.contents(path(kFiles[i])).value_or(Bytes{});
        }
    }

    static std::string path(const std::string& name) { return std::string(kFolder) + "/" + name; }

    CrashStateFileSystem freshDisk() const {
        CrashStateFileSystem disk;
        disk.createDirectories(kFolder);
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            const std::span<const std::uint8_t> parts[] = {m_old[i]};
            disk.writeFile(path(kFiles[i]), parts, false);
        }
        disk.settle();
        return disk;
    }

    Generation generationOf(const CrashStateFileSystem& fs) const {
        bool old = true;
        bool fresh = true;
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            const std::optional<Bytes> bytes = fs.contents(path(kFiles[i]));
            old = old && bytes == m_old[i];
            fresh = fresh && bytes == m_new[i];
        }
        return old ? Generation::Old : fresh ? Generation::New : Generation::Mixed;
    }

    // The backup's files as they were opened, and what the operation wrote beside them as its
    // clean run did.
    bool backupWhole(const CrashStateFileSystem& fs) const {
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            if (fs.contents(std::string(kBackup) + "/" + kFiles[i]) != m_old[i]) {
                return false;
            }
        }
        for (const auto& [name, bytes] : m_records) {
            if (fs.contents(std::string(kBackup) + "/" + name) != bytes) {
                return false;
            }
        }
        return true;
    }

    // A fresh start of the program opens a state a crash left: it must load one whole database,
    // leave no journal, and a crash of its own recovery must lead the open after it to the same
    // database.
    void openAfterCrash(const CrashStateFileSystem& crashed, bool backupReported) {
        ++m_states;
        CrashStateFileSystem disk = crashed;
        if (backupReported) {
            EXPECT_TRUE(backupWhole(disk)) << "backup reported made but not whole";
        }
        // Different crash points often leave the same files; they are opened once.
        if (!m_opened.insert(crashed.fingerprint()).second) {
            return;
        }
        const bool journal = disk.status(journalPath(kFolder)).exists;
        Session session(disk);
        ASSERT_TRUE(session.open()) << session.lastError() << "\n" << listing(disk);
        const Generation loaded = generationOf(disk);
        ASSERT_NE(loaded, Generation::Mixed) << listing(disk);
        (loaded == Generation::New ? m_newLoaded : m_oldLoaded) += 1;
        EXPECT_EQ(session.captions(), loaded == Generation::New
                                          ? (Names{"ALPHA", "DELTA"})
                                          : (Names{"ALPHA", "BRAVO", "DELTA"}));
        EXPECT_FALSE(disk.status(journalPath(kFolder)).exists);
        if (journal) {
            m_recoveries += 1;
            exploreRecovery(disk, loaded);
        }

        // Whatever the crash left beside the database (temporary files, a claim), the next
        // commit deals with it and leaves nothing behind.
        CrashStateFileSystem next = disk;
        Session committing(next);
        ASSERT_TRUE(committing.open()) << committing.lastError();
        committing.engine.CommitDatabase();
        EXPECT_EQ(committing.view.errors, Names{}) << listing(disk);
        for (const std::string& name : next.listDirectory(kFolder)) {
            EXPECT_TRUE(name.starts_with("2024") || name == "Kavrin.cmp" || name == "Kavrin.ist" ||
                        name == "Kavrin.ttl")
                << name << " left behind\n"
                << listing(disk);
        }
    }

    // The recovery an open ran on `disk`, cut short by a power loss at each of its steps: the
    // open after that must reach the database the recovery was heading for.
    void exploreRecovery(const CrashStateFileSystem& disk, Generation loaded) {
        m_recoveryPoints += disk.steps();
        for (std::size_t n = 0; n < disk.steps(); ++n) {
            SCOPED_TRACE(testing::Message()
                         << "recovery crash after step " << n << " of " << disk.steps() << ": "
                         << (n == 0 ? "(none)" : disk.describeStep(n)));
            for (CrashStateFileSystem state : disk.crashStates(n, &m_coverage)) {
                ++m_recoveryStates;
                const auto [seen, first] = m_recoveryOpened.emplace(state.fingerprint(), loaded);
                if (!first) {
                    EXPECT_EQ(seen->second, loaded) << listing(state);
                    continue;
                }
                Session again(state);
                ASSERT_TRUE(again.open()) << again.lastError() << "\n" << listing(state);
                EXPECT_EQ(generationOf(state), loaded) << listing(state);
                EXPECT_FALSE(state.status(journalPath(kFolder)).exists);
            }
        }
    }

    // Runs a commit of the database with BRAVO marked (its third rename failing, when
    // `failRename` is set, so that it puts the files back), or a restore of a backup of the
    // database that commit makes, and opens every state a crash at any of its steps may leave.
    void exploreCommit(bool failRename, bool restore = false) {
        CrashStateFileSystem disk = freshDisk();
        if (restore) {
            disk.createDirectories(kSource);
            for (std::size_t i = 0; i < kFiles.size(); ++i) {
                const std::span<const std::uint8_t> parts[] = {m_new[i]};
                disk.writeFile(std::string(kSource) + "/" + kFiles[i], parts, false);
            }
        }
        FaultyFileSystem fs(disk);
        Session session(fs);
        ASSERT_TRUE(session.open()) << session.lastError();
        session.engine.nodeList().setIcon(*session.engine.nodeList().findCaption("BRAVO", 0, true),
                                          kIconMarked);
        // Both log this line once the backup is made and flushed.
        std::size_t backupReported = SIZE_MAX;
        session.view.onLog = [&](const std::string& line) {
            if (line == "Commiting to Database...") {
                backupReported = std::min(backupReported, disk.steps());
            }
        };
        disk.settle();
        fs.reset();
        if (failRename) {
            fs.failAt(FileOp::Rename, 3);  // after the journal and the node file
        }

        if (restore) {
            session.engine.RestoreBackup(kSource);
        } else {
            session.engine.CommitDatabase();
        }
        m_records.clear();
        for (const char* name : kRecords) {
            if (const auto bytes = disk.contents(std::string(kBackup) + "/" + name)) {
                m_records[name] = *bytes;
            }
        }
        ASSERT_EQ(m_records.size(), restore ? 1u : 3u);

        if (failRename) {
            ASSERT_EQ(session.view.errors.size(), 1u);
            EXPECT_NE(session.lastError().find("put back"), std::string::npos)
                << session.lastError();
            EXPECT_EQ(generationOf(disk), Generation::Old);
        } else {
            ASSERT_EQ(session.view.errors, Names{});
            EXPECT_EQ(generationOf(disk), Generation::New);
        }
        ASSERT_NE(backupReported, SIZE_MAX);
        m_points += disk.steps() + 1;
        for (std::size_t n = 0; n <= disk.steps(); ++n) {
            SCOPED_TRACE(testing::Message() << "crash after step " << n << " of " << disk.steps()
                                            << ": " << (n == 0 ? "(none)" : disk.describeStep(n)));
            for (const CrashStateFileSystem& state : disk.crashStates(n, &m_coverage)) {
                openAfterCrash(state, n >= backupReported);
            }
        }
    }

    void report(const char* what) {
        RecordProperty("crashPoints", static_cast<int>(m_points));
        RecordProperty("crashStates", static_cast<int>(m_states));
        RecordProperty("recoveryCrashStates", static_cast<int>(m_recoveryStates));
        std::cout << "[ crash states ] " << what << ": " << m_points << " crash points, "
                  << m_states << " crash states (" << m_opened.size()
                  << " distinct: " << m_oldLoaded << " opened old, " << m_newLoaded << " new); "
                  << m_recoveries << " recoveries cut at " << m_recoveryPoints << " points, "
                  << m_recoveryStates << " states (" << m_recoveryOpened.size() << " distinct); "
                  << (HasFailure() ? "FAILURES" : "0 failures") << "\n";
        // Above the bound only a sample is built: every state is claimed only where none was.
        RecordProperty("combinationsBuilt", static_cast<int>(m_coverage.built));
        RecordProperty("combinationsPossible", std::to_string(m_coverage.possible));
        std::cout << "[ crash states ] " << what << ": built from " << m_coverage.built << " of "
                  << std::fixed << std::setprecision(0) << m_coverage.possible
                  << " possible combinations; " << m_coverage.sampledPoints << " of "
                  << m_coverage.points << " crash points sampled ("
                  << CrashStateFileSystem::kSampled << " each), the others exhaustive\n"
                  << std::defaultfloat;
    }

    DatabaseBuilder m_db;
    std::array<Bytes, 3> m_old;
    std::array<Bytes, 3> m_new;
    std::size_t m_points = 0;
    std::size_t m_states = 0;
    std::size_t m_oldLoaded = 0;
    std::size_t m_newLoaded = 0;
    std::set<std::string> m_opened;
    std::size_t m_recoveries = 0;
    std::size_t m_recoveryPoints = 0;
    std::size_t m_recoveryStates = 0;
    std::map<std::string, Generation> m_recoveryOpened;
    std::map<std::string, Bytes> m_records;  // written beside the backup's files
    CrashStateFileSystem::Coverage m_coverage;
};

TEST_F(CommitCrashTest, PowerLossAtAnyPointOfACommitLeavesOneWholeDatabase) {
    exploreCommit(false);
    report("commit");
}

TEST_F(CommitCrashTest, PowerLossWhileAFailedCommitPutsTheFilesBackLeavesOneWholeDatabase) {
    exploreCommit(true);
    report("commit putting the files back");
}

TEST_F(CommitCrashTest, PowerLossAtAnyPointOfARestoreLeavesOneWholeDatabase) {
    exploreCommit(false, true);
    report("restore");
}

}  // namespace
}  // namespace kavrin::test
