// A whole commit (backup and manifest, new files, journal, renames, check, journal removal), and a
// whole restore, which replaces the files the same way, with the file system failing, or the
// process dying, at each of its operations in turn. After every run the database folder must hold
// one whole generation of the database, and the next open must load it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/EngineSession.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "common/MemoryView.h"
#include "common/ShareFolder.h"
#include "common/ShareProxy.h"
#include "common/TempFolder.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/Journal.h"
#include "support/fs/Paths.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

constexpr const char* kStamp = "20240822-153007";
constexpr std::array<const char*, 3> kFiles = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};

// Where the database lives. On a share the server renames only onto free names: a rename over a
// file is its removal and a rename, two operations a fault or a crash can fall between, as it is
// in memory for the kind that renames in two steps.
enum class DiskKind { Memory, MemoryRenamingInTwoSteps, Local, Share };

const char* nameOf(DiskKind kind) {
    switch (kind) {
        case DiskKind::Memory:
            return "InMemory";
        case DiskKind::MemoryRenamingInTwoSteps:
            return "InMemoryRenamingInTwoSteps";
        case DiskKind::Local:
            return "OnDisk";
        case DiskKind::Share:
            return "OnShare";
    }
    return "";
}

// Where the run happens and what it is: a commit of the old database, or a restore of a backup
// that holds the database the commit makes.
struct Scenario {
    DiskKind disk;
    bool restore;
};

std::string nameOf(const Scenario& scenario) {
    return std::string(scenario.restore ? "Restore" : "Commit") + nameOf(scenario.disk);
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << nameOf(scenario);
}

constexpr const char* kSource = "20240101-000000";  // the backup a restore puts back

// One database folder, in memory, in a fresh folder of the real disk or of the test server's
// share, seen through the same file layer the engine uses.
class Disk {
public:
    explicit Disk(DiskKind kind)
        : twoStepRenames(kind == DiskKind::MemoryRenamingInTwoSteps || kind == DiskKind::Share) {
        if (kind == DiskKind::Memory || kind == DiskKind::MemoryRenamingInTwoSteps) {
            m_memory = std::make_unique<MemoryFileSystem>();
            m_memory->createDirectories("/db");
            folder = "/db";
        } else if (kind == DiskKind::Share) {
            m_share = std::make_unique<ShareFolder>();
            folder = m_share->path();
        } else {
            m_temp = std::make_unique<TempFolder>();
            folder = m_temp->path();
        }
    }

    FileSystem& fs() { return m_memory ? static_cast<FileSystem&>(*m_memory) : localFileSystem(); }
    std::string path(const std::string& name) const { return joinPath(folder, name); }

    std::optional<Bytes> read(const std::string& path) {
        const FileStatus status = fs().status(path);
        if (!status.exists || status.isDirectory) {
            return std::nullopt;
        }
        const FileBytes bytes = fs().readFile(path);
        return Bytes(bytes.data.get(), bytes.data.get() + bytes.size);
    }
    void write(const std::string& path, const Bytes& bytes) {
        const std::span<const std::uint8_t> parts[] = {bytes};
        fs().writeFile(path, parts, false);
    }
    Names entries() {
        Names names = fs().listDirectory(folder);
        std::sort(names.begin(), names.end());
        return names;
    }
    bool hasJournal() { return fs().status(journalPath(folder)).exists; }

    std::string folder;
    bool twoStepRenames;

private:
    std::unique_ptr<MemoryFileSystem> m_memory;
    std::unique_ptr<TempFolder> m_temp;
    std::unique_ptr<ShareFolder> m_share;
};

using Generation = std::array<Bytes, 3>;
enum class State { Old, New, Mixed };

const char* nameOf(State state) {
    return state == State::Old ? "old" : state == State::New ? "new" : "MIXED";
}

class CommitUnderFaults : public ::testing::TestWithParam<Scenario> {
protected:
    // A database whose commit changes all three files: a marked node, a null record, a dead
    // install and a title only the marked node has.
    CommitUnderFaults() {
        const std::uint32_t alpha = m_db.addNode("ALPHA");
        const std::uint32_t bravo = m_db.addNode("BRAVO");
        m_db.addNullRecord();
        const std::uint32_t delta = m_db.addNode("DELTA");
        const std::uint32_t echo = m_db.addNode("ECHO");
        const std::uint32_t t0 = m_db.addTitle(1);
        const std::uint32_t t1 = m_db.addTitle(2);
        const std::uint32_t t2 = m_db.addTitle(3);
        const std::uint32_t t3 = m_db.addTitle(4);
        m_db.addInstall(alpha, t0);
        m_db.addInstall(bravo, t2);
        m_db.addInstall(alpha, t1);
        m_db.addInstall(delta, t3, 1);
        m_db.addInstall(echo, t3);
        m_db.addInstall(bravo, t0);
        // Each file its own header: the backup and every put-back must keep them apart.
        DatabaseBuilder::setHeader(m_db.installHeader, 1, 2, "Installs", "own", 1.0, 2.0, 3.0, 4);
        DatabaseBuilder::setHeader(m_db.titleHeader, 1, 2, "Titles", "own", 5.0, 6.0, 7.0, 8);
        m_old = {m_db.nodeFile(), m_db.installFile(), m_db.titleFile()};
    }

    void SetUp() override {
        if (GetParam().disk == DiskKind::Share) {
            if (!testShare()) {
                GTEST_SKIP() << "no test server";
            }
            useTestCredentials();
        }
    }

    // The folder with the old database (and for a restore, the backup of the new one), opened
    // through `fs` (at `location`, when it is reached by another path) with BRAVO marked.
    std::unique_ptr<Session> prepare(Disk& disk, FaultyFileSystem& fs,
                                     const std::string& location = {}) {
        if (disk.twoStepRenames) {
            fs.replaceInTwoSteps();
        }
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            disk.write(disk.path(kFiles[i]), m_old[i]);
        }
        if (GetParam().restore) {
            disk.fs().createDirectories(disk.path(kSource));
            for (std::size_t i = 0; i < kFiles.size(); ++i) {
                disk.write(joinPath(disk.path(kSource), kFiles[i]), m_new[i]);
            }
        }
        auto session = std::make_unique<Session>(fs, location.empty() ? disk.folder : location);
        EXPECT_TRUE(session->open()) << session->lastError();
        session->mark("BRAVO");
        fs.reset();
        return session;
    }

    ReplaceResult runOperation(Session& session) const {
        return GetParam().restore ? session.engine.RestoreBackup(kSource)
                                  : session.engine.CommitDatabase();
    }

    // Runs the operation once without a fault: its operations and the files it writes. The new
    // generation is always the commit's; a restore puts it back from its backup.
    void measureCleanCommit() {
        for (const bool restore : {false, true}) {
            if (restore && !GetParam().restore) {
                break;
            }
            Disk disk(GetParam().disk);
            FaultyFileSystem fs(disk.fs());
            auto session = prepare(disk, fs);
            if (restore) {
                session->engine.RestoreBackup(kSource);
            } else {
                session->engine.CommitDatabase();
            }
            ASSERT_EQ(session->view.errors, Names{});
            m_operations = fs.calls(FileOp::Any);
            m_changes = fs.changes();
            m_cleanJournal = fs.journal();
            for (std::size_t i = 0; i < kFiles.size(); ++i) {
                const Bytes written = disk.read(disk.path(kFiles[i])).value_or(Bytes{});
                if (restore) {
                    ASSERT_EQ(written, m_new[i]) << kFiles[i];
                }
                m_new[i] = written;
                ASSERT_NE(m_new[i], m_old[i]) << kFiles[i] << ": the commit must change every file";
            }
        }
    }

    State stateOf(Disk& disk) const {
        bool old = true;
        bool fresh = true;
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            const std::optional<Bytes> bytes = disk.read(disk.path(kFiles[i]));
            old = old && bytes == m_old[i];
            fresh = fresh && bytes == m_new[i];
        }
        return old ? State::Old : fresh ? State::New : State::Mixed;
    }

    // The three copies are the files as they were opened, byte for byte.
    bool backupComplete(Disk& disk) const {
        const std::string folder = m_backupFolder.empty() ? disk.path(kStamp) : m_backupFolder;
        for (std::size_t i = 0; i < kFiles.size(); ++i) {
            if (disk.read(joinPath(folder, kFiles[i])) != m_old[i]) {
                return false;
            }
        }
        return true;
    }

    Names captionsOf(State state) const {
        return state == State::New ? Names{"ALPHA", "DELTA", "ECHO"}
                                   : Names{"ALPHA", "BRAVO", "DELTA", "ECHO"};
    }

    // A fresh start of the program opens the folder: whatever it finds, it must load one whole
    // generation and leave no journal. Returns the generation it loaded.
    State reopen(Disk& disk, State found, bool journalFound) {
        Session fresh(disk.fs(), disk.folder);
        EXPECT_TRUE(fresh.open()) << fresh.lastError();
        const State loaded = stateOf(disk);
        EXPECT_NE(loaded, State::Mixed);
        if (!journalFound) {
            EXPECT_EQ(loaded, found) << "an open without a journal changed the database";
        }
        EXPECT_EQ(fresh.captions(), captionsOf(loaded));
        EXPECT_FALSE(disk.hasJournal());
        if (loaded == State::New) {
            EXPECT_TRUE(backupComplete(disk));
        }
        return loaded;
    }

    // Temporary files of a failed or dead commit may stay until the next commit, not longer.
    void commitAgainLeavingNothingBehind(Disk& disk) {
        Session next(disk.fs(), disk.folder);
        ASSERT_TRUE(next.open()) << next.lastError();
        next.engine.CommitDatabase();
        EXPECT_EQ(next.view.errors, Names{});
        for (const std::string& name : disk.entries()) {
            EXPECT_TRUE(name.find(".new") == std::string::npos && name != "Kavrin.journal")
                << name << " left behind";
        }
    }

    std::string operation(int n) const {
        return n >= 1 && n <= static_cast<int>(m_cleanJournal.size())
                   ? m_cleanJournal[static_cast<std::size_t>(n - 1)]
                   : "(none)";
    }

    void report(const char* what, int runs, int halfWritten, int oldCount, int newCount) const {
        const std::string disk = nameOf(GetParam());
        RecordProperty("operations", m_operations);
        RecordProperty("halfWritten", halfWritten);
        std::cout << "[ " << disk << " ] " << what << ": clean run of " << m_operations
                  << " operations, " << runs << " runs, " << oldCount << " old, " << newCount
                  << " new, " << halfWritten << " half-written databases\n";
    }

    DatabaseBuilder m_db;
    Generation m_old;
    Generation m_new;
    int m_operations = 0;
    int m_changes = 0;
    Names m_cleanJournal;
    // Where the backup of the run looked at is, when not at the first name of its time stamp.
    std::string m_backupFolder;
};

// The N-th operation fails, for every N: the commit reports it (or, for an operation whose
// failure changes nothing, succeeds), and leaves the old or the new database, never a mix.
TEST_P(CommitUnderFaults, AFailureAtAnyOperationLeavesAWholeDatabase) {
    measureCleanCommit();
    int halfWritten = 0;
    int oldCount = 0;
    int newCount = 0;
    for (int n = 1; n <= m_operations + 1; ++n) {
        SCOPED_TRACE(testing::Message() << "operation " << n << ": " << operation(n));
        Disk disk(GetParam().disk);
        FaultyFileSystem fs(disk.fs());
        auto session = prepare(disk, fs);
        fs.failAt(FileOp::Any, n);

        runOperation(*session);

        EXPECT_EQ(fs.faults(), n <= m_operations ? 1 : 0);
        const State state = stateOf(disk);
        halfWritten += state == State::Mixed ? 1 : 0;
        ASSERT_NE(state, State::Mixed) << nameOf(state);
        if (session->view.errors.empty()) {
            EXPECT_EQ(state, State::New) << "the commit reported success";
        }
        if (state == State::New || session->logged("Commiting to Database...")) {
            EXPECT_TRUE(backupComplete(disk));
        }
        const bool journal = disk.hasJournal();
        // Only a reported failure that left the files as they were keeps the database open.
        if (session->engine.context().IsOpen) {
            EXPECT_EQ(state, State::Old);
            EXPECT_FALSE(session->view.errors.empty());
            EXPECT_FALSE(journal);
        }
        if (journal) {
            EXPECT_TRUE(!session->view.errors.empty() ||
                        session->loggedPart("could not be removed"))
                << "a journal was left behind silently";
        }
        (reopen(disk, state, journal) == State::New ? newCount : oldCount) += 1;
        commitAgainLeavingNothingBehind(disk);
    }
    EXPECT_EQ(halfWritten, 0);
    report("fault at every operation", m_operations + 1, halfWritten, oldCount, newCount);
}

// The process dies after N operations, for every N, with no clean-up of any kind. Without a
// journal the folder must already hold a whole database; with one, the next open makes it whole.
// The next commit then leaves nothing of the dead one behind.
TEST_P(CommitUnderFaults, ACrashAtAnyOperationIsRecoveredByTheNextOpen) {
    measureCleanCommit();
    for (const bool tear : {false, true}) {
        int halfWritten = 0;
        int oldCount = 0;
        int newCount = 0;
        for (int n = 0; n <= m_operations; ++n) {
            SCOPED_TRACE(testing::Message() << (tear ? "torn write, " : "") << "crash after " << n
                                            << " operations, before " << operation(n + 1));
            Disk disk(GetParam().disk);
            FaultyFileSystem fs(disk.fs());
            auto session = prepare(disk, fs);
            fs.crashAfter(n, tear);

            bool crashed = false;
            try {
                runOperation(*session);
            } catch (const SimulatedCrash&) {
                crashed = true;
            }

            EXPECT_EQ(crashed, n < m_operations);
            const bool journal = disk.hasJournal();
            const State atCrash = stateOf(disk);
            if (!journal) {
                EXPECT_NE(atCrash, State::Mixed) << "files that do not belong together, and no "
                                                    "journal to tell the next open";
            }
            if (atCrash == State::New) {
                EXPECT_TRUE(backupComplete(disk));
            }
            const State loaded = reopen(disk, atCrash, journal);
            halfWritten += loaded == State::Mixed ? 1 : 0;
            (loaded == State::New ? newCount : oldCount) += 1;

            commitAgainLeavingNothingBehind(disk);
        }
        EXPECT_EQ(halfWritten, 0);
        report(tear ? "crash with a torn write at every operation" : "crash at every operation",
               m_operations + 1, halfWritten, oldCount, newCount);
    }
}

// The N-th change to the disk takes effect and is then reported as failed, for every N, as a
// call whose reply a share lost: the operation's report is true (done means the new database,
// not done the old one, unsettled a journal the next open settles), and the database is whole.
TEST_P(CommitUnderFaults, AChangeReportedFailedAfterItsEffectIsNeverReportedFalsely) {
    measureCleanCommit();
    std::array<int, 3> outcomes{};
    int falseReports = 0;
    int halfWritten = 0;
    for (int n = 1; n <= m_changes; ++n) {
        SCOPED_TRACE(testing::Message() << "change " << n << " reported failed");
        Disk disk(GetParam().disk);
        FaultyFileSystem fs(disk.fs());
        auto session = prepare(disk, fs);
        fs.failAfterEffectAt(n);

        const ReplaceResult result = runOperation(*session);
        // A backup folder made but reported taken leaves it empty, and the backup goes to the
        // next name.
        m_backupFolder = result.backupFolder;

        ASSERT_EQ(fs.faults(), 1);
        const bool journal = disk.hasJournal();
        const State state = stateOf(disk);
        const bool trueReport = result.outcome == ReplaceResult::Done      ? state == State::New
                                : result.outcome == ReplaceResult::NotDone ? state == State::Old
                                                                           : journal;
        EXPECT_TRUE(trueReport) << "outcome " << result.outcome << ", " << nameOf(state) << ": "
                                << result.message;
        falseReports += trueReport ? 0 : 1;
        if (result.outcome != ReplaceResult::Unsettled) {
            EXPECT_FALSE(journal) << result.message;
        }
        ++outcomes[static_cast<std::size_t>(result.outcome)];
        const State loaded = reopen(disk, state, journal);
        halfWritten += state == State::Mixed && !journal ? 1 : 0;
        EXPECT_TRUE(result.outcome != ReplaceResult::Done || loaded == State::New);
        commitAgainLeavingNothingBehind(disk);
    }
    EXPECT_EQ(falseReports, 0);
    EXPECT_EQ(halfWritten, 0);
    std::cout << "[ " << nameOf(GetParam())
              << " ] a change reported failed after its effect: " << m_changes << " changes, "
              << outcomes[0] << " done, " << outcomes[1] << " not done, " << outcomes[2]
              << " unsettled, " << falseReports << " false reports, " << halfWritten
              << " half-written databases\n";
}

// An operation dies after N operations, leaving its journal; the open that recovers it then has
// its M-th change reported failed after its effect, for every N and M: the open either loads one
// whole database, the one its log says it left, or fails and keeps the journal for the next.
// Swept in memory: what is injected is the file layer's report, which is the same on every disk.
class RecoveryUnderFaults : public CommitUnderFaults {};

TEST_P(RecoveryUnderFaults, AChangeReportedFailedAfterItsEffect) {
    measureCleanCommit();
    int cases = 0;
    int falseReports = 0;
    for (int crash = 0; crash < m_operations; ++crash) {
        for (int n = 1;; ++n) {
            Disk disk(GetParam().disk);
            {
                FaultyFileSystem fs(disk.fs());
                auto session = prepare(disk, fs);
                fs.crashAfter(crash);
                try {
                    runOperation(*session);
                } catch (const SimulatedCrash&) {
                }
            }
            if (!disk.hasJournal()) {
                break;
            }
            SCOPED_TRACE(testing::Message() << "crash after " << crash << ", recovery's change "
                                            << n << " reported failed");
            FaultyFileSystem fs(disk.fs());
            if (disk.twoStepRenames) {
                fs.replaceInTwoSteps();
            }
            fs.failAfterEffectAt(n);
            Session recovering(fs, disk.folder);
            const bool opened = recovering.open();
            if (fs.faults() == 0) {
                break;  // the recovery made fewer changes
            }
            ++cases;
            const State state = stateOf(disk);
            bool trueReport = true;
            if (opened) {
                trueReport = !disk.hasJournal() && state != State::Mixed &&
                             recovering.logged(state == State::New
                                                   ? "Interrupted commit finished: the database "
                                                     "holds the files the commit wrote."
                                                   : "Interrupted commit undone: the database "
                                                     "holds the files as they were before the "
                                                     "commit.");
                EXPECT_EQ(recovering.captions(), captionsOf(state));
            } else {
                trueReport = disk.hasJournal() || state != State::Mixed;
            }
            EXPECT_TRUE(trueReport) << (opened ? "opened " : "failed ") << nameOf(state) << ": "
                                    << recovering.lastError();
            falseReports += trueReport ? 0 : 1;
            reopen(disk, state, disk.hasJournal());
        }
    }
    EXPECT_EQ(falseReports, 0);
    std::cout << "[ " << nameOf(GetParam()) << " ] recoveries whose change is reported failed "
              << "after its effect: " << cases << " cases, " << falseReports << " false reports\n";
}

// The server goes away before the N-th operation of the commit, for every N, and is back for the
// next open: the commit fails without a trace of a half-written database.
class CommitUnderAStoppedServer : public CommitUnderFaults {};

TEST_P(CommitUnderAStoppedServer, AtAnyOperationLeavesAWholeDatabase) {
    ShareProxy proxy(testServer());
    const auto throughProxy = [&](const Disk& disk) {
        return "\\\\" + proxy.server() + disk.folder.substr(2 + testServer().size());
    };
    measureCleanCommit();
    int halfWritten = 0;
    int oldCount = 0;
    int newCount = 0;
    for (int n = 1; n <= m_operations; ++n) {
        SCOPED_TRACE(testing::Message()
                     << "server stopped before operation " << n << ": " << operation(n));
        Disk disk(GetParam().disk);
        FaultyFileSystem fs(disk.fs());
        auto session = prepare(disk, fs, throughProxy(disk));
        fs.atOperation(n, [&] { proxy.stop(); });

        session->engine.CommitDatabase();
        proxy.start();

        const bool journal = disk.hasJournal();
        const State atStop = stateOf(disk);
        if (!journal) {
            EXPECT_NE(atStop, State::Mixed);
        }
        if (session->view.errors.empty()) {
            EXPECT_EQ(atStop, State::New) << "the commit reported success";
        }
        const State loaded = reopen(disk, atStop, journal);
        halfWritten += loaded == State::Mixed ? 1 : 0;
        (loaded == State::New ? newCount : oldCount) += 1;
        commitAgainLeavingNothingBehind(disk);
    }
    EXPECT_EQ(halfWritten, 0);
    report("server stopped at every operation", m_operations, halfWritten, oldCount, newCount);
}

INSTANTIATE_TEST_SUITE_P(Share, CommitUnderAStoppedServer,
                         ::testing::Values(Scenario{DiskKind::Share, false}),
                         [](const ::testing::TestParamInfo<Scenario>&) { return "OnShare"; });

INSTANTIATE_TEST_SUITE_P(Memory, RecoveryUnderFaults,
                         ::testing::Values(Scenario{DiskKind::Memory, false},
                                           Scenario{DiskKind::MemoryRenamingInTwoSteps, false},
                                           Scenario{DiskKind::Memory, true}),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                             return nameOf(param.param);
                         });

INSTANTIATE_TEST_SUITE_P(Disks, CommitUnderFaults, ::testing::ValuesIn([] {
                             std::vector<Scenario> scenarios;
                             for (const bool restore : {false, true}) {
                                 for (const DiskKind disk :
                                      {DiskKind::Memory, DiskKind::MemoryRenamingInTwoSteps,
                                       DiskKind::Local, DiskKind::Share}) {
                                     scenarios.push_back({disk, restore});
                                 }
                             }
                             return scenarios;
                         }()),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                             return nameOf(param.param);
                         });

}  // namespace
}  // namespace kavrin::test
