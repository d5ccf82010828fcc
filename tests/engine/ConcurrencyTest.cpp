// Other programs at work on the same database: a server writing to the files while the tool
// reads them, and another instance of the tool committing at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/DatabaseBuilder.h"
#include "common/MemoryFileSystem.h"
#include "common/MemoryView.h"
#include "common/TempFolder.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "support/AnsiText.h"

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

    FileStatus status(const std::string& path) override { return disk.status(path); }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        return disk.listDirectory(dir);
    }
    FileBytes readFile(const std::string& path) override {
        std::string name = path.substr(path.rfind('/') + 1);
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
    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable) override {
        disk.writeFile(path, parts, durable);
    }
    void rename(const std::string& from, const std::string& to) override { disk.rename(from, to); }
    void remove(const std::string& path) override { disk.remove(path); }
    void createDirectories(const std::string& path) override { disk.createDirectories(path); }
    bool createDirectory(const std::string& path) override { return disk.createDirectory(path); }
    void syncDirectory(const std::string& dir) override { disk.syncDirectory(dir); }

    // Replaces a file's content the way another program does (a new modification time).
    void put(const std::string& path, const Bytes& bytes) {
        const std::span<const std::uint8_t> parts[] = {bytes};
        disk.writeFile(path, parts, false);
    }

private:
    std::map<std::string, int> m_reads;
};

// --- A server writing while the tool reads -------------------------------------------------

// The open reads each file with its size and time checked before and after, and all three again
// at the end: a change anywhere makes it read again, and it loads only files of one moment.
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
            ASSERT_TRUE(contains(view.errors[0], kHoldStill)) << view.errors[0];
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

}  // namespace
}  // namespace kavrin::test
