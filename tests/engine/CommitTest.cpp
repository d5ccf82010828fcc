#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "common/MemoryView.h"
#include "common/TempFolder.h"
#include "common/TestPlatform.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "support/fs/Paths.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr const char* kStamp = "20240822-153007";

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes headerBytes(const DatabaseHeader& h) {
    return {h.bytes.begin(), h.bytes.end()};
}

class CommitTest : public ::testing::Test {
protected:
    TempFolder folder;
    DatabaseBuilder db;
    MemoryView view;
    FaultyFileSystem fs{localFileSystem()};
    FixedClock clock{{2024, 8, 22, 15, 30, 7, 999}};
    MaintenanceEngine engine{view, fs, clock};
    std::size_t logBefore = 0;

    // What the commit is expected to write: every file behind the node file's header.
    DatabaseBuilder expectation() const {
        DatabaseBuilder expected;
        expected.nodeHeader = expected.installHeader = expected.titleHeader = db.nodeHeader;
        return expected;
    }

    void writeAndOpen() {
        db.write(folder.path());
        open();
    }

    void open() {
        view.location = folder.path();
        if (engine.HasPendingChanges()) {
            view.answers.push_back(Answer::No);  // the marks a failed commit kept are given up
        }
        engine.OpenDatabase();
        ASSERT_TRUE(engine.context().IsOpen) << (view.errors.empty() ? "" : view.errors.back());
        logBefore = view.list(LineList::Log).size();
        view.trace.clear();
        view.progress.clear();
        view.pumps = 0;
        view.pumpsWhileSaving = 0;
        fs.reset();
    }

    void mark(const std::string& name) {
        const auto row = engine.nodeList().findCaption(name, 0, true);
        ASSERT_TRUE(row.has_value()) << name;
        engine.nodeList().setIcon(*row, kIconMarked);
    }

    Lines commitLog() const {
        const Lines& log = view.list(LineList::Log);
        return {log.begin() + static_cast<std::ptrdiff_t>(logBefore), log.end()};
    }

    std::string path(const std::string& name) const { return folder.file(name); }
    Bytes file(const std::string& name) const { return readFileBytes(path(name)); }

    std::vector<std::string> entries(const std::string& dir) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void expectDatabase(const DatabaseBuilder& expected) const {
        EXPECT_EQ(file("Kavrin.cmp"), expected.nodeFile());
        EXPECT_EQ(file("Kavrin.ist"), expected.installFile());
        EXPECT_EQ(file("Kavrin.ttl"), expected.titleFile());
    }

    // The three files of `dir` are those of `source`, byte for byte, each with its own header.
    void expectBackupOf(const DatabaseBuilder& source, const std::string& dir) const {
        EXPECT_EQ(readFileBytes(joinPath(dir, "Kavrin.cmp")), source.nodeFile());
        EXPECT_EQ(readFileBytes(joinPath(dir, "Kavrin.ist")), source.installFile());
        EXPECT_EQ(readFileBytes(joinPath(dir, "Kavrin.ttl")), source.titleFile());
    }

    // Three headers that differ, as a server that upgraded its files one by one may leave them.
    void giveEachFileItsOwnHeader() {
        DatabaseBuilder::setHeader(db.installHeader, 9, 9, "Installs", "other", 1.0, 2.0, 3.0, 4);
        DatabaseBuilder::setHeader(db.titleHeader, 7, 7, "Titles", "other", 5.0, 6.0, 7.0, 8);
    }

    void expectClosedAndIdle() const {
        EXPECT_FALSE(engine.context().IsOpen);
        EXPECT_EQ(engine.nodeList().count(), 0u);
        EXPECT_EQ(view.page, 0);
        expectIdle();
    }

    // The database folder as a user who may not write it sees it (as root, through the file
    // layer, which permissions do not bind).
    void makeFolderReadOnly() {
        namespace stdfs = std::filesystem;
        if (permissionsBind()) {
            stdfs::permissions(
                folder.path(),
                stdfs::perms::owner_write | stdfs::perms::group_write | stdfs::perms::others_write,
                stdfs::perm_options::remove);
        } else {
            fs.makeReadOnly(folder.path());
        }
    }
    void makeFolderWritable() {
        std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        fs.reset();
    }

    // A commit that left the files as they were opened keeps the list and its marks.
    void expectKeptWithItsMarks(std::size_t rows) const {
        EXPECT_TRUE(engine.context().IsOpen);
        EXPECT_EQ(engine.nodeList().count(), rows);
        EXPECT_TRUE(engine.HasPendingChanges());
        EXPECT_EQ(view.page, static_cast<int>(Page::Log));  // where the failure is told
        expectIdle();
    }

    void expectIdle() const {
        EXPECT_FALSE(view.busy);
        EXPECT_FALSE(view.progressAreaShown);
        ASSERT_GE(view.trace.size(), 2u);
        EXPECT_EQ(view.trace.back(), "busy:off");
        EXPECT_EQ(view.trace[view.trace.size() - 2], "progressArea:hide");
    }
};

// --- What a commit writes --------------------------------------------------------------------

TEST_F(CommitTest, NothingMarkedStillDropsNullRecordsDeadInstallsAndUnnamedTitles) {
    const std::uint32_t alpha = db.addNode("ALPHA");
    const std::uint32_t ghost = db.addNullRecord();
    const std::uint32_t bravo = db.addNode("BRAVO");
    const std::uint32_t t0 = db.addTitle(10);
    const std::uint32_t t1 = db.addTitle(20);
    const std::uint32_t t2 = db.addTitle(30);
    db.addInstall(alpha, t1, 0, 1);
    db.addInstall(alpha, t0, 2, 2);      // not live
    db.addInstall(ghost, t0, 0, 3);      // belongs to a null record
    db.addInstall(765 * 9, t2, 0, 4);    // names no node
    db.addInstall(alpha + 1, t2, 0, 5);  // the middle of a record
    db.addInstall(bravo, t2, 0, 6);
    db.addInstall(bravo, 1000, 0, 7);  // names no title: kept as it is
    db.addInstall(bravo, t1 + 1, 0, 8);
    writeAndOpen();

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    DatabaseBuilder expected = expectation();
    expected.addNode("ALPHA");
    expected.addNode("BRAVO");
    expected.addTitle(20);
    expected.addTitle(30);
    expected.addInstall(0, 0, 0, 1);
    expected.addInstall(765, 134, 0, 6);
    expected.addInstall(765, 1000, 0, 7);
    expected.addInstall(765, t1 + 1, 0, 8);
    expectDatabase(expected);
    expectBackupOf(db, path(kStamp));
    expectClosedAndIdle();
}

TEST_F(CommitTest, TitlesSurviveOnlyThroughWrittenInstalls) {
    const std::uint32_t keep = db.addNode("KEEP");
    const std::uint32_t gone = db.addNode("GONE");
    const std::uint32_t onlyGone = db.addTitle(1);
    const std::uint32_t shared = db.addTitle(2);
    const std::uint32_t onlyDead = db.addTitle(3);
    const std::uint32_t onlyKeep = db.addTitle(4);
    db.addInstall(gone, onlyGone);
    db.addInstall(gone, shared);
    db.addInstall(keep, onlyDead, 1);
    db.addInstall(keep, onlyKeep, 0, 10);
    db.addInstall(keep, shared, 0, 11);
    writeAndOpen();
    mark("GONE");

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    DatabaseBuilder expected = expectation();
    expected.addNode("KEEP");
    expected.addTitle(2);
    expected.addTitle(4);
    expected.addInstall(0, 134, 0, 10);
    expected.addInstall(0, 0, 0, 11);
    expectDatabase(expected);
}

TEST_F(CommitTest, EverythingMarkedLeavesThreeHeaders) {
    const std::uint32_t a = db.addNode("A");
    const std::uint32_t b = db.addNode("B");
    db.addInstall(a, db.addTitle(1));
    db.addInstall(b, db.addTitle(2));
    writeAndOpen();
    mark("A");
    mark("B");

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    const Bytes header = headerBytes(db.nodeHeader);
    EXPECT_EQ(file("Kavrin.cmp"), header);
    EXPECT_EQ(file("Kavrin.ist"), header);
    EXPECT_EQ(file("Kavrin.ttl"), header);
}

TEST_F(CommitTest, TheListOrderIsTheNewRecordOrder) {
    const std::uint32_t a = db.addNode("A");
    const std::uint32_t b = db.addNode("B");
    const std::uint32_t c = db.addNode("C");
    const std::uint32_t t0 = db.addTitle(1);
    const std::uint32_t t1 = db.addTitle(2);
    db.addInstall(a, t1, 0, 1);
    db.addInstall(c, t0, 0, 2);
    db.addInstall(b, t1, 0, 3);
    db.addInstall(a, t0, 0, 4);
    writeAndOpen();
    engine.NodesLVColumnClick(0);  // by name, descending: C, B, A

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    DatabaseBuilder expected = expectation();
    expected.addNode("C");
    expected.addNode("B");
    expected.addNode("A");
    expected.addTitle(1);
    expected.addTitle(2);
    expected.addInstall(0, 0, 0, 2);
    expected.addInstall(765, 134, 0, 3);
    expected.addInstall(1530, 134, 0, 1);
    expected.addInstall(1530, 0, 0, 4);
    expectDatabase(expected);
}

TEST_F(CommitTest, TrailingPartialRecordsAreDroppedButBackedUp) {
    const std::uint32_t a = db.addNode("A");
    db.addInstall(a, db.addTitle(5));
    db.nodes.insert(db.nodes.end(), 100, 0x42);
    db.installs.insert(db.installs.end(), 12, 0);  // a whole record's worth of zeros less one
    db.titles.insert(db.titles.end(), 133, 0x43);
    writeAndOpen();

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    DatabaseBuilder expected = expectation();
    expected.addNode("A");
    expected.addTitle(5);
    expected.addInstall(0, 0);
    expectDatabase(expected);
    expectBackupOf(db, path(kStamp));
}

// The new files carry the node file's header; the backup is a byte-for-byte copy of each file.
TEST_F(CommitTest, NewFilesCarryTheNodeFileHeaderTheBackupEachItsOwn) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    giveEachFileItsOwnHeader();
    writeAndOpen();

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    const Bytes header = headerBytes(db.nodeHeader);
    for (const char* name : {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}) {
        const Bytes written = file(name);
        ASSERT_GE(written.size(), header.size());
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 230), header) << name;
    }
    expectBackupOf(db, path(kStamp));
}

// The files may be spelled in any case; the commit must replace the ones the open read, not
// put a second set beside them that the next open would not read.
TEST_F(CommitTest, ReplacesTheFilesItOpenedWhateverTheirSpelling) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    db.write(folder.path());
    for (const char* name : {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        // In two steps: a rename that changes only the case is nothing to some file systems.
        std::filesystem::rename(path(name), path(upper + ".tmp"));
        std::filesystem::rename(path(upper + ".tmp"), path(upper));
    }
    open();
    mark("B");

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    EXPECT_EQ(entries(folder.path()),
              (std::vector<std::string>{kStamp, "KAVRIN.CMP", "KAVRIN.IST", "KAVRIN.TTL"}));
    EXPECT_EQ(file("KAVRIN.CMP").size(), 230u + 765u);
}

// A crash at any moment must leave the originals or a complete backup and complete new files:
// nothing is renamed before every file written is flushed and the folders' entries with them.
TEST_F(CommitTest, NothingIsReplacedBeforeBackupAndNewFilesAreOnDisk) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    writeAndOpen();
    mark("B");

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    const std::string f = folder.path();
    const std::string b = joinPath(f, kStamp);
    // The files the open read (loaded as kavrin.cmp...), under the spelling it found them by.
    const auto opened = [&](const char* name) {
        return locateFile(localFileSystem(), joinPath(f, name));
    };
    const Lines& ops = fs.journal();
    const auto at = [&](const std::string& op) {
        return std::find(ops.begin(), ops.end(), op) - ops.begin();
    };
    const auto replaced =
        std::find_if(ops.begin(), ops.end(),
                     [&](const std::string& op) {
                         return op.starts_with("rename ") && op.ends_with(opened("kavrin.cmp"));
                     }) -
        ops.begin();
    ASSERT_LT(replaced, std::ssize(ops));
    const std::string journal = joinPath(f, "Kavrin.journal");
    const auto journalInPlace = at("rename " + journal + ".new -> " + journal);
    for (const std::string& written :
         {joinPath(b, "Kavrin.cmp"), joinPath(b, "Kavrin.ist"), joinPath(b, "Kavrin.ttl"),
          joinPath(b, "manifest.csv"), joinPath(b, "offsets.csv"), joinPath(b, "summary.txt"),
          joinPath(f, "Kavrin.cmp.new"), joinPath(f, "Kavrin.ist.new"),
          joinPath(f, "Kavrin.ttl.new"), journal + ".new"}) {
        EXPECT_LT(at("writeFile " + written + " (durable)"), journalInPlace) << written;
    }
    EXPECT_LT(at("syncDirectory " + b), journalInPlace);
    // The journal's own entry, and the backup folder's, are on the disk before the first rename.
    EXPECT_NE(std::find(ops.begin() + journalInPlace, ops.begin() + replaced, "syncDirectory " + f),
              ops.begin() + replaced);
}

// --- What a commit shows -----------------------------------------------------------------------

TEST_F(CommitTest, LogsItsStepsInOrderAndEndsClosedThenOpensTheNewFiles) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    writeAndOpen();
    mark("B");

    engine.CommitDatabase();

    const std::string f = folder.path();
    const std::string b = joinPath(f, kStamp);
    // After any failure the log has named the backup, whole, before the first file was replaced;
    // a commit that ended well ends with its check.
    const Lines log = commitLog();
    const auto replacing = std::find(log.begin(), log.end(), "Commiting to Database...");
    ASSERT_NE(replacing, log.end());
    EXPECT_EQ(std::count(log.begin(), replacing, "Creating backup directory : " + b), 1);
    for (const char* name :
         {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl", "manifest.csv", "offsets.csv", "summary.txt"}) {
        EXPECT_EQ(std::count(log.begin(), replacing, "Saving : " + joinPath(b, name)), 1) << name;
        EXPECT_EQ(std::count(replacing, log.end(), "Saving : " + joinPath(f, name)),
                  std::string_view(name).starts_with("Kavrin") ? 1 : 0);
    }
    EXPECT_TRUE(log.back().starts_with("Checked : the files in place are the files written"));
    ASSERT_GE(view.trace.size(), 2u);
    EXPECT_EQ(view.trace[0], "page:3");
    EXPECT_EQ(view.trace[1], "busy:on");
    EXPECT_EQ(view.actionCaption, "Re-indexing");
    expectClosedAndIdle();
    EXPECT_EQ(view.errors, Lines{});

    engine.OpenDatabase();
    ASSERT_TRUE(engine.context().IsOpen);
    ASSERT_EQ(engine.nodeList().count(), 1u);
    EXPECT_EQ(engine.nodeList().row(0).caption, "A");
    EXPECT_FALSE(engine.HasPendingChanges());
}

// The open after a commit takes the files as the check read them back, unless one changed
// since; a check that fails has the files put back and read again, so that the marks can be
// committed once more.
TEST_F(CommitTest, TheOpenAfterACommitTakesWhatTheCheckRead) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addInstall(db.addNode("B"), db.addTitle(6));
    db.addNode("C");
    writeAndOpen();
    // The files the open read.
    const auto commitAndReopen = [&](const std::string& name,
                                     const std::function<void()>& between) {
        mark(name);
        EXPECT_EQ(engine.CommitDatabase().outcome, ReplaceResult::Done);
        between();
        const int before = fs.calls(FileOp::ReadFile);
        engine.OpenDatabase();
        EXPECT_TRUE(engine.context().IsOpen);
        return fs.calls(FileOp::ReadFile) - before;
    };
    const Lines firstStats = view.list(LineList::DBStats);

    EXPECT_EQ(commitAndReopen("C", [] {}), 0);
    const Lines taken = view.list(LineList::DBStats);
    open();
    EXPECT_EQ(view.list(LineList::DBStats), taken);  // as a fresh read of the files finds them
    EXPECT_NE(taken, firstStats);

    // Another program wrote the node file after the check: the open reads it.
    DatabaseBuilder other;
    other.addNode("Z");
    EXPECT_EQ(commitAndReopen("B", [&] { writeFileBytes(path("Kavrin.cmp"), other.nodeFile()); }),
              1);
    ASSERT_EQ(engine.nodeList().count(), 1u);
    EXPECT_EQ(engine.nodeList().row(0).caption, "Z");

    db = DatabaseBuilder();
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addInstall(db.addNode("B"), db.addTitle(6));
    writeAndOpen();
    mark("B");
    fs.corruptWritesTo("Kavrin.ist.new");
    EXPECT_EQ(engine.CommitDatabase().outcome, ReplaceResult::NotDone);
    expectKeptWithItsMarks(2);
    fs.reset();
    EXPECT_EQ(engine.CommitDatabase().outcome, ReplaceResult::Done);
}

TEST_F(CommitTest, NodePassMovesTheBarByListRow) {
    for (const char* name : {"A", "B", "C", "D", "E", "F", "G", "H"}) {
        db.addNode(name);
    }
    writeAndOpen();

    engine.CommitDatabase();

    EXPECT_EQ(view.progress, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));
    EXPECT_EQ(view.pumps - view.pumpsWhileSaving, 8);
}

TEST_F(CommitTest, OneNodeSetsNoPosition) {
    db.addNode("ONLY");
    writeAndOpen();

    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    EXPECT_EQ(view.progress, std::vector<int>{});
    EXPECT_EQ(view.pumps - view.pumpsWhileSaving, 1);
}

// --- Failures ------------------------------------------------------------------------------------

// The claim is the commit's first write: a folder the user may not write refuses it.
TEST_F(CommitTest, ReadOnlyFolderFailsAtTheClaimAndChangesNothing) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    writeAndOpen();
    mark("B");
    makeFolderReadOnly();

    engine.CommitDatabase();
    makeFolderWritable();

    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_NE(view.errors[0].find(path("Kavrin.claim")), std::string::npos) << view.errors[0];
    EXPECT_EQ(commitLog(), (Lines{view.errors[0]}));
    expectDatabase(db);
    EXPECT_EQ(entries(folder.path()),
              (std::vector<std::string>{"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
    expectKeptWithItsMarks(2);

    // Once the folder may be written, the marks it kept commit.
    EXPECT_EQ(engine.CommitDatabase().outcome, ReplaceResult::Done);
    open();
    EXPECT_EQ(engine.nodeList().count(), 1u);
}

// The backup's folder is its first write: one that cannot be made is said to be so, and why.
TEST_F(CommitTest, ABackupThatCannotMakeItsFolderSaysSo) {
    db.addNode("A");
    writeAndOpen();
    makeFolderReadOnly();

    const BackupResult backup = engine.BackupDatabase();
    makeFolderWritable();

    EXPECT_FALSE(backup.done);
    EXPECT_TRUE(backup.message.starts_with("Cannot create directory \"" + path(kStamp) + "\". "))
        << backup.message;
    EXPECT_EQ(commitLog(), Lines{});
    EXPECT_EQ(entries(folder.path()),
              (std::vector<std::string>{"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
}

// Before the first rename nothing of the database is touched: whatever fails there leaves the
// originals and no temporary file.
TEST_F(CommitTest, FailureBeforeTheFirstReplacementLeavesTheOriginals) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    db.write(folder.path());
    struct Fault {
        FileOp op;
        int n;
        std::size_t savesLogged;
    };
    // The writes: three backup files, the manifest's three, then three new files; the directory
    // flushes: backup folder, database folder, then database folder once the new files are
    // written.
    for (const Fault fault : {Fault{FileOp::WriteFile, 7, 1}, Fault{FileOp::WriteFile, 9, 3},
                              Fault{FileOp::SyncDirectory, 3, 3}, Fault{FileOp::Rename, 1, 3}}) {
        SCOPED_TRACE(testing::Message()
                     << "operation " << static_cast<int>(fault.op) << " #" << fault.n);
        view.errors.clear();
        open();
        mark("B");
        fs.failAt(fault.op, fault.n);

        engine.CommitDatabase();

        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_EQ(fs.faults(), 1);
        const Lines log = commitLog();
        const auto committing = std::find(log.begin(), log.end(), "Commiting to Database...");
        ASSERT_NE(committing, log.end());
        EXPECT_EQ(static_cast<std::size_t>(log.end() - committing), 1 + fault.savesLogged + 1);
        EXPECT_EQ(log.back(), view.errors[0]);
        expectDatabase(db);
        for (const std::string& name : entries(folder.path())) {
            EXPECT_EQ(name.find(".new"), std::string::npos) << name;
        }
        expectKeptWithItsMarks(2);
    }
}

// Three renames are not one step: when one fails after another succeeded, the files that were
// replaced are put back from the backup, so the database never mixes old and new files. What is
// put back follows from what the files hold: a flush of the folder that fails once the last file
// is in place is tried again, and the commit stands.
TEST_F(CommitTest, FailureAfterAReplacementPutsTheOriginalsBack) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addInstall(db.addNode("B"), db.addTitle(6));
    giveEachFileItsOwnHeader();  // put back byte for byte, not behind the node file's header
    db.write(folder.path());
    struct Fault {
        FileOp op;
        int n;
        std::string backup;
    };
    const std::string stamp = path(kStamp);
    // The first rename puts the journal in place, the second replaces the first file.
    for (const Fault& fault :
         {Fault{FileOp::Rename, 3, stamp}, Fault{FileOp::Rename, 4, stamp + "-2"},
          Fault{FileOp::SyncDirectory, 5, ""}}) {
        SCOPED_TRACE(testing::Message()
                     << "operation " << static_cast<int>(fault.op) << " #" << fault.n);
        view.errors.clear();
        open();
        mark("B");
        fs.failAt(fault.op, fault.n);

        const ReplaceResult result = engine.CommitDatabase();

        if (fault.backup.empty()) {
            EXPECT_EQ(result.outcome, ReplaceResult::Done);
            EXPECT_EQ(view.errors, Lines{});
            db.write(folder.path());
            continue;
        }
        EXPECT_EQ(result.outcome, ReplaceResult::NotDone);
        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_EQ(fs.faults(), 1);
        EXPECT_NE(view.errors[0].find("put back"), std::string::npos) << view.errors[0];
        EXPECT_NE(view.errors[0].find("\"" + fault.backup + "\""), std::string::npos)
            << view.errors[0];
        EXPECT_EQ(commitLog().back(), view.errors[0]);
        expectDatabase(db);
        expectBackupOf(db, fault.backup);
        for (const std::string& name : entries(folder.path())) {
            EXPECT_EQ(name.find(".new"), std::string::npos) << name;
        }
        expectKeptWithItsMarks(2);
    }
}

TEST_F(CommitTest, NoFileIsReplacedUnlessTheBackupIsOnDisk) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    writeAndOpen();
    mark("B");
    fs.failAt(FileOp::SyncDirectory, 1);  // the backup folder's entries

    engine.CommitDatabase();

    ASSERT_EQ(view.errors.size(), 1u);
    const Lines log = commitLog();
    EXPECT_EQ(std::find(log.begin(), log.end(), "Re-indexing Computer - Installs..."), log.end());
    expectDatabase(db);
    EXPECT_EQ(fs.calls(FileOp::WriteFile), 6);  // the three files and the manifest's three
    expectKeptWithItsMarks(2);
}

TEST_F(CommitTest, FilesChangedSinceTheOpenAreNotOverwritten) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    db.write(folder.path());
    const std::vector<std::uint8_t> longer = db.installFile() + Bytes{0};

    // One file grows, or keeps its size and gets a new time, behind the tool's back.
    const std::vector<std::function<void()>> changes = {
        [&] { writeFileBytes(path("Kavrin.ist"), longer); },
        [&] {
            std::filesystem::last_write_time(
                path("Kavrin.ttl"),
                std::filesystem::last_write_time(path("Kavrin.ttl")) + std::chrono::seconds(3));
        }};
    for (const auto& change : changes) {
        db.write(folder.path());
        view.errors.clear();
        open();
        mark("B");
        change();
        const Bytes nodes = file("Kavrin.cmp"), installs = file("Kavrin.ist"),
                    titles = file("Kavrin.ttl");
        // The claim is released before the refusal is logged and shown: a message box left
        // open keeps no other commit out.
        view.onLog = [&](const std::string&) {
            EXPECT_FALSE(std::filesystem::exists(path("Kavrin.claim")));
        };

        engine.CommitDatabase();
        view.onLog = nullptr;

        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_NE(view.errors[0].find("changed on disk since the database was opened"),
                  std::string::npos);
        EXPECT_EQ(commitLog(), Lines{view.errors[0]});
        EXPECT_EQ(fs.calls(FileOp::WriteFile) + fs.calls(FileOp::CreateDirectory) +
                      fs.calls(FileOp::CreateDirectories) + fs.calls(FileOp::Rename),
                  0);
        EXPECT_EQ(entries(folder.path()),
                  (std::vector<std::string>{"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
        EXPECT_EQ(file("Kavrin.cmp"), nodes);
        EXPECT_EQ(file("Kavrin.ist"), installs);
        EXPECT_EQ(file("Kavrin.ttl"), titles);
        expectKeptWithItsMarks(2);
    }
}

TEST_F(CommitTest, AChangeWhileCommittingStopsItBeforeTheReplacement) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    writeAndOpen();
    mark("B");
    const Bytes changed = db.nodeFile() + Bytes(765, 0x20);
    view.onPump = [&] { writeFileBytes(path("Kavrin.cmp"), changed); };

    engine.CommitDatabase();

    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_NE(view.errors[0].find("changed on disk"), std::string::npos);
    EXPECT_EQ(file("Kavrin.cmp"), changed);
    EXPECT_EQ(file("Kavrin.ist"), db.installFile());
    EXPECT_EQ(file("Kavrin.ttl"), db.titleFile());
    EXPECT_EQ(fs.calls(FileOp::Rename), 0);
    EXPECT_EQ(entries(folder.path()),
              (std::vector<std::string>{kStamp, "Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
}

TEST_F(CommitTest, BackupsWithinOneSecondGetFoldersOfTheirOwn) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    writeAndOpen();
    const std::string stamp = path(kStamp);

    EXPECT_EQ(engine.BackupDatabase().folder, stamp);
    EXPECT_EQ(engine.BackupDatabase().folder, stamp + "-2");
    engine.CommitDatabase();

    ASSERT_EQ(view.errors, Lines{});
    EXPECT_EQ(commitLog()[0], "Creating backup directory : " + stamp);
    EXPECT_EQ(commitLog()[5], "Creating backup directory : " + stamp + "-2");
    EXPECT_EQ(commitLog()[10], "Creating backup directory : " + stamp + "-3");
    for (const std::string& dir : {stamp, stamp + "-2", stamp + "-3"}) {
        expectBackupOf(db, dir);
    }
    // A file standing where a folder would go is passed over as well.
    writeFileBytes(stamp + "-4", Bytes{1});
    open();
    EXPECT_EQ(engine.BackupDatabase().folder, stamp + "-5");
}

// A backup copies the files in place only where the copy is proved to hold them as they were
// opened: a file rewritten since (its time put back, so that only its bytes tell) is saved from
// the bytes read, through a copy the program makes (FaultyFileSystem), one the system makes and
// a clone, which its status cannot vouch for while its time is that of the open. A clone of a
// file left alone for longer is taken as it is, without reading it back.
TEST_F(CommitTest, ABackupOfAFileChangedSinceTheOpenHoldsItAsOpened) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.write(folder.path());
    MaintenanceEngine native{view, localFileSystem(), clock};
    FaultyFileSystem cloningFs{localFileSystem()};
    cloningFs.copiesAs(CopyMethod::Cloned);
    MaintenanceEngine cloning{view, cloningFs, clock};
    for (MaintenanceEngine* copier : {&engine, &native, &cloning}) {
        SCOPED_TRACE(copier == &engine   ? "through the program"
                     : copier == &native ? "by the system"
                                         : "by a clone");
        view.location = folder.path();
        copier->OpenDatabase();
        ASSERT_TRUE(copier->context().IsOpen);
        const std::string changed = path("Kavrin.ist");
        const auto time = std::filesystem::last_write_time(changed);
        Bytes other = file("Kavrin.ist");
        other.back() ^= 0xFF;
        writeFileBytes(changed, other);
        std::filesystem::last_write_time(changed, time);
        const std::size_t logged = view.list(LineList::Log).size();

        const BackupResult backup = copier->BackupDatabase();

        ASSERT_TRUE(backup.done) << backup.message;
        expectBackupOf(db, backup.folder);
        const Lines& log = view.list(LineList::Log);
        EXPECT_NE(std::find(log.begin() + static_cast<std::ptrdiff_t>(logged), log.end(),
                            "The file changed on disk since it was read; its bytes as read are "
                            "saved : " +
                                joinPath(backup.folder, "Kavrin.ist")),
                  log.end());
        db.write(folder.path());
    }

    const auto anHourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    for (const char* name : {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}) {
        std::filesystem::last_write_time(path(name), anHourAgo);
    }
    cloning.OpenDatabase();
    cloningFs.reset();
    const BackupResult backup = cloning.BackupDatabase();
    ASSERT_TRUE(backup.done) << backup.message;
    EXPECT_EQ(cloningFs.calls(FileOp::ReadFile), 0);
    expectBackupOf(db, backup.folder);
}

// --- The record and the check ------------------------------------------------------------------

// A manifest that cannot be written fails the commit before anything is replaced; a check of the
// files in place that finds other bytes than were written, or cannot read them, puts the
// originals back and says so.
TEST_F(CommitTest, AFailedManifestOrCheckLeavesTheOriginals) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addInstall(db.addNode("B"), db.addTitle(6));
    giveEachFileItsOwnHeader();
    db.write(folder.path());
    const std::string stamp = path(kStamp);
    const struct {
        std::function<void()> fault;
        std::string message;
        bool replaced;
    } cases[] = {
        {[&] { fs.failAt(FileOp::WriteFile, 4); }, "manifest.csv", false},
        {[&] { fs.corruptWritesTo("Kavrin.ist.new"); },
         "The check of the rewritten database failed: \"" +
             locateFile(localFileSystem(), path("kavrin.ist")) +
             "\" on the disk is not the file written",
         true},
        {[&] { fs.failAt(FileOp::ReadFile, 1); },
         "The check of the rewritten database failed: Cannot open file", true},
        // The put-back is checked as well: damaged too, it is reported, and the journal kept
        // for the next open, which finds the file changed by another hand and leaves it.
        {[&] { fs.corruptWritesTo("Kavrin.ist.new", 2); },
         "The database files could not be put back (\"" +
             locateFile(localFileSystem(), path("kavrin.ist")) +
             "\" is not the file put back); the journal \"" + path("Kavrin.journal") +
             "\" stays, so that the next open of the database finishes or undoes the commit. The "
             "backup folder \"" +
             stamp + "-4\" holds the database as it was before the commit.",
         true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].message);
        view.errors.clear();
        open();
        mark("B");
        cases[i].fault();

        engine.CommitDatabase();

        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_NE(view.errors[0].find(cases[i].message), std::string::npos) << view.errors[0];
        EXPECT_EQ(fs.calls(FileOp::Rename) > 0, cases[i].replaced);
        if (i == 3) {
            EXPECT_TRUE(std::filesystem::exists(path("Kavrin.journal")));
            break;
        }
        if (cases[i].replaced) {
            const std::string backup = i == 1 ? stamp + "-2" : stamp + "-3";
            EXPECT_NE(view.errors[0].find("put back as they were before the commit, from the "
                                          "backup folder \"" +
                                          backup + "\""),
                      std::string::npos)
                << view.errors[0];
        }
        expectDatabase(db);
        EXPECT_FALSE(std::filesystem::exists(path("Kavrin.journal")));
        expectKeptWithItsMarks(2);
    }
}

// --- Restore -----------------------------------------------------------------------------------

// A restore puts a backup's files back byte for byte, as a commit would: a backup of what it
// replaces first, so that it is undone by restoring that.
TEST_F(CommitTest, RestoreAndRestoreUndone) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addInstall(db.addNode("B"), db.addTitle(6));
    giveEachFileItsOwnHeader();
    writeAndOpen();
    mark("B");
    engine.CommitDatabase();
    ASSERT_EQ(view.errors, Lines{});
    const Bytes committed = file("Kavrin.cmp");

    open();
    engine.RestoreBackup(kStamp);  // by its name in the database folder
    ASSERT_EQ(view.errors, Lines{});
    expectDatabase(db);
    const std::string undo = path(kStamp) + "-2";
    EXPECT_EQ(readFileBytes(undo + "/Kavrin.cmp"), committed);
    const Lines log = commitLog();
    EXPECT_EQ(log.front(), std::string("Restoring the database from the backup : ") + kStamp);
    EXPECT_EQ(log[log.size() - 2], "Checked : the restored files are the backup's, byte for byte.");
    EXPECT_EQ(log.back(), "Restored : the database holds the files of the backup \"" +
                              path(kStamp) + "\"; the files it replaced are in the backup \"" +
                              undo + "\".");
    expectClosedAndIdle();

    open();
    engine.RestoreBackup(undo);  // by its path
    ASSERT_EQ(view.errors, Lines{});
    EXPECT_EQ(file("Kavrin.cmp"), committed);
    expectBackupOf(db, path(kStamp) + "-3");
}

// A database that does not open (damaged, or a file gone) is restored from the location typed:
// the files in place are kept byte for byte in the backup made first, whatever they hold.
TEST_F(CommitTest, RestoreWithoutAnOpenDatabaseKeepsTheFilesInPlaceAsTheyAre) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    db.addNode("B");
    const struct {
        const char* what;
        const char* file;
        std::function<void(const std::string& path)> damage;
        std::string error;
    } cases[] = {
        {"cut to 100 bytes", "Kavrin.cmp",
         [](const std::string& p) { std::filesystem::resize_file(p, 100); },
         "Cannot not read DB file header."},
        {"foreign", "Kavrin.cmp",
         [](const std::string& p) {
             Bytes bytes = readFileBytes(p);
             bytes[0] = 7;
             writeFileBytes(p, bytes);
         },
         "Error: \"The database is not the correct type or version.\""},
        {"gone", "Kavrin.ttl", [](const std::string& p) { std::filesystem::remove(p); },
         "Error: \"The database does not exist.\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder.path());
        std::filesystem::create_directories(folder.path());
        writeAndOpen();
        const std::string backup = engine.BackupDatabase().folder;
        c.damage(path(c.file));
        const Bytes damaged = std::filesystem::exists(path(c.file)) ? file(c.file) : Bytes{};
        view.errors.clear();
        const OpenResult failed = engine.OpenDatabase();
        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_TRUE(view.errors[0].starts_with(c.error)) << view.errors[0];
        // Only a file that could not be read is named apart: the others name it themselves.
        EXPECT_EQ(test::folded(failed.unreadFile),
                  c.error.starts_with("Cannot") ? test::folded(path(c.file)) : "");
        EXPECT_EQ(engine.BackupFolders().size(), 1u);
        view.errors.clear();
        view.trace.clear();

        const ReplaceResult restored = engine.RestoreBackup(backup);

        ASSERT_EQ(view.errors, Lines{});
        EXPECT_EQ(restored.outcome, ReplaceResult::Done);
        expectDatabase(db);
        EXPECT_EQ(readFileBytes(joinPath(restored.backupFolder, c.file)), damaged);
        EXPECT_FALSE(std::filesystem::exists(path("Kavrin.claim")));
        EXPECT_FALSE(std::filesystem::exists(path("Kavrin.journal")));
        EXPECT_EQ(view.list(LineList::Log).back(),
                  "Restored : the database holds the files of the backup \"" + backup +
                      "\"; the files it replaced are in the backup \"" + restored.backupFolder +
                      "\".");
        expectClosedAndIdle();
        open();  // what was put back opens
    }
}

// Whether the folder can be written is found without leaving anything there, and a folder that
// cannot be written is not changed by finding it out, a probe that fails half way included.
TEST_F(CommitTest, AnUnwritableFolderIsFoundAndNothingIsLeft) {
    db.addNode("A");
    writeAndOpen();
    const std::vector<std::string> files = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};
    EXPECT_EQ(engine.folderWriteProblem(), "");
    EXPECT_EQ(fs.calls(FileOp::WriteFile), 1);
    EXPECT_EQ(entries(folder.path()), files);

    const std::string problem = "The database folder cannot be written : " + folder.path() + " (";
    makeFolderReadOnly();
    EXPECT_TRUE(engine.folderWriteProblem().starts_with(problem)) << engine.folderWriteProblem();
    makeFolderWritable();
    EXPECT_EQ(entries(folder.path()), files);

    // The probe refused, and the probe written but reported failed: neither stays.
    for (const std::function<void()>& fault : std::vector<std::function<void()>>{
             [&] { fs.failAt(FileOp::WriteFile, 1); }, [&] { fs.failAfterEffectAt(1); }}) {
        fs.reset();
        fault();
        EXPECT_TRUE(engine.folderWriteProblem().starts_with(problem));
        EXPECT_EQ(fs.faults(), 1);
        EXPECT_EQ(entries(folder.path()), files);
    }
    EXPECT_TRUE(engine.context().IsOpen);
}

// A backup that is not there, not whole or not a database is refused before anything is
// written: no claim, no backup folder, the files as they were.
TEST_F(CommitTest, RestoreRefusesBackupsThatAreMissingTornOrForeign) {
    db.addInstall(db.addNode("A"), db.addTitle(5));
    writeAndOpen();
    const std::string backup = engine.BackupDatabase().folder;
    const struct {
        const char* what;
        std::function<void(const std::string& dir)> damage;
        std::string reason;
    } cases[] = {
        {"no folder", [](const std::string& dir) { std::filesystem::remove_all(dir); },
         "there is no such folder"},
        {"no file", [](const std::string& dir) { std::filesystem::remove(dir + "/Kavrin.ttl"); },
         "it holds no file Kavrin.ttl"},
        {"short",
         [](const std::string& dir) { std::filesystem::resize_file(dir + "/Kavrin.ist", 229); },
         "Kavrin.ist is shorter than the 230-byte header of a database file: it is torn"},
        {"cut",
         [](const std::string& dir) {
             std::filesystem::resize_file(dir + "/Kavrin.cmp", 230 + 700);
         },
         "but its summary.txt says Kavrin.cmp : 995 bytes"},
        {"foreign",
         [](const std::string& dir) {
             Bytes bytes = readFileBytes(dir + "/Kavrin.cmp");
             bytes[0] = 7;
             writeFileBytes(dir + "/Kavrin.cmp", bytes);
             std::filesystem::remove(dir + "/summary.txt");  // made by hand, unchecked
         },
         "Kavrin.cmp is not a database this tool opens"},
    };
    const std::string damaged = path("damaged");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(damaged);
        std::filesystem::copy(backup, damaged);
        c.damage(damaged);
        view.errors.clear();
        open();

        engine.RestoreBackup(damaged);

        ASSERT_EQ(view.errors.size(), 1u);
        EXPECT_TRUE(
            view.errors[0].starts_with("The backup \"" + damaged + "\" cannot be restored: "))
            << view.errors[0];
        EXPECT_NE(view.errors[0].find(c.reason), std::string::npos) << view.errors[0];
        EXPECT_TRUE(view.errors[0].ends_with(". Nothing was written.")) << view.errors[0];
        EXPECT_EQ(fs.calls(FileOp::WriteFile) + fs.calls(FileOp::CreateExclusive) +
                      fs.calls(FileOp::CreateDirectory) + fs.calls(FileOp::Rename),
                  0);
        expectDatabase(db);
        expectClosedAndIdle();
    }
}

}  // namespace
}  // namespace kavrin::test
