// The engine in server mode against the test server (scripts/smbserver.sh): the location is the
// server's name as an administrator types it, the database the root of its Kavrin$ share.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/EngineSession.h"
#include "common/FixedClock.h"
#include "common/MemoryView.h"
#include "common/ShareFolder.h"
#include "common/TempFolder.h"
#include "engine/MaintenanceEngine.h"
#include "support/fs/Paths.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readAll(const std::string& path) {
    const FileBytes bytes = localFileSystem().readFile(path);
    return Bytes(bytes.data.get(), bytes.data.get() + bytes.size);
}

void writeAll(const std::string& path, const Bytes& bytes) {
    const std::span<const std::uint8_t> parts[] = {bytes};
    localFileSystem().writeFile(path, parts, false);
}

// Opens, shows the details of `node`, marks `marked` and commits: the commit's log lines.
void openMarkAndCommit(Session& session, const std::string& node,
                       const std::vector<std::string>& marked) {
    MemoryView& view = session.view;
    MaintenanceEngine& engine = session.engine;
    view.answers.push_back(Answer::No);  // to the offer to fix the duplicates
    ASSERT_TRUE(engine.OpenDatabase().opened) << session.lastError();
    const auto row = engine.nodeList().findCaption(node, 0, true);
    ASSERT_TRUE(row.has_value());
    view.selection = {*row};
    engine.ShowSelectedNodeDetails();
    for (const std::string& name : marked) {
        view.selection = {*engine.nodeList().findCaption(name, 0, true)};
        engine.MarkSelectedNodes(true);
    }
    ASSERT_EQ(engine.CommitDatabase().message, "");
}

DatabaseBuilder inventory() {
    DatabaseBuilder db;
    std::vector<std::uint32_t> nodes;
    for (const char* name : {"PC1", "pc1", "LAPTOP", "SERVER", "OLD"}) {
        nodes.push_back(db.addNode(name));
    }
    db.addNullRecord();
    const std::uint32_t titles[] = {db.addTitle(1), db.addTitle(2), db.addTitle(3)};
    // Over a megabyte of installs: the file moves in several requests.
    for (int i = 0; i < 100000; ++i) {
        db.addInstall(nodes[static_cast<std::size_t>(i) % nodes.size()], titles[i % 3],
                      i % 17 == 0 ? 1 : 0);
    }
    return db;
}

// Everything a session does on a share, done the same way on a local copy, gives the same bytes.
TEST(ServerModeTest, OpenDetailsMarkBackupCommitAndReopenAsOnALocalFolder) {
    if (!testShare()) {
        GTEST_SKIP() << "no test server";
    }
    useTestCredentials();
    const DatabaseBuilder db = inventory();
    ShareFolder root(true);
    // Spelled otherwise than the tool names them: a share finds them all the same.
    writeAll(root.file("KAVRIN.CMP"), db.nodeFile());
    writeAll(root.file("kavrin.IST"), db.installFile());
    writeAll(root.file("Kavrin.TTL"), db.titleFile());
    TempFolder local;
    db.write(local.path());

    Session onShare(localFileSystem(), testServer(), true);
    Session onDisk(localFileSystem(), local.path());
    openMarkAndCommit(onDisk, "LAPTOP", {"pc1", "OLD"});
    openMarkAndCommit(onShare, "LAPTOP", {"pc1", "OLD"});

    EXPECT_EQ(onShare.view.connectedFolder, "");  // the commit closed it
    EXPECT_EQ(onShare.view.list(LineList::NodeStats), onDisk.view.list(LineList::NodeStats));
    EXPECT_GT(onShare.view.pumps - onShare.view.pumpsWhileSaving,
              onDisk.view.pumps - onDisk.view.pumpsWhileSaving)
        << "no pump between the requests";
    const std::string backup = root.file("20240822-153007");
    for (const auto& [onShareName, localName] :
         {std::pair{"KAVRIN.CMP", "Kavrin.cmp"}, std::pair{"kavrin.IST", "Kavrin.ist"},
          std::pair{"Kavrin.TTL", "Kavrin.ttl"}}) {
        EXPECT_EQ(readAll(root.file(onShareName)), readAll(local.file(localName))) << onShareName;
        EXPECT_EQ(readAll(joinPath(backup, localName)),
                  readAll(joinPath(local.file("20240822-153007"), localName)))
            << localName;
    }
    std::vector<std::string> names = localFileSystem().listDirectory(root.path());
    std::erase_if(names, isTestFolder);  // other tests' folders
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"20240822-153007", "KAVRIN.CMP", "Kavrin.TTL",
                                               "kavrin.IST"}));

    onShare.engine.OpenDatabase();
    ASSERT_TRUE(onShare.engine.context().IsOpen);
    EXPECT_EQ(onShare.view.connectedFolder, "\\\\" + testServer() + "\\Kavrin$");
    EXPECT_EQ(onShare.engine.nodeList().count(), 3u);
}

// The design's message, then whether the server answered: a share that could not be read (no
// server there), or one that was read and holds no database.
TEST(ShareOpenTest, AMissingDatabaseSaysWhetherTheShareCouldBeRead) {
    if (!testShare()) {
        GTEST_SKIP() << "no test server";
    }
    useTestCredentials();
    const std::string server = testServer();
    const std::string nowhere = "127.0.0.2" + server.substr(server.find(':'));
    ShareFolder root(true);  // the share emptied of everything but other tests' folders
    const struct {
        std::string server;
        std::string reason;
    } cases[] = {
        {nowhere, "The share \\\\" + nowhere + "\\Kavrin$ could not be read : "},
        {server, "The share \\\\" + server + "\\Kavrin$ was read, and holds no file kavrin.cmp."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server);
        Session session(localFileSystem(), c.server, true);
        const auto start = std::chrono::steady_clock::now();
        session.engine.OpenDatabase();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        ASSERT_EQ(session.view.errors.size(), 1u);
        const std::string& error = session.view.errors[0];
        const std::string design = "Error: \"The database does not exist.\"\r\n\r\n\\\\" +
                                   c.server + "\\Kavrin$\\kavrin.cmp\r\n\r\n";
        EXPECT_TRUE(error.starts_with(design + c.reason)) << error;
        EXPECT_GT(error.size(), design.size() + c.reason.size() - 1) << "no reason given";
    }
}

}  // namespace
}  // namespace kavrin::test
