// Other programs at work on the same database: a server writing to the files while the tool
// reads them, and another instance of the tool committing at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/ChildProcess.h"
#include "common/DatabaseBuilder.h"
#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "common/MemoryView.h"
#include "common/ShareFolder.h"
#include "common/TempFolder.h"
#include "common/TestPlatform.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "support/fs/Paths.h"
#include "support/platform/Process.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/AnsiText.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr const char* kHoldStill = "Another program is writing to the database";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Passes everything to a MemoryFileSystem, and lets a test change the files around a read, as
// another program writing to them at that moment would.
class ChangingFileSystem final : public FileSystem {
public:
    MemoryFileSystem disk;
    // Called before and after each read with the file's name in lower case and how often it has
    // been read (from 1).
    std::function<void(const std::string&, int)> beforeRead;
    std::function<void(const std::string&, int)> afterRead;
    // Called before each status is taken, with the path.
    std::function<void(const std::string&)> beforeStatus;

    FileStatus status(const std::string& path) override {
        if (beforeStatus) {
            beforeStatus(path);
        }
        return disk.status(path);
    }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        return disk.listDirectory(dir);
    }
    FileBytes readWholeFile(const std::string& path) override {
        std::string name = path.substr(path.find_last_of("/\\") + 1);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const int nth = ++m_reads[name];
        if (beforeRead) {
            beforeRead(name, nth);
        }
        FileBytes bytes = disk.readFile(path);
        if (afterRead) {
            afterRead(name, nth);
        }
        return bytes;
    }
    void writeWholeFile(const std::string& path,
                        std::span<const std::span<const std::uint8_t>> parts,
                        bool durable) override {
        disk.writeFile(path, parts, durable);
    }
    void rename(const std::string& from, const std::string& to) override { disk.rename(from, to); }
    void remove(const std::string& path) override { disk.remove(path); }
    void createDirectories(const std::string& path) override { disk.createDirectories(path); }
    bool createDirectory(const std::string& path) override { return disk.createDirectory(path); }
    void syncDirectory(const std::string& dir) override { disk.syncDirectory(dir); }
    FileClaims& claims() override { return disk; }

    // Replaces a file's content the way another program does (a new modification time).
    void put(const std::string& path, const Bytes& bytes) {
        const std::span<const std::uint8_t> parts[] = {bytes};
        disk.writeFile(path, parts, false);
    }

private:
    std::map<std::string, int> m_reads;
};

// --- A server writing while the tool reads -------------------------------------------------

// The open takes each file's size and time before it reads it, and all three again once read: a
// change anywhere makes it read again, and it loads only files of one moment.
TEST(ConsistentReadTest, AChangeWhileTheFilesAreReadIsReadAgainOrRefused) {
    DatabaseBuilder db;
    db.addInstall(db.addNode("ALPHA"), db.addTitle(1));
    db.addInstall(db.addNode("BRAVO"), 0);
    DatabaseBuilder grown = db;  // the server has added a node and its install
    grown.addInstall(grown.addNode("CHARLIE"), 0);

    struct Case {
        const char* name;
        std::function<void(ChangingFileSystem&, const std::string&, int)> before;
        std::function<void(ChangingFileSystem&, const std::string&, int)> after;
        Lines loaded;  // node names; empty: the open fails
    };
    const auto once = [](const char* file, std::function<void(ChangingFileSystem&)> change) {
        return [=](ChangingFileSystem& fs, const std::string& name, int nth) {
            if (name == file && nth == 1) {
                change(fs);
            }
        };
    };
    const auto grow = [&](ChangingFileSystem& fs) {
        fs.put("/db/Kavrin.cmp", grown.nodeFile());
        fs.put("/db/Kavrin.ist", grown.installFile());
    };
    const std::vector<Case> cases = {
        {"a node added while the node file is read",
         {},
         once("kavrin.cmp", grow),
         {"ALPHA", "BRAVO", "CHARLIE"}},
        {"a node added while the install file is read: the node file read first is stale",
         {},
         once("kavrin.ist", grow),
         {"ALPHA", "BRAVO", "CHARLIE"}},
        {"the node file written again, same size, while the title file is read",
         {},
         once("kavrin.ttl",
              [&](ChangingFileSystem& fs) { fs.put("/db/Kavrin.cmp", db.nodeFile()); }),
         {"ALPHA", "BRAVO"}},
        {"the install file cut short while it is being rewritten",
         once("kavrin.ist",
              [](ChangingFileSystem& fs) { fs.put("/db/Kavrin.ist", Bytes(100, 0)); }),
         once("kavrin.ist",
              [&](ChangingFileSystem& fs) { fs.put("/db/Kavrin.ist", db.installFile()); }),
         {"ALPHA", "BRAVO"}},
        {"a server that never stops writing",
         {},
         [&](ChangingFileSystem& fs, const std::string& name, int nth) {
             if (name == "kavrin.cmp") {
                 DatabaseBuilder more = db;
                 more.addNode("N" + std::to_string(nth));
                 fs.put("/db/Kavrin.cmp", more.nodeFile());
             }
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChangingFileSystem fs;
        fs.disk.createDirectories("/db");
        fs.put("/db/Kavrin.cmp", db.nodeFile());
        fs.put("/db/Kavrin.ist", db.installFile());
        fs.put("/db/Kavrin.ttl", db.titleFile());
        fs.beforeRead = [&](const std::string& name, int nth) {
            if (c.before) {
                c.before(fs, name, nth);
            }
        };
        fs.afterRead = [&](const std::string& name, int nth) {
            if (c.after) {
                c.after(fs, name, nth);
            }
        };
        MemoryView view;
        view.location = "/db";
        MaintenanceEngine engine(view, fs);

        engine.OpenDatabase();

        Lines names;
        for (const NodeEntry& entry : engine.nodeList().rows()) {
            names.push_back(entry.caption);
        }
        EXPECT_EQ(names, c.loaded);
        EXPECT_EQ(engine.context().IsOpen, !c.loaded.empty());
        const Lines& log = view.list(LineList::Log);
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
            return contains(line, "changed while it was read; reading the database again.");
        }));
        if (c.loaded.empty()) {
            ASSERT_EQ(view.errors.size(), 1u);
            EXPECT_TRUE(contains(view.errors[0], kHoldStill)) << view.errors[0];
        } else {
            EXPECT_EQ(view.errors, Lines{});
            // What a later commit compares with is what was read.
            EXPECT_EQ(engine.context().NodesMS.size() + header::kSize,
                      fs.disk.status("/db/Kavrin.cmp").size);
        }
    }
}

// A commit that replaced the node file as the open began may end at any moment of the open's
// last look at the files: whatever the moment, the open loads one generation or none.
TEST(ConsistentReadTest, ACommitEndingAtAnyMomentOfTheLastLookIsNeverLoadedHalf) {
    DatabaseBuilder before;
    before.addInstall(before.addNode("ALPHA"), before.addTitle(1));
    before.addInstall(before.addNode("BRAVO"), 0);
    DatabaseBuilder after;
    after.addInstall(after.addNode("ALPHA"), after.addTitle(1));
    int opened = 0;
    for (int moment = 0; moment < 8; ++moment) {
        SCOPED_TRACE(moment);
        ChangingFileSystem fs;
        fs.disk.createDirectories("/db");
        fs.put("/db/Kavrin.cmp", before.nodeFile());
        fs.put("/db/Kavrin.ist", before.installFile());
        fs.put("/db/Kavrin.ttl", before.titleFile());
        bool begun = false;
        bool read = false;
        int statuses = 0;
        fs.afterRead = [&](const std::string& name, int) { read = read || name == "kavrin.ttl"; };
        fs.beforeStatus = [&](const std::string& path) {
            // The commit begins as the open first looks at the node file: its journal, then
            // the node file renamed into place.
            if (!begun && asciiCompareText(path, "/db/Kavrin.cmp") == 0) {
                begun = true;
                fs.put("/db/Kavrin.journal", Bytes{1});
                fs.put("/db/Kavrin.cmp", after.nodeFile());
            }
            if (read && statuses++ == moment) {
                fs.put("/db/Kavrin.ist", after.installFile());
                fs.put("/db/Kavrin.ttl", after.titleFile());
                fs.disk.remove("/db/Kavrin.journal");
            }
        };
        MemoryView view;
        view.location = "/db";
        MaintenanceEngine engine(view, fs);

        engine.OpenDatabase();

        if (engine.context().IsOpen) {
            ++opened;
            const std::size_t nodes = engine.nodeList().count();
            EXPECT_EQ(engine.context().InstallsMS.size(), nodes * install::kSize);
        }
    }
    EXPECT_GT(opened, 0);
}

// A real second process appends nodes and their installs to the files on disk while the tool
// opens the database again and again: every open loads the files of one moment (never an install
// of a node it did not load) or says that another program is writing.
TEST(ConsistentReadTest, AServerAppendingOnDiskNeverMakesTheOpenLoadAMix) {
    TempFolder folder;
    DatabaseBuilder db;
    db.addInstall(db.addNode("ALPHA"), db.addTitle(1));
    db.addInstall(db.addNode("BRAVO"), 0);
    db.write(folder.path());
    constexpr int kAppended = 300;
    MemoryView view;
    view.location = folder.path();
    MaintenanceEngine engine(view);

    ChildProcess server(
        {KAVRIN_PROCESS_HELPER, "append", folder.path(), std::to_string(kAppended), "300"});
    int loaded = 0;
    int refused = 0;
    while (server.running()) {
        view.errors.clear();
        engine.OpenDatabase();
        if (!engine.context().IsOpen) {
            ASSERT_EQ(view.errors.size(), 1u);
            // Where a file being written cannot be read at all, the open fails on it at once.
            ASSERT_TRUE(contains(view.errors[0], kHoldStill) ||
                        (writersKeepReadersOut() && view.errors[0].starts_with("Cannot open file")))
                << view.errors[0];
            ++refused;
            continue;
        }
        ++loaded;
        const std::size_t nodes = engine.context().NodesMS.size() / node::kSize - 2;
        const std::size_t installs = engine.context().InstallsMS.size() / install::kSize - 2;
        // The server writes each node before its install.
        ASSERT_TRUE(installs == nodes || installs + 1 == nodes)
            << nodes << " nodes and " << installs << " installs added";
    }
    ASSERT_EQ(server.wait(), 0);
    engine.OpenDatabase();
    ASSERT_TRUE(engine.context().IsOpen);
    EXPECT_EQ(engine.nodeList().count(), 2u + kAppended);
    EXPECT_GT(loaded + refused, 0);
    std::cout << "[ appending server ] " << loaded << " opens loaded, " << refused
              << " refused while another program wrote\n";
}

// --- Two commits at once -----------------------------------------------------------------

constexpr const char* kRunning = "Another commit of this database is running: computer ";

// An engine with its own view over a database folder, as one instance of the tool.
struct Instance {
    Instance(FileSystem& fs, const std::string& folder) : engine(view, fs, clock) {
        view.location = folder;
        engine.CloseDatabase();
    }
    bool openAndMark(const std::string& name) {
        view.errors.clear();
        engine.OpenDatabase();
        const auto row = engine.nodeList().findCaption(name, 0, true);
        if (!engine.context().IsOpen || !row) {
            return false;
        }
        engine.nodeList().setIcon(*row, kIconMarked);
        return true;
    }
    bool logged(const std::string& part) const {
        const Lines& log = view.list(LineList::Log);
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& line) { return contains(line, part); });
    }

    MemoryView view;
    FixedClock clock{{2024, 8, 22, 15, 30, 7, 0}};
    MaintenanceEngine engine;
};

DatabaseBuilder threeNodes() {
    DatabaseBuilder db;
    db.addInstall(db.addNode("ALPHA"), db.addTitle(1));
    db.addInstall(db.addNode("BRAVO"), db.addTitle(2));
    db.addInstall(db.addNode("CHARLIE"), 0);
    return db;
}

void putDatabase(FileSystem& fs, const std::string& folder, const DatabaseBuilder& db) {
    const Bytes files[] = {db.nodeFile(), db.installFile(), db.titleFile()};
    const char* names[] = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::span<const std::uint8_t> parts[] = {files[i]};
        fs.writeFile(joinPath(folder, names[i]), parts, false);
    }
}

Bytes contentOf(FileSystem& fs, const std::string& path) {
    const FileBytes bytes = fs.readFile(path);
    return Bytes(bytes.data.get(), bytes.data.get() + bytes.size);
}

// The three files a commit of `db` with `marked` marked writes.
std::array<Bytes, 3> committed(const DatabaseBuilder& db, const std::string& marked) {
    MemoryFileSystem fs;
    fs.createDirectories("/db");
    putDatabase(fs, "/db", db);
    Instance instance(fs, "/db");
    EXPECT_TRUE(instance.openAndMark(marked));
    instance.engine.CommitDatabase();
    EXPECT_EQ(instance.view.errors, Lines{});
    return {contentOf(fs, "/db/Kavrin.cmp"), contentOf(fs, "/db/Kavrin.ist"),
            contentOf(fs, "/db/Kavrin.ttl")};
}

// A second commit, or a restore, starts while the first is compacting: it is refused, naming the
// first, and writes nothing; the first goes through.
TEST(CommitClaimTest, ASecondCommitWhileOneRunsIsRefusedNamingTheFirst) {
    const DatabaseBuilder db = threeNodes();
    MemoryFileSystem fs;
    fs.createDirectories("/db");
    putDatabase(fs, "/db", db);
    Instance first(fs, "/db");
    Instance second(fs, "/db");
    Instance restoring(fs, "/db");
    ASSERT_TRUE(first.openAndMark("ALPHA"));
    ASSERT_TRUE(second.openAndMark("BRAVO"));
    ASSERT_TRUE(restoring.openAndMark("BRAVO"));
    bool secondTried = false;
    first.view.onPump = [&] {
        if (!std::exchange(secondTried, true)) {
            second.engine.CommitDatabase();
            restoring.engine.RestoreBackup("20240822-153007");  // the first one's own backup
        }
    };

    first.engine.CommitDatabase();

    ASSERT_TRUE(secondTried);
    EXPECT_EQ(first.view.errors, Lines{});
    for (const Instance* refused : {&second, &restoring}) {
        ASSERT_EQ(refused->view.errors.size(), 1u);
        EXPECT_TRUE(contains(refused->view.errors[0], kRunning + LocalComputerName() +
                                                          ", process " +
                                                          std::to_string(currentProcessId()) +
                                                          ", since 2024-08-22 15:30:07"))
            << refused->view.errors[0];
        EXPECT_TRUE(contains(refused->view.errors[0], "Nothing was written."));
    }
    Lines entries = fs.listDirectory("/db");
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (Lines{"20240822-153007", "Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
    const std::array<Bytes, 3> expected = committed(db, "ALPHA");
    EXPECT_EQ(contentOf(fs, "/db/Kavrin.cmp"), expected[0]);
    EXPECT_EQ(contentOf(fs, "/db/Kavrin.ist"), expected[1]);
    EXPECT_EQ(contentOf(fs, "/db/Kavrin.ttl"), expected[2]);
}

// A claim found in the folder: taken over when its holder is known to have ended, refused
// otherwise, with how to clear it when nothing here can tell.
TEST(CommitClaimTest, AClaimLeftBehindIsTakenOverOnlyWhenItsHolderEnded) {
    const std::string here = LocalComputerName();
    const std::string me = std::to_string(currentProcessId());
    // Another process that runs as long as this test does.
    ChildProcess other({KAVRIN_PROCESS_HELPER, "commit", "/nonexistent", "X"});
    other.send("pid");
    const std::string running = other.receive();
    const std::string path = joinPath("/db", "Kavrin.claim");  // as the engine names it
    constexpr const char* kGone = "2147483600";                // beyond any process id Linux gives
    const auto claim = [](const std::string& computer, const std::string& process,
                          const std::string& time) {
        return "Kavrin commit claim 1\ncomputer " + computer + "\nprocess " + process + "\ntime " +
               time + "\n";
    };
    struct Case {
        const char* name;
        std::string content;
        bool locks;         // the file system can tell whether a claim is held
        bool held;          // a process holds it
        std::string taken;  // in the takeover's log line; empty: refused
        std::string refused;
        std::string reported;  // in the open's log line when refused
    };
    const std::vector<Case> cases = {
        {"this computer, the process ended, a share without locks",
         claim(here, kGone, "2024-08-22 15:20:00"), false, false, "that process no longer runs", "",
         ""},
        {"this computer, no process holds it", claim(here, me, "2024-08-22 15:20:00"), true, false,
         "no process holds it any more", "", ""},
        {"torn by a crash, no process holds it", "Kavrin commit cl", true, false,
         "it cannot be read (it is empty or torn", "", ""},
        {"this computer, another process that runs, a share without locks",
         claim(here, running, "2024-08-22 15:20:00"), false, false, "",
         kRunning + here + ", process " + running + ", since 2024-08-22 15:20:00",
         "A commit of this database is running : computer " + here},
        {"this process, which holds no claim now, a share without locks",
         claim(here, me, "2024-08-22 15:20:00"), false, false,
         "it is this process's own, left by a commit that could not remove it", "", ""},
        {"held", claim(here, me, "2024-08-22 13:00:00"), true, true, "", kRunning + here,
         "A commit of this database is running"},
        {"another computer, ten minutes ago", claim("OTHERPC", "4711", "2024-08-22 15:20:07"), true,
         false, "", std::string(kRunning) + "OTHERPC, process 4711",
         "A commit of this database is running : computer OTHERPC"},
        {"another computer, two hours ago", claim("OTHERPC", "4711", "2024-08-22 13:30:07"), true,
         false, "",
         "claimed for a commit by computer OTHERPC, process 4711, since 2024-08-22 13:30:07, more "
         "than an hour ago, and whether that commit still runs cannot be told from here. If it "
         "does not (that computer stopped or lost its connection), delete the file \"" +
             path + "\" and try again. Nothing was written.",
         "claimed for a commit more than an hour ago : computer OTHERPC"},
        {"unreadable on a share", "garbage", false, false, "",
         "the claim \"" + path + "\" cannot be read: it is empty or torn",
         "may be running : its claim \"" + path + "\" cannot be read"},
    };
    const DatabaseBuilder db = threeNodes();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFileSystem fs;
        fs.advisoryLocks = c.locks;
        fs.createDirectories("/db");
        putDatabase(fs, "/db", db);
        const Bytes content(c.content.begin(), c.content.end());
        std::unique_ptr<HeldFile> holder;
        if (c.held) {
            holder = fs.createExclusive("/db/Kavrin.claim", content);
        } else {
            fs.files["/db/Kavrin.claim"] = content;
        }
        Instance instance(fs, "/db");
        ASSERT_TRUE(instance.openAndMark("BRAVO"));

        instance.engine.CommitDatabase();

        if (!c.taken.empty()) {
            EXPECT_EQ(instance.view.errors, Lines{});
            EXPECT_TRUE(instance.logged("Taking over the claim \"" + path + "\""));
            EXPECT_TRUE(instance.logged(c.taken));
            EXPECT_FALSE(fs.status("/db/Kavrin.claim").exists);
            continue;
        }
        ASSERT_EQ(instance.view.errors.size(), 1u);
        EXPECT_TRUE(contains(instance.view.errors[0], c.refused)) << instance.view.errors[0];
        EXPECT_TRUE(instance.logged(c.reported));
        EXPECT_EQ(fs.files.at("/db/Kavrin.claim"), content);
        EXPECT_EQ(fs.files.at("/db/Kavrin.cmp"), db.nodeFile());
        EXPECT_EQ(fs.listDirectory("/db"),
                  (Lines{"Kavrin.claim", "Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"}));
    }
}

// While a commit replaces the files, its journal is its own: an open neither finishes nor undoes
// it. It waits, the window pumped, for the journal to go and then reads the files; when it does
// not go, it refuses and says why.
TEST(CommitClaimTest, AnOpenWaitsForTheJournalOfARunningCommit) {
    for (const bool commitEnds : {true, false}) {
        SCOPED_TRACE(commitEnds ? "the commit ends meanwhile" : "the commit outlasts the wait");
        MemoryFileSystem fs;
        fs.createDirectories("/db");
        putDatabase(fs, "/db", threeNodes());
        const std::string text = "Kavrin commit claim 1\ncomputer " + LocalComputerName() +
                                 "\nprocess " + std::to_string(currentProcessId()) +
                                 "\ntime 2024-08-22 15:30:00\n";
        auto holder = fs.createExclusive("/db/Kavrin.claim", Bytes(text.begin(), text.end()));
        fs.files["/db/Kavrin.journal"] = Bytes(10, 'x');
        const auto before = fs.files;
        Instance instance(fs, "/db");
        instance.engine.setRunningCommitPatience(
            std::chrono::milliseconds(commitEnds ? 5000 : 300));
        instance.view.onPump = [&] {
            if (commitEnds && instance.view.pumps == 3) {
                fs.remove("/db/Kavrin.journal");
                holder->remove();
            }
        };

        instance.engine.OpenDatabase();

        EXPECT_TRUE(instance.logged("Waiting for the commit of computer "));
        EXPECT_GE(instance.view.pumps, 3);
        if (commitEnds) {
            EXPECT_TRUE(instance.engine.context().IsOpen);
            EXPECT_EQ(instance.view.errors, Lines{});
            continue;
        }
        EXPECT_FALSE(instance.engine.context().IsOpen);
        ASSERT_EQ(instance.view.errors.size(), 1u);
        EXPECT_TRUE(contains(instance.view.errors[0], kRunning)) << instance.view.errors[0];
        EXPECT_TRUE(contains(instance.view.errors[0], "the database was not opened"));
        EXPECT_EQ(fs.files, before);
    }
}

// A journal that turns up while the open reads the files means a commit began to replace them:
// what was read may be half its work, and is read again once the commit is done.
TEST(CommitClaimTest, AJournalThatTurnsUpWhileTheFilesAreReadMakesTheOpenReadAgain) {
    MemoryFileSystem fs;
    fs.createDirectories("/db");
    putDatabase(fs, "/db", threeNodes());
    Instance instance(fs, "/db");
    bool started = false;
    instance.view.onLog = [&](const std::string& line) {
        if (!started && line.starts_with("Loading : ") && line.ends_with("kavrin.ttl")) {
            started = true;  // a journal appears, and is gone by the next look
            fs.files["/db/Kavrin.journal"] = Bytes(10, 'x');
        }
    };
    instance.view.onPump = [&] {
        if (instance.logged("Waiting for the commit of ")) {
            fs.files.erase("/db/Kavrin.journal");  // that commit ends
        }
    };
    const std::string text = "Kavrin commit claim 1\ncomputer " + LocalComputerName() +
                             "\nprocess " + std::to_string(currentProcessId()) +
                             "\ntime 2024-08-22 15:30:00\n";
    auto holder = fs.createExclusive("/db/Kavrin.claim", Bytes(text.begin(), text.end()));

    instance.engine.OpenDatabase();

    EXPECT_TRUE(instance.engine.context().IsOpen);
    EXPECT_TRUE(
        instance.logged("A commit began to replace the database files while they were "
                        "read; reading the database again."));
}

// Two real processes commit the same database in `folder` at the same moment, `kRounds` times
// with random timing: exactly one commits, the other is refused and writes nothing, and the
// database is the first one's result.
void raceTwoProcesses(const std::string& folder, int kRounds) {
    FileSystem& fs = localFileSystem();
    const DatabaseBuilder db = threeNodes();
    const std::array<std::array<Bytes, 3>, 2> results = {committed(db, "ALPHA"),
                                                         committed(db, "BRAVO")};
    std::array<std::unique_ptr<ChildProcess>, 2> tools;
    tools[0] = std::make_unique<ChildProcess>(
        std::vector<std::string>{KAVRIN_PROCESS_HELPER, "commit", folder, "ALPHA"});
    tools[1] = std::make_unique<ChildProcess>(
        std::vector<std::string>{KAVRIN_PROCESS_HELPER, "commit", folder, "BRAVO"});
    std::mt19937 random(20240822);
    std::uniform_int_distribution<int> delay(0, 300);  // microseconds, about a commit here
    int claimRefusals = 0;
    int changeRefusals = 0;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        putDatabase(fs, folder, db);
        for (auto& tool : tools) {
            tool->send("open");
        }
        for (auto& tool : tools) {
            ASSERT_EQ(tool->receive(), "ready");
        }
        for (auto& tool : tools) {
            tool->send("commit " + std::to_string(delay(random)));
        }
        std::array<std::string, 2> answers = {tools[0]->receive(), tools[1]->receive()};

        const int winners = (answers[0] == "committed") + (answers[1] == "committed");
        ASSERT_EQ(winners, 1) << answers[0] << "\n" << answers[1];
        const std::size_t winner = answers[0] == "committed" ? 0 : 1;
        const std::string& refusal = answers[1 - winner];
        if (contains(refusal, kRunning)) {
            ++claimRefusals;
        } else {
            // Too late for the claim: the first had finished, and the files it wrote are not the
            // ones the second opened.
            ASSERT_TRUE(contains(refusal, "has changed on disk since the database was opened"))
                << refusal;
            ++changeRefusals;
        }
        ASSERT_EQ(contentOf(fs, joinPath(folder, "Kavrin.cmp")), results[winner][0]);
        ASSERT_EQ(contentOf(fs, joinPath(folder, "Kavrin.ist")), results[winner][1]);
        ASSERT_EQ(contentOf(fs, joinPath(folder, "Kavrin.ttl")), results[winner][2]);
        ASSERT_FALSE(fs.status(joinPath(folder, "Kavrin.claim")).exists);
        ASSERT_FALSE(fs.status(joinPath(folder, "Kavrin.journal")).exists);
    }
    for (auto& tool : tools) {
        tool->send("quit");
        EXPECT_EQ(tool->wait(), 0);
    }
    EXPECT_GT(claimRefusals, 0);
    std::cout << "[ two processes ] " << kRounds << " rounds in " << folder
              << ": one commit each, the other refused " << claimRefusals << " times by the claim, "
              << changeRefusals << " times for changed files\n";
}

// The folder is in memory (/dev/shm) where there is one, so that a hundred commits cost no hundred
// disk flushes; KAVRIN_RACE_FOLDER points the test at another folder (it must exist, and the
// database there is overwritten).
TEST(CommitClaimTest, TwoProcessesCommittingAtOnceLeaveExactlyOneResult) {
    TempFolder temp =
        std::filesystem::is_directory("/dev/shm") ? TempFolder("/dev/shm") : TempFolder();
    const char* elsewhere = std::getenv("KAVRIN_RACE_FOLDER");
    raceTwoProcesses(elsewhere != nullptr && *elsewhere != '\0' ? elsewhere : temp.path(), 100);
}

// On the test server's share, where the claim is the file alone: no lock backs it there.
TEST(CommitClaimTest, TwoProcessesCommittingAtOnceOnAShareLeaveExactlyOneResult) {
    if (!testShare()) {
        GTEST_SKIP() << "no test server";
    }
    setShareSettings({});  // the share admits guests; the helper processes come as such
    ShareFolder folder;
    raceTwoProcesses(folder.path(), 100);
}

}  // namespace
}  // namespace kavrin::test
