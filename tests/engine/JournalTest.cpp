#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/EngineSession.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "common/MemoryView.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/Journal.h"
#include "support/fs/Paths.h"
#include "support/platform/Process.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// --- Recovery by the next open ---------------------------------------------------------------

// `text` as the engine writes it: the paths in it below the folder "/db" joined by the platform's
// own separator (the memory file system takes either).
std::string native(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '/' && text.compare(i, 3, "/db") != 0) {
            text[i] = nativeSeparator();
        }
    }
    return text;
}

// The log lines of the open before the first database file is loaded.
Lines recoveryLog(const Session& session) {
    const Lines& log = session.view.list(LineList::Log);
    const auto loading = std::find_if(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("Loading : ");
    });
    return {log.begin(), loading};
}

class InterruptedCommitTest : public ::testing::Test {
protected:
    static constexpr const char* kBackup = "/db/20240822-153007";

    InterruptedCommitTest() {
        const std::uint32_t keep = m_db.addNode("KEEP");
        const std::uint32_t gone = m_db.addNode("GONE");
        m_db.addInstall(keep, m_db.addTitle(1));
        m_db.addInstall(gone, m_db.addTitle(2));
        m_db.addInstall(keep, m_db.addTitle(3), 1);
    }

    // The database, and what a commit that deletes GONE writes; the operations of that commit.
    void SetUp() override {
        disk = MemoryFileSystem();
        m_new.clear();
        disk.createDirectories("/db");
        disk.files["/db/Kavrin.cmp"] = m_db.nodeFile();
        disk.files["/db/Kavrin.ist"] = m_db.installFile();
        disk.files["/db/Kavrin.ttl"] = m_db.titleFile();
        m_old = disk.files;

        MemoryFileSystem copy = disk;
        FaultyFileSystem fs(copy);
        commit(fs);
        m_operations = fs.journal();
        for (const char* name : {"/db/Kavrin.cmp", "/db/Kavrin.ist", "/db/Kavrin.ttl"}) {
            m_new[name] = copy.files.at(name);
        }
    }

    static void commit(FaultyFileSystem& fs) {
        Session session(fs);
        ASSERT_TRUE(session.open());
        session.engine.nodeList().setIcon(*session.engine.nodeList().findCaption("GONE", 0, true),
                                          kIconMarked);
        fs.reset();
        session.engine.CommitDatabase();
    }

    // A commit that dies right after the operation of the clean commit that is `operation`.
    void interruptAfter(const std::string& operation) {
        const auto it = std::find(m_operations.begin(), m_operations.end(), native(operation));
        ASSERT_NE(it, m_operations.end()) << operation;
        FaultyFileSystem fs(disk);
        Session session(fs);
        ASSERT_TRUE(session.open());
        session.engine.nodeList().setIcon(*session.engine.nodeList().findCaption("GONE", 0, true),
                                          kIconMarked);
        fs.reset();
        fs.crashAfter(static_cast<int>(it - m_operations.begin()) + 1);
        EXPECT_THROW(session.engine.CommitDatabase(), SimulatedCrash);
        ASSERT_TRUE(disk.status("/db/Kavrin.journal").exists);
    }

    bool holdsOld() const {
        for (const char* name : {"/db/Kavrin.cmp", "/db/Kavrin.ist", "/db/Kavrin.ttl"}) {
            if (disk.files.at(name) != m_old.at(name)) {
                return false;
            }
        }
        return true;
    }
    bool holdsNew() const {
        for (const auto& [name, bytes] : m_new) {
            if (disk.files.at(name) != bytes) {
                return false;
            }
        }
        return true;
    }
    // Nothing of the interrupted commit is left beside the database files and the backup.
    void expectClean() const {
        for (const auto& [name, bytes] : disk.files) {
            EXPECT_TRUE(name.starts_with(std::string(kBackup) + "/") || name == "/db/Kavrin.cmp" ||
                        name == "/db/Kavrin.ist" || name == "/db/Kavrin.ttl")
                << name;
        }
    }

    MemoryFileSystem disk;
    DatabaseBuilder m_db;
    std::map<std::string, Bytes> m_old;
    std::map<std::string, Bytes> m_new;
    Lines m_operations;
};

// Whoever recovers holds the claim: the open takes over the one the interrupted commit left.
std::string takingOverTheClaim() {
    return native("Taking over the claim \"/db/Kavrin.claim\" of computer ") + LocalComputerName() +
           ", process " + std::to_string(currentProcessId()) +
           ", since 2024-08-22 15:30:07: no process holds it any more.";
}

// The commit takes effect with its first rename. Once a file is replaced, the renames left are
// done when every other file has its new file whole beside it, and undone otherwise; before it,
// complete new files count for nothing.
TEST_F(InterruptedCommitTest, AReplacementIsFinishedOrUndoneByWhatTheFilesHold) {
    const std::string backup = kBackup;
    struct Case {
        const char* interruptAfter;
        std::function<void(MemoryFileSystem&)> change;
        Lines log;
        bool finished;
    };
    const std::vector<Case> cases = {
        {"rename /db/Kavrin.ist.new -> /db/Kavrin.ist",
         {},
         {"Finishing the interrupted commit with its new files.", "Replacing : /db/Kavrin.ttl"},
         true},
        {"rename /db/Kavrin.journal.new -> /db/Kavrin.journal",
         {},
         {"Undoing the interrupted commit: none of the database files had been replaced.",
          "Removing : /db/Kavrin.cmp.new", "Removing : /db/Kavrin.ist.new",
          "Removing : /db/Kavrin.ttl.new"},
         false},
        {"rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp",
         [](MemoryFileSystem& fs) { fs.remove("/db/Kavrin.ttl.new"); },
         {"Undoing the interrupted commit from the backup folder : " + backup,
          "Removing : /db/Kavrin.ist.new",
          "Restoring : /db/Kavrin.cmp from " + backup + "/Kavrin.cmp"},
         false},
        {"rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp",
         [](MemoryFileSystem& fs) { fs.files.at("/db/Kavrin.ttl.new").pop_back(); },
         {"Undoing the interrupted commit from the backup folder : " + backup,
          "Removing : /db/Kavrin.ist.new", "Removing : /db/Kavrin.ttl.new",
          "Restoring : /db/Kavrin.cmp from " + backup + "/Kavrin.cmp"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interruptAfter);
        SetUp();
        interruptAfter(c.interruptAfter);
        if (c.change) {
            c.change(disk);
        }

        Session session(disk);
        ASSERT_TRUE(session.open()) << session.view.errors.at(0);

        Lines expected = {takingOverTheClaim(),
                          native("Interrupted commit found : /db/Kavrin.journal")};
        for (const std::string& line : c.log) {
            expected.push_back(native(line));
        }
        expected.push_back(
            c.finished
                ? "Interrupted commit finished: the database holds the files the commit wrote."
                : "Interrupted commit undone: the database holds the files as they were before "
                  "the commit.");
        EXPECT_EQ(recoveryLog(session), expected);
        EXPECT_TRUE(c.finished ? holdsNew() : holdsOld());
        EXPECT_EQ(session.captions(), c.finished ? Lines{"KEEP"} : (Lines{"GONE", "KEEP"}));
        expectClean();
    }
}

// Only the replaced files are put back, each byte for byte with its own header.
TEST_F(InterruptedCommitTest, AnUndoPutsBackOnlyTheReplacedFiles) {
    DatabaseBuilder::setHeader(m_db.installHeader, 1, 2, "Installs", "own header", 1.0, 2.0, 3.0,
                               4);
    DatabaseBuilder::setHeader(m_db.titleHeader, 1, 2, "Titles", "own header", 5.0, 6.0, 7.0, 8);
    SetUp();
    interruptAfter("rename /db/Kavrin.ist.new -> /db/Kavrin.ist");
    disk.remove("/db/Kavrin.ttl.new");

    Session session(disk);
    ASSERT_TRUE(session.open());

    EXPECT_EQ(disk.files.at("/db/Kavrin.cmp"), m_db.nodeFile());
    EXPECT_EQ(disk.files.at("/db/Kavrin.ist"), m_db.installFile());
    EXPECT_EQ(disk.files.at("/db/Kavrin.ttl"), m_db.titleFile());
    expectClean();
}

// Whatever stops the recovery, it stops before it changes anything and says why; the journal
// stays for the next attempt.
TEST_F(InterruptedCommitTest, RefusesWhatItCannotAccountFor) {
    struct Case {
        const char* name;
        const char* interruptAfter;
        std::function<void(MemoryFileSystem&)> damage;
        const char* message;
    };
    const std::string backupCopy = std::string(kBackup) + "/Kavrin.cmp";
    const std::vector<Case> cases = {
        {"backup copy damaged", "rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp",
         [&](MemoryFileSystem& fs) {
             fs.remove("/db/Kavrin.ttl.new");
             fs.files.at(backupCopy)[300] ^= 1;
         },
         "cannot be undone: the backup copy \"/db/20240822-153007/Kavrin.cmp\" is missing or is "
         "not the one the commit made"},
        {"backup copy gone", "rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp",
         [&](MemoryFileSystem& fs) {
             fs.remove("/db/Kavrin.ttl.new");
             fs.remove(backupCopy);
         },
         "cannot be undone"},
        {"file changed by the server", "rename /db/Kavrin.journal.new -> /db/Kavrin.journal",
         [](MemoryFileSystem& fs) { fs.files.at("/db/Kavrin.ist").push_back(0); },
         "\"/db/Kavrin.ist\" was changed by another program since"},
        {"replaced file changed by the server", "rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp",
         [](MemoryFileSystem& fs) { fs.files.at("/db/Kavrin.cmp").back() ^= 1; },
         "\"/db/Kavrin.cmp\" was changed by another program since"},
        {"torn journal", "rename /db/Kavrin.journal.new -> /db/Kavrin.journal",
         [](MemoryFileSystem& fs) {
             Bytes& journal = fs.files.at("/db/Kavrin.journal");
             journal.resize(journal.size() / 2);
         },
         "The commit journal \"/db/Kavrin.journal\" cannot be read: it is torn"},
        {"journal of garbage", "rename /db/Kavrin.journal.new -> /db/Kavrin.journal",
         [](MemoryFileSystem& fs) { fs.files.at("/db/Kavrin.journal") = Bytes(5000, 0xFF); },
         "cannot be read: it is torn"},
        {"journal is a folder", "rename /db/Kavrin.journal.new -> /db/Kavrin.journal",
         [](MemoryFileSystem& fs) {
             fs.remove("/db/Kavrin.journal");
             fs.createDirectories("/db/Kavrin.journal");
         },
         "cannot be read: it is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        interruptAfter(c.interruptAfter);
        c.damage(disk);
        auto before = disk.files;

        Session session(disk);
        EXPECT_FALSE(session.open());

        ASSERT_EQ(session.view.errors.size(), 1u);
        const std::string& error = session.view.errors[0];
        EXPECT_NE(error.find(native(c.message)), std::string::npos) << error;
        EXPECT_EQ(recoveryLog(session),
                  (Lines{takingOverTheClaim(),
                         native("Interrupted commit found : /db/Kavrin.journal"), error}));
        // The claim the interrupted commit left was taken over and released with the refusal.
        auto after = disk.files;
        after.erase("/db/Kavrin.claim");
        before.erase("/db/Kavrin.claim");
        EXPECT_EQ(after, before);
        EXPECT_FALSE(session.engine.context().IsOpen);
    }
}

// The recovery is itself cut short at each of its operations in turn; the open after that
// reaches the same end.
TEST_F(InterruptedCommitTest, ARecoveryCutShortIsTakenUpByTheNextOpen) {
    struct Case {
        const char* name;
        std::function<void()> interrupt;
        bool finishes;
    };
    const std::vector<Case> cases = {
        {"finish", [&] { interruptAfter("rename /db/Kavrin.cmp.new -> /db/Kavrin.cmp"); }, true},
        {"undo",
         [&] {
             interruptAfter("rename /db/Kavrin.ist.new -> /db/Kavrin.ist");
             disk.remove("/db/Kavrin.ttl.new");
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.interrupt();
        const MemoryFileSystem interrupted = disk;
        int operations = 0;
        {
            FaultyFileSystem fs(disk);
            Session session(fs);
            ASSERT_TRUE(session.open());
            operations = fs.calls(FileOp::Any);
        }
        const auto expectWhole = [&] {
            Session session(disk);
            ASSERT_TRUE(session.open()) << session.view.errors.at(0);
            EXPECT_TRUE(c.finishes ? holdsNew() : holdsOld());
            EXPECT_FALSE(disk.status("/db/Kavrin.journal").exists);
        };

        for (int n = 0; n < operations; ++n) {
            SCOPED_TRACE(testing::Message() << "crash after " << n);
            disk = interrupted;
            FaultyFileSystem fs(disk);
            fs.crashAfter(n, true);
            EXPECT_THROW(
                {
                    Session session(fs);
                    session.open();
                },
                SimulatedCrash);
            expectWhole();
        }
        // A status that fails reports nothing there, as the file layer's status never fails;
        // the journal itself would go unseen, so only the failures that throw are injected.
        for (const FileOp op : {FileOp::ListDirectory, FileOp::ReadFile, FileOp::WriteFile,
                                FileOp::Rename, FileOp::Remove, FileOp::SyncDirectory}) {
            for (int n = 1;; ++n) {
                disk = interrupted;
                FaultyFileSystem fs(disk);
                fs.failAt(op, n);
                Session session(fs);
                session.open();
                if (fs.faults() == 0) {
                    break;
                }
                SCOPED_TRACE(testing::Message()
                             << "failure of operation " << static_cast<int>(op) << " #" << n);
                // Reported, or got past (a claim that cannot be read is looked at again).
                EXPECT_LE(session.view.errors.size(), 1u);
                expectWhole();
            }
        }
    }
}

TEST_F(InterruptedCommitTest, AnOpenWithoutAJournalWritesNothingAndIgnoresLeftovers) {
    disk.files["/db/Kavrin.cmp.new"] = Bytes(100, 1);
    disk.files["/db/Kavrin.journal.new"] = Bytes(10, 2);
    const auto before = disk.files;
    FaultyFileSystem fs(disk);

    Session session(fs);
    ASSERT_TRUE(session.open());

    EXPECT_EQ(session.captions(), (Lines{"GONE", "KEEP"}));
    EXPECT_EQ(disk.files, before);
    for (const std::string& operation : fs.journal()) {
        EXPECT_TRUE(operation.starts_with("status ") || operation.starts_with("readFile ") ||
                    operation.starts_with("listDirectory "))
            << operation;
    }
}

TEST_F(InterruptedCommitTest, TheNextCommitRemovesLeftoversEvenWhenItFailsEarly) {
    disk.files["/db/Kavrin.ist.new"] = Bytes(100, 1);
    disk.files["/db/Kavrin.journal.new"] = Bytes(10, 2);
    FaultyFileSystem fs(disk);
    Session session(fs);
    ASSERT_TRUE(session.open());
    fs.failAt(FileOp::WriteFile, 1);  // the first backup file

    session.engine.CommitDatabase();

    ASSERT_EQ(session.view.errors.size(), 1u);
    EXPECT_TRUE(holdsOld());
    EXPECT_FALSE(disk.status("/db/Kavrin.ist.new").exists);
    EXPECT_FALSE(disk.status("/db/Kavrin.journal.new").exists);
}

// Another instance of the tool is replacing the files, or a dead commit waits for an open: its
// temporary files are not leftovers, and its journal must not be overwritten.
TEST_F(InterruptedCommitTest, ACommitDoesNotRunOverTheJournalOfAnother) {
    FaultyFileSystem fs(disk);
    Session session(fs);
    ASSERT_TRUE(session.open());
    disk.files["/db/Kavrin.journal"] = Bytes(10, 3);
    disk.files["/db/Kavrin.cmp.new"] = Bytes(100, 1);
    const auto before = disk.files;
    fs.reset();

    session.engine.CommitDatabase();

    ASSERT_EQ(session.view.errors.size(), 1u);
    EXPECT_NE(session.view.errors[0].find(native("journal \"/db/Kavrin.journal\"")),
              std::string::npos);
    EXPECT_EQ(disk.files, before);
    EXPECT_FALSE(disk.isDirectory(kBackup));
    EXPECT_EQ(fs.calls(FileOp::WriteFile) + fs.calls(FileOp::Remove) +
                  fs.calls(FileOp::CreateDirectory) + fs.calls(FileOp::CreateDirectories),
              0);
}

// The commit's own undo after a failed rename leaves no journal that could make the next open
// finish what the user was told was put back.
TEST_F(InterruptedCommitTest, AFailedRenameIsUndoneAtOnceAndLeavesNoJournal) {
    FaultyFileSystem fs(disk);
    Session session(fs);
    ASSERT_TRUE(session.open());
    session.engine.nodeList().setIcon(*session.engine.nodeList().findCaption("GONE", 0, true),
                                      kIconMarked);
    fs.reset();
    fs.failAt(FileOp::Rename, 3);  // after the journal and the node file

    session.engine.CommitDatabase();

    ASSERT_EQ(session.view.errors.size(), 1u);
    EXPECT_NE(session.view.errors[0].find("put back"), std::string::npos);
    EXPECT_TRUE(holdsOld());
    EXPECT_FALSE(disk.status("/db/Kavrin.journal").exists);
    expectClean();
}

}  // namespace
}  // namespace kavrin::test
