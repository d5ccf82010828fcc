// What only the share back end has: URLs, credentials, and servers that go away. The cases that
// need the test server (scripts/smbserver.sh) skip without it.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ShareFolder.h"
#include "common/ShareProxy.h"
#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/ShareAccess.h"
#include "support/SmbShareFileSystem.h"

namespace kavrin {
namespace {

using Clock = std::chrono::steady_clock;

void writeText(const std::string& path, const std::string& text) {
    const std::span<const std::uint8_t> parts[] = {
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())};
    shareFileSystem().writeFile(path, parts, false);
}

std::string readText(const std::string& path) {
    const FileBytes bytes = shareFileSystem().readFile(path);
    return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

template <typename Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const KavrinError& e) {
        return e.what();
    }
    return "(no error)";
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SmbUrlTest, NamesReachTheLibraryAsWritten) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\SRV\\Kavrin$", "smb://SRV/Kavrin$/"},
        {"\\\\srv:4450\\Kavrin$\\a\\b", "smb://srv:4450/Kavrin$/a/b"},
        {"\\\\SRV\\Kavrin$\\\\20240822-153007\\", "smb://SRV/Kavrin$/20240822-153007"},
        {"\\\\SRV\\Kavrin$/sub\\Kavrin.cmp", "smb://SRV/Kavrin$/sub/Kavrin.cmp"},
        {"\\\\SRV\\Kavrin$\\100%?#@; \xC3\xA9.txt",
         "smb://SRV/Kavrin$/100%25%3F%23%40%3B%20%C3%A9.txt"},
    };
    for (const auto& [path, url] : cases) {
        EXPECT_EQ(smbUrl(path), url) << path;
    }
}

// Without Samba's client library, or with one that lacks a function the back end calls, a share
// path names nothing and every other operation fails with the path and why the library is not
// there.
TEST(ShareLibraryTest, EveryOperationSaysWhyTheLibraryCouldNotBeLoaded) {
    const std::pair<const char*, const char*> libraries[] = {
        {"libkavrin-none.so.0", "libkavrin-none.so.0: cannot open shared object file"},
        {"libz.so.1", "libz.so.1: undefined symbol: smbc_"},
    };
    const std::string path = "\\\\SRV\\Kavrin$\\Kavrin.cmp";
    const std::uint8_t byte = 1;
    const std::span<const std::uint8_t> parts[] = {std::span(&byte, 1)};
    for (const auto& [library, why] : libraries) {
        const std::unique_ptr<FileSystem> fs = makeShareFileSystem(library);
        EXPECT_FALSE(fs->status(path).exists) << library;
        const std::pair<std::string, std::function<void()>> operations[] = {
            {"Cannot read directory \"" + path, [&] { fs->listDirectory(path); }},
            {"Cannot open file \"" + path, [&] { fs->readFile(path); }},
            {"Cannot create file \"" + path, [&] { fs->writeFile(path, parts, true); }},
            {"Cannot create file \"" + path, [&] { (void)fs->createExclusive(path, parts[0]); }},
            {"Cannot delete file \"" + path, [&] { fs->remove(path); }},
            {"Cannot create directory \"" + path, [&] { fs->createDirectories(path); }},
            {"Cannot rename file \"" + path + ".new\" to \"" + path,
             [&] { fs->rename(path + ".new", path); }},
        };
        for (const auto& [what, operation] : operations) {
            const std::string error = errorOf(operation);
            EXPECT_EQ(
                error.rfind(
                    what + "\". Samba's client library (" + library + ") could not be loaded: ", 0),
                0u)
                << error;
            EXPECT_NE(error.find(why), std::string::npos) << error;
        }
    }
}

class ShareTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::testShare()) {
            GTEST_SKIP() << "no test server";
        }
        test::useTestCredentials();
        folder.emplace();
    }
    void TearDown() override { setShareSettings({}); }

    std::optional<test::ShareFolder> folder;
};

TEST_F(ShareTest, AwkwardNamesRoundTrip) {
    // '?' and the like are no part of a name on a share.
    const std::string name = "100%#@; \xC3\xA9.txt";
    writeText(folder->file(name), "data");
    EXPECT_EQ(shareFileSystem().listDirectory(folder->path()), std::vector<std::string>{name});
    EXPECT_EQ(readText(folder->file(name)), "data");
}

// The share admits guests: a wrong password must still be refused, not turned into a guest
// session, and never shown.
TEST_F(ShareTest, AWrongPasswordIsRefusedAndAskedForAgain) {
    const std::string file = folder->file("f");
    writeText(file, "secret data");
    ShareCredentials wrong = test::testCredentials();
    wrong.password = "wrong-Pa55";
    setShareSettings({wrong, {}, 0});
    EXPECT_EQ(shareFileSystem().status(file), FileStatus{});
    const std::string refused = errorOf([&] { readText(file); });
    EXPECT_EQ(refused, "Cannot open file \"" + file + "\". Permission denied");

    struct Asked {
        std::string share;
        ShareCredentials refused;
        std::string reason;
    };
    std::vector<Asked> asked;
    std::optional<ShareCredentials> answer = test::testCredentials();
    setShareSettings(
        {wrong,
         [&](const std::string& share, const ShareCredentials& tried, const std::string& reason) {
             asked.push_back({share, tried, reason});
             return answer;
         },
         0});
    // Through a relay, so that the next connection is made anew and logs on with what was kept.
    test::ShareProxy proxy(test::testServer());
    const auto relayed = [&](const std::string& path) {
        return "\\\\" + proxy.server() + path.substr(2 + test::testServer().size());
    };
    // Accepted by the server, though the file asked for is not there: kept all the same.
    EXPECT_EQ(shareFileSystem().status(relayed(folder->file("missing"))), FileStatus{});
    proxy.dropConnections();
    EXPECT_EQ(readText(relayed(file)), "secret data");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].share, "\\\\" + proxy.server() + "\\Kavrin$");
    EXPECT_EQ(asked[0].refused, wrong);
    EXPECT_EQ(asked[0].reason, "Permission denied");

    // New settings forget it. No answer: the share is as one that refuses access.
    answer.reset();
    setShareSettings({wrong, shareSettings().prompt, 0});
    EXPECT_EQ(shareFileSystem().status(file), FileStatus{});
    EXPECT_EQ(asked.size(), 2u);
    // A prompt may end the work with its own error, through status() too.
    setShareSettings(
        {wrong, [](auto&&...) -> std::optional<ShareCredentials> { throw KavrinError("given up"); },
         0});
    EXPECT_EQ(errorOf([&] { (void)shareFileSystem().status(file); }), "given up");
}

TEST_F(ShareTest, NothingListeningFailsWithinASecond) {
    const std::string server = test::testServer();
    const std::string nowhere = "\\\\127.0.0.2" + server.substr(server.find(':')) + "\\Kavrin$";
    const auto start = Clock::now();
    EXPECT_EQ(shareFileSystem().status(nowhere + "\\kavrin.cmp"), FileStatus{});
    EXPECT_EQ(errorOf([&] { readText(nowhere + "\\kavrin.cmp"); }),
              "Cannot open file \"" + nowhere + "\\kavrin.cmp\". Connection refused");
    EXPECT_LT(secondsSince(start), 1.0);
}

// Through a relay the test controls: a restart between two requests costs nothing, a server that
// is gone fails at once, one that is back is reached again.
TEST_F(ShareTest, ServersThatGoAway) {
    test::ShareProxy proxy(test::testServer());
    const std::string file =
        "\\\\" + proxy.server() + folder->file("f").substr(2 + test::testServer().size());
    writeText(file, "before");

    proxy.dropConnections();
    EXPECT_EQ(readText(file), "before");
    proxy.dropConnections();
    writeText(file, "after");
    EXPECT_EQ(readText(folder->file("f")), "after");

    proxy.stop();
    auto start = Clock::now();
    EXPECT_EQ(shareFileSystem().status(file), FileStatus{});
    EXPECT_EQ(errorOf([&] { writeText(file, "x"); }),
              "Cannot create file \"" + file + "\". Connection refused");
    EXPECT_LT(secondsSince(start), 1.0);
    proxy.start();
    EXPECT_EQ(readText(file), "after");

    // Silent in the middle of a read: that read fails within the reply timeout, the server is
    // not asked again at once, and once it answers again the files the abandoned connection had
    // open stand in nobody's way.
    const std::vector<std::uint8_t> big(3 * 1024 * 1024 + 1, 7);
    const std::span<const std::uint8_t> parts[] = {big};
    shareFileSystem().writeFile(file, parts, false);
    start = Clock::now();
    EXPECT_EQ(errorOf([&] {
                  (void)shareFileSystem().readFile(
                      file, [&](std::uint64_t, std::uint64_t) { proxy.freeze(true); });
              }),
              "Cannot read file \"" + file + "\". Connection timed out");
    EXPECT_GT(secondsSince(start), 4.5);
    EXPECT_LT(secondsSince(start), 6.0);
    start = Clock::now();
    EXPECT_EQ(shareFileSystem().status(file), FileStatus{});
    EXPECT_LT(secondsSince(start), 0.5);
    proxy.freeze(false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    shareFileSystem().writeFile(file, parts, false);
    EXPECT_EQ(shareFileSystem().readFile(file).size, big.size());
}

}  // namespace
}  // namespace kavrin
