// The command line's credentials for server shares, and the commands against the test server
// (scripts/smbserver.sh); the cases that need the server skip without it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli/CliFixture.h"
#include "cli/Credentials.h"
#include "common/DatabaseBuilder.h"
#include "common/ShareFolder.h"
#include "common/ShareProxy.h"
#include "common/TempFolder.h"
#include "support/fs/FileSystem.h"

namespace kavrin {
namespace {

using cli::Terminal;

// A person at a terminal who answers from a list.
class ScriptedTerminal final : public Terminal {
public:
    bool interactive() override { return isInteractive; }
    void tell(const std::string& line) override { told.push_back(line); }
    std::optional<std::string> ask(const std::string& prompt, bool secret) override {
        prompts.push_back(prompt + (secret ? "(hidden)" : ""));
        if (answers.empty()) {
            return std::nullopt;
        }
        std::string answer = answers.front();
        answers.pop_front();
        return answer;
    }

    bool isInteractive = true;
    std::deque<std::string> answers;
    std::vector<std::string> prompts;
    std::vector<std::string> told;
};

TEST(CredentialsTest, UserArgumentsAndAuthenticationFiles) {
    const struct {
        const char* text;
        ShareCredentials expected;
        bool password;
    } users[] = {
        {"admin", {"admin", "", "", false}, false},
        {"admin%se%cret", {"admin", "se%cret", "", false}, true},
        {"CORP\\admin%x", {"admin", "x", "CORP", false}, true},
        {"CORP/admin", {"admin", "", "CORP", false}, false},
        {"%", {"", "", "", false}, true},
    };
    for (const auto& user : users) {
        ShareCredentials parsed;
        EXPECT_EQ(cli::parseUserArgument(user.text, parsed), user.password) << user.text;
        EXPECT_EQ(parsed, user.expected) << user.text;
    }
    ShareCredentials fromFile;
    EXPECT_TRUE(cli::parseAuthenticationFile(
        "# the service account\nusername = svc\n  PASSWORD=  p a s s  \r\ndomain= CORP\nother = 1",
        fromFile));
    EXPECT_EQ(fromFile, (ShareCredentials{"svc", "p a s s", "CORP", false}));
    fromFile = {};
    EXPECT_FALSE(cli::parseAuthenticationFile("username = CORP\\svc\n", fromFile));
    EXPECT_EQ(fromFile, (ShareCredentials{"svc", "", "CORP", false}));
}

TEST(CredentialsTest, PasswordsAreHiddenFromTheProcessList) {
    std::string args[] = {"stats", "-U", "a%secret", "-Ub%pw", "--user=c%x%y", "--user",
                          "d",     "-W", "DOM%AIN",  "--",     "-Ue%keep"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    cli::hidePasswordArguments(argv);
    EXPECT_EQ(std::vector<std::string>(std::begin(args), std::end(args)),
              (std::vector<std::string>{"stats", "-U", "a%XXXXXX", "-Ub%XX", "--user=c%XXX",
                                        "--user", "d", "-W", "DOM%AIN", "--", "-Ue%keep"}));
}

class ServerModeCliTest : public test::CliFixture {
protected:
    void SetUp() override {
        if (!test::testShare()) {
            GTEST_SKIP() << "no test server";
        }
    }
    int runWith(Terminal& terminal, const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return cli::runCommandLine(args, out, err, localFileSystem(), systemClock(), false,
                                   terminal);
    }
    std::string user() const { return test::testCredentials().user; }
    std::string password() const { return test::testCredentials().password; }
};

// The share admits guests: a refused password must not become a guest session. Without a person
// to ask, the refusal ends the command naming the share, and no password is ever printed.
TEST_F(ServerModeCliTest, ARefusalIsAskedForAgainOnATerminalOrEndsTheCommand) {
    const std::string server = test::testServer();
    const std::string share = *test::testShare();
    ScriptedTerminal nobody;
    nobody.isInteractive = false;
    EXPECT_EQ(runWith(nobody, {"stats", "--server", server, "-U", user() + "%Wr0ngPass"}), 1);
    EXPECT_NE(err.str().find("Access to \"" + share + "\" was refused for the user \"" + user() +
                             "\": Permission denied."),
              std::string::npos)
        << err.str();
    EXPECT_EQ(err.str().find("Wr0ngPass"), std::string::npos);

    // Asked for up front when -U has none, then again after the server refused it.
    ScriptedTerminal person;
    person.answers = {"Wr0ngPass", password()};
    EXPECT_EQ(runWith(person, {"stats", "--server", server, "-U", user()}), 1);  // no database
    EXPECT_EQ(person.prompts,
              (std::vector<std::string>{"Password for " + user() + " on " + share + ": (hidden)",
                                        "Password for " + user() + " on " + share + ": (hidden)"}));
    EXPECT_EQ(err.str().find("refused"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("The database does not exist."), std::string::npos);
}

TEST_F(ServerModeCliTest, ServerModeStatsAndCommitWithEachWayOfGivingCredentials) {
    const std::string server = test::testServer();
    test::ShareFolder root(true);
    test::DatabaseBuilder db;
    db.addNode("PC1");
    db.addNode("PC2");
    db.addNode("OLD");
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
        {"Kavrin.cmp", db.nodeFile()},
        {"Kavrin.ist", db.installFile()},
        {"Kavrin.ttl", db.titleFile()}};
    for (const auto& [name, bytes] : files) {
        const std::span<const std::uint8_t> parts[] = {bytes};
        localFileSystem().writeFile(root.file(name), parts, false);
    }
    test::TempFolder home;
    std::ofstream(home.file("auth"))
        << "username = " << user() << "\npassword = " << password() << "\n";
    ScriptedTerminal nobody;
    nobody.isInteractive = false;

    ASSERT_EQ(runWith(nobody, {"stats", "--server", server, "-U", user() + "%" + password()}), 0)
        << err.str();
    EXPECT_NE(out.str().find("Total Nodes : 3\n"), std::string::npos) << out.str();
    ASSERT_EQ(
        runWith(nobody, {"commit", "-A", home.file("auth"), "--server", server, "--delete", "OLD"}),
        0)
        << err.str();
    EXPECT_NE(out.str().find("Total Nodes : 2\n"), std::string::npos) << out.str();
    EXPECT_NE(err.str().find("Saving : \\\\" + server + "\\Kavrin$\\Kavrin.cmp"),
              std::string::npos);
}

#ifndef _WIN32
// A server that takes its time: on a terminal the wait takes the progress line's place after a
// second, and the command goes on when the answer comes.
TEST_F(ServerModeCliTest, AWaitForTheServerIsOnTheProgressLine) {
    test::useTestCredentials();
    test::ShareFolder onShare;
    test::DatabaseBuilder db;
    db.addNode("PC1");
    db.write(localFileSystem(), onShare.path());
    test::ShareProxy proxy(test::testServer());
    proxy.delayReplies(std::chrono::seconds(2));
    const std::string relayed =
        "\\\\" + proxy.server() + onShare.path().substr(2 + test::testServer().size());
    ScriptedTerminal nobody;
    nobody.isInteractive = false;
    std::ostringstream terminal;
    ASSERT_EQ(cli::runCommandLine({"stats", relayed, "-U", user() + "%" + password()}, out,
                                  terminal, localFileSystem(), systemClock(), true, nobody),
              0)
        << terminal.str();
    EXPECT_NE(out.str().find("Total Nodes : 1\n"), std::string::npos) << out.str();
    const std::string wait = "\rWaiting for the server " + proxy.server() + " to answer";
    EXPECT_NE(terminal.str().find(wait), std::string::npos) << terminal.str();
    // Written over by what came after it.
    EXPECT_NE(terminal.str().find('\r', terminal.str().rfind(wait) + 1), std::string::npos);
}
#endif

#if defined(KAVRIN_CLI_PROGRAM) && !defined(_WIN32)
// What the shell command writes to its standard output.
std::string outputOf(const std::string& command) {
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
        output.append(buffer, got);
    }
    return output;
}
#endif

#if defined(KAVRIN_CLI_PROGRAM) && !defined(_WIN32)
// Standard output is a command's data: the library's diagnostics never reach it, not even when
// the user's client configuration asks for every one of them; -d sends them to standard error.
TEST_F(ServerModeCliTest, TheLibrarysDiagnosticsNeverReachStandardOutput) {
    test::useTestCredentials();
    test::ShareFolder onShare;
    test::DatabaseBuilder db;
    db.addNode("PC1");
    db.write(localFileSystem(), onShare.path());
    ScriptedTerminal nobody;
    nobody.isInteractive = false;
    ASSERT_EQ(runWith(nobody, {"stats", onShare.path(), "-U", user() + "%" + password()}), 0);
    const std::string data = out.str();

    test::TempFolder home;
    ASSERT_EQ(::mkdir(home.file(".smb").c_str(), 0700), 0);
    std::ofstream(home.file(".smb/smb.conf")) << "[global]\n   log level = 10\n";
    for (const std::string options : {"", " -d 3"}) {
        const std::string command = "HOME='" + home.path() + "' " + KAVRIN_CLI_PROGRAM +
                                    " stats '" + onShare.path() + "' -U " + user() + "%" +
                                    password() + options + " 2>'" + home.file("err") + "'";
        EXPECT_EQ(outputOf(command), data) << options;
        std::stringstream errors;
        errors << std::ifstream(home.file("err")).rdbuf();
        EXPECT_EQ(errors.str().find("Connecting to ") != std::string::npos, !options.empty())
            << errors.str().substr(0, 2000);
    }
}
#endif

#if defined(KAVRIN_CLI_PROGRAM) && defined(KAVRIN_HAS_SMB) && defined(__linux__)
// Samba's client library and the forty libraries it needs are mapped on the first share path, not
// at start: a local folder never loads them. The dynamic loader's own report (LD_DEBUG) names
// every library the program loads.
TEST(ShareLibraryTest, LoadedOnTheFirstSharePathOnly) {
    test::TempFolder local;
    test::DatabaseBuilder db;
    db.addNode("PC1");
    db.write(localFileSystem(), local.path());
    // Nothing listens on port 1: the share path fails at once, once the library is loaded.
    for (const auto& [folder, loaded] :
         {std::pair{local.path(), false}, std::pair{std::string("\\\\127.0.0.1:1\\x"), true}}) {
        const std::string command = "LD_DEBUG=files " + std::string(KAVRIN_CLI_PROGRAM) +
                                    " stats '" + folder + "' 2>&1 >/dev/null";
        const std::string report = outputOf(command);
        ASSERT_NE(report.find("file=libc.so.6"), std::string::npos) << report.substr(0, 2000);
        EXPECT_EQ(report.find("file=libsmbclient.so.0") != std::string::npos, loaded) << folder;
    }
}
#endif

}  // namespace
}  // namespace kavrin
