// What only the share back end has: URLs, credentials, and servers that go away. The cases that
// need the test server (scripts/smbserver.sh) skip without it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ShareFolder.h"
#include "common/ShareProxy.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Errors.h"
#include "support/smb/CallSize.h"
#include "support/smb/ShareAccess.h"
#include "support/smb/SmbShareFileSystem.h"

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

ShareSettings settingsOf(const ShareCredentials& credentials, ShareCredentialsPrompt prompt = {}) {
    ShareSettings settings;
    settings.credentials = credentials;
    settings.prompt = std::move(prompt);
    return settings;
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
            {"Cannot create file \"" + path,
             [&] { (void)fs->claims().createExclusive(path, parts[0]); }},
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

// A file another client is reading (the server itself keeps its files open) is replaced all the
// same: the rename waits for the reading to end, and the file replaced is renamed aside rather
// than removed, so that its name is free at once; what was put aside goes with the next
// replacement.
TEST_F(ShareTest, AFileAnotherClientReadsIsReplacedAllTheSame) {
    const std::string a = folder->file("a");
    const std::string b = folder->file("b");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(testing::Message() << "replacement " << round + 1);
        writeText(a, "new " + std::to_string(round));
        writeText(b, std::string(3 * 1024 * 1024, 'o'));  // read in several requests
        // The reader is another process, as the other clients of a share are: the library is
        // used by one thread of a process only.
        int reading[2];
        ASSERT_EQ(::pipe(reading), 0);
        const pid_t reader = ::fork();
        ASSERT_GE(reader, 0);
        if (reader == 0) {
            ::close(reading[0]);
            bool told = false;
            int code = 0;
            try {
                const std::unique_ptr<FileSystem> other = makeShareFileSystem(kSmbClientLibrary);
                (void)other->readFile(b, [&](std::uint64_t done, std::uint64_t total) {
                    if (done < total && !told) {
                        told = true;
                        (void)!::write(reading[1], "r", 1);
                        std::this_thread::sleep_for(std::chrono::milliseconds(500));
                    }
                });
            } catch (const std::exception&) {
                code = 1;
            }
            ::_exit(told ? code : 2);
        }
        ::close(reading[1]);
        char byte = 0;
        const bool started = ::read(reading[0], &byte, 1) == 1;
        ::close(reading[0]);
        const std::string renaming = errorOf([&] { shareFileSystem().rename(a, b); });
        int status = 0;
        ::waitpid(reader, &status, 0);
        EXPECT_TRUE(started);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader status " << status;
        EXPECT_EQ(renaming, "(no error)");
        EXPECT_TRUE(readText(b) == "new " + std::to_string(round));
    }
    EXPECT_EQ(shareFileSystem().listDirectory(folder->path()), std::vector<std::string>{"b"});
}

// The share admits guests: a wrong password must still be refused, not turned into a guest
// session, and never shown.
TEST_F(ShareTest, AWrongPasswordIsRefusedAndAskedForAgain) {
    const std::string file = folder->file("f");
    writeText(file, "secret data");
    ShareCredentials wrong = test::testCredentials();
    wrong.password = "wrong-Pa55";
    setShareSettings(settingsOf(wrong));
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
    setShareSettings(settingsOf(wrong, [&](const std::string& share, const ShareCredentials& tried,
                                           const std::string& reason) {
        asked.push_back({share, tried, reason});
        return answer;
    }));
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
    setShareSettings(settingsOf(wrong, shareSettings().prompt));
    EXPECT_EQ(shareFileSystem().status(file), FileStatus{});
    EXPECT_EQ(asked.size(), 2u);
    // A prompt may end the work with its own error, through status() too.
    setShareSettings(settingsOf(wrong, [](auto&&...) -> std::optional<ShareCredentials> {
        throw KavrinError("given up");
    }));
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

    // Silent in the middle of a read: the program is given its thread meanwhile and told of the
    // wait after a second; it may end the wait, and does. Once the server answers again, the
    // files of the connection given up stand in nobody's way.
    const std::vector<std::uint8_t> big(3 * 1024 * 1024 + 1, 7);
    const std::span<const std::uint8_t> parts[] = {big};
    shareFileSystem().writeFile(file, parts, false);
    std::vector<std::string> told;
    // The end of a wait too short to be shown is not written down.
    setShareWaiting([&](bool waiting, const std::string& text) {
        if (!waiting && !told.empty()) {
            told.push_back("(over)");
        } else if (!text.empty()) {
            told.push_back(text);
            throw KavrinError("stopped waiting");
        }
    });
    EXPECT_EQ(errorOf([&] {
                  (void)shareFileSystem().readFile(
                      file, [&](std::uint64_t, std::uint64_t) { proxy.freeze(true); });
              }),
              "stopped waiting");
    EXPECT_EQ(told, (std::vector<std::string>{
                        "Waiting for the server " + proxy.server() + " to answer", "(over)"}));
    setShareWaiting({});
    proxy.freeze(false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    shareFileSystem().writeFile(file, parts, false);
    EXPECT_EQ(shareFileSystem().readFile(file).size, big.size());
}

// A server that took the connection is waited for, with the program's thread given back to it
// meanwhile; one that does not answer a request to connect at all is not.
TEST_F(ShareTest, ASlowServerIsWaitedForAndASilentPortIsNot) {
    std::vector<std::string> told;
    int turns = 0;
    // What was shown, and the end of a wait that was shown.
    setShareWaiting([&](bool waiting, const std::string& text) {
        ++turns;
        if (!waiting && !told.empty() && told.back() != "(over)") {
            told.push_back("(over)");
        } else if (!text.empty() && (told.empty() || told.back() != text)) {
            told.push_back(text);
        }
    });
    test::ShareProxy proxy(test::testServer());
    proxy.delayReplies(std::chrono::seconds(8));
    const std::string relayed =
        "\\\\" + proxy.server() + folder->file("f").substr(2 + test::testServer().size());
    writeText(folder->file("f"), "slow");
    EXPECT_EQ(readText(relayed), "slow");
    EXPECT_EQ(told, (std::vector<std::string>{
                        "Waiting for the server " + proxy.server() + " to answer", "(over)"}));
    EXPECT_GT(turns, 10);

    test::SilentPort silent;
    const std::string nowhere = "\\\\" + silent.server() + "\\Kavrin$\\kavrin.cmp";
    const auto start = Clock::now();
    EXPECT_EQ(errorOf([&] { readText(nowhere); }),
              "Cannot open file \"" + nowhere + "\". Connection timed out");
    std::cout << "[ silent port ] failed after " << secondsSince(start) << " s\n";
    EXPECT_LT(secondsSince(start), 10.0);
}

// Every request of an operation in turn reaches the server, which carries it out, and its reply
// is lost with the connection: the operation, made again on a new connection, finds what the
// first attempt did and reports it, as if the reply had come.
TEST_F(ShareTest, AReplyLostWithTheConnectionIsNoFailure) {
    test::ShareProxy proxy(test::testServer());
    const auto relayed = [&](const std::string& path) {
        return "\\\\" + proxy.server() + path.substr(2 + test::testServer().size());
    };
    const std::string a = folder->file("a");
    const std::string b = folder->file("b");
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    const std::string mine = "claim of this call";
    std::unique_ptr<HeldFile> held;
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::function<void()> operation;
        // What the folder holds afterwards: "a=... b=..." ("-" for no file).
        std::string after;
    };
    const Case cases[] = {
        {"rename over a file",
         [&] {
             writeText(a, "source");
             writeText(b, "old");
         },
         [&] { shareFileSystem().rename(relayed(a), relayed(b)); }, "a=- b=source"},
        {"rename onto a free name", [&] { writeText(a, "source"); },
         [&] { shareFileSystem().rename(relayed(a), relayed(b)); }, "a=- b=source"},
        {"remove", [&] { writeText(a, "doomed"); }, [&] { shareFileSystem().remove(relayed(a)); },
         "a=- b=-"},
        {"create a claim", [] {},
         [&] {
             held = shareFileSystem().claims().createExclusive(relayed(a), bytes(mine));
             EXPECT_NE(held, nullptr);
         },
         "a=" + mine + " b=-"},
        {"create a claim over another's", [&] { writeText(a, "another's"); },
         [&] { EXPECT_FALSE(shareFileSystem().claims().createExclusive(relayed(a), bytes(mine))); },
         "a=another's b=-"},
    };
    const auto content = [&](const std::string& path) {
        return shareFileSystem().status(path).exists ? readText(path) : "-";
    };
    for (const Case& c : cases) {
        for (int request = 1;; ++request) {
            SCOPED_TRACE(testing::Message() << c.name << ", the reply to request " << request);
            for (const std::string& path : {a, b}) {
                if (shareFileSystem().status(path).exists) {
                    shareFileSystem().remove(path);
                }
            }
            held.reset();
            c.prepare();
            (void)shareFileSystem().status(relayed(folder->path()));  // connected beforehand
            const int lost = proxy.repliesLost();
            proxy.loseReplyTo(request);
            EXPECT_EQ(errorOf(c.operation), "(no error)");
            proxy.loseReplyTo(0);
            EXPECT_EQ("a=" + content(a) + " b=" + content(b), c.after);
            if (proxy.repliesLost() == lost) {
                EXPECT_GT(request, 1);  // every request of the operation has had its turn
                break;
            }
        }
    }
}

// Two processes of this computer take over the same claim, left by a holder that ended, at the
// same moment: the share has no lock, and exactly one of them holds it afterwards.
TEST_F(ShareTest, OfTwoProcessesTakingOverOneClaimAtOnceExactlyOneHoldsIt) {
    const std::string claim = folder->file("Kavrin.claim");
    const std::string dead = "claim of a process that ended";
    const auto bytes = [](const std::string& text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        writeText(claim, dead);
        int go[2];
        int answer[2];
        ASSERT_EQ(::pipe(go), 0);
        ASSERT_EQ(::pipe(answer), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        // Each with a back end of its own, connected before the start.
        const std::string me = child == 0 ? "child" : "parent";
        const std::unique_ptr<FileSystem> fs = makeShareFileSystem(kSmbClientLibrary);
        (void)fs->status(folder->path());
        if (child == 0) {
            char byte = 0;
            const bool started = ::read(go[0], &byte, 1) == 1;
            bool holds = false;
            try {
                holds = started && fs->claims().takeOver(claim, bytes(dead), bytes(me)).release();
            } catch (const std::exception&) {
                byte = 'E';
            }
            byte = byte == 'E' ? 'E' : holds ? 'H' : 'N';
            (void)!::write(answer[1], &byte, 1);
            ::_exit(0);  // the claim stays, as at the end of a process
        }
        ::close(go[0]);
        ::close(answer[1]);
        ASSERT_EQ(::write(go[1], "g", 1), 1);
        std::unique_ptr<HeldFile> mine;
        EXPECT_EQ(errorOf([&] { mine = fs->claims().takeOver(claim, bytes(dead), bytes(me)); }),
                  "(no error)");
        char theirs = '?';
        EXPECT_EQ(::read(answer[0], &theirs, 1), 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(go[1]);
        ::close(answer[0]);
        ASSERT_NE(theirs, 'E');
        EXPECT_NE(mine != nullptr, theirs == 'H');
        EXPECT_EQ(readText(claim), mine != nullptr ? "parent" : "child");
        mine.reset();
        shareFileSystem().remove(claim);
    }
}

}  // namespace
}  // namespace kavrin

// The size of the library's calls widens over a long link and never so far that a call could
// outlast the wait for the server on a narrow one.
TEST(CallSizeTest, GrowsOverLongLinksOnlyWhileCallsStayShort) {
    using kavrin::CallSize;
    using std::chrono::milliseconds;
    constexpr std::size_t kMiB = 1024 * 1024;
    struct Call {
        milliseconds took;
        std::size_t sizeAfter;
        bool whole = true;  // the call moved every byte asked for
    };
    const struct {
        const char* link;
        std::vector<Call> calls;
    } cases[] = {
        {"loopback", {{milliseconds(1), kMiB}, {milliseconds(2), kMiB}}},
        {"20 ms round trip",
         {{milliseconds(35), 4 * kMiB},
          {milliseconds(60), 16 * kMiB},
          {milliseconds(70), 16 * kMiB}}},
        {"end of the file", {{milliseconds(35), kMiB, false}}},
        // 2 Mbit/s: a MiB takes four seconds, 16 MiB would take a minute.
        {"narrow", {{milliseconds(4200), kMiB}, {milliseconds(4200), kMiB}}},
        {"narrowing",
         {{milliseconds(35), 4 * kMiB}, {milliseconds(600), 4 * kMiB}, {milliseconds(4500), kMiB}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        CallSize size(16 * kMiB);
        for (const Call& call : c.calls) {
            const std::size_t asked = size.size();
            size.tookFor(asked, call.whole ? asked : asked / 2, call.took);
            EXPECT_EQ(size.size(), call.sizeAfter);
        }
    }
}
