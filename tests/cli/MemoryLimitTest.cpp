// A commit that needs more memory than the process may have is refused before it writes anything,
// instead of being ended by the system half way; one that fits runs. The limit is the address
// space limit (prlimit --as), on the program itself as a child process.
#include <gtest/gtest.h>

#if defined(KAVRIN_CLI_PROGRAM) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/TempFolder.h"
#include "support/fs/FileSystem.h"

namespace kavrin {
namespace {

#if defined(KAVRIN_CLI_PROGRAM) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

// The program with `arguments` under an address space limit of `limit` bytes (0: none).
Outcome runProgram(const test::TempFolder& scratch, std::uint64_t limit,
                   const std::string& arguments) {
    const std::string errFile = scratch.file("err");
    const std::string command = (limit > 0 ? "prlimit --as=" + std::to_string(limit) + " " : "") +
                                KAVRIN_CLI_PROGRAM + " " + arguments + " 2>'" + errFile + "'";
    Outcome run;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run.out.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream err;
    err << std::ifstream(errFile).rdbuf();
    run.err = err.str();
    return run;
}

// The whole number of megabytes after `label` in `text`; 0 when it is not there.
std::uint64_t megabytesAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
}

// Every file below `folder` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    FileSystem& fs = localFileSystem();
    for (const std::string& name : fs.listDirectory(folder)) {
        const std::string path = folder + "/" + name;
        if (fs.status(path).isDirectory) {
            files[name + "/"] = "";
            continue;
        }
        const FileBytes bytes = fs.readFile(path);
        files[name] = std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
    }
    return files;
}

TEST(CommitMemoryLimitTest, ACommitWithinTheLimitRunsAndOneBeyondItWritesNothing) {
    if (::access("/usr/bin/prlimit", X_OK) != 0) {
        GTEST_SKIP() << "no prlimit here";
    }
    test::TempFolder scratch;
    const std::string db = scratch.file("db");
    ASSERT_EQ(runProgram(scratch, 0,
                         "generate '" + db +
                             "' --nodes 2000 --installs-per-node 200 --titles 500 --seed 5")
                  .exit,
              0);
    const std::string commit = "commit '" + db + "' --older-than 2024-01-01";

    // Under a known limit the dry run tells what the commit needs and what the limit leaves:
    // where the process stands when the commit starts.
    constexpr std::uint64_t kMegabyte = 1000 * 1000;
    constexpr std::uint64_t kProbe = 2000 * kMegabyte;
    const Outcome dry = runProgram(scratch, kProbe, commit + " --dry-run");
    ASSERT_EQ(dry.exit, 0) << dry.err;
    if (dry.err.find("(limited by its address space limit") == std::string::npos) {
        GTEST_SKIP() << "another bound is lower here: " << dry.err;
    }
    const std::uint64_t needed = megabytesAfter(dry.err, "the commit needs about ") * kMegabyte;
    const std::uint64_t mapped =
        kProbe - megabytesAfter(dry.err, "this program can be given ") * kMegabyte;
    ASSERT_GT(needed, 0u) << dry.err;
    constexpr std::uint64_t kMargin = 8 * kMegabyte;

    const auto before = snapshot(db);
    const Outcome refused = runProgram(scratch, mapped + needed - kMargin, commit);
    EXPECT_EQ(refused.exit, 1);
    EXPECT_NE(refused.err.find("Not enough memory for the commit: it needs about "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("Nothing was written."), std::string::npos);
    EXPECT_EQ(snapshot(db), before);  // no backup folder, no claim, the files as they were

    const Outcome done = runProgram(scratch, mapped + needed + kMargin, commit);
    EXPECT_EQ(done.exit, 0) << done.err;
    EXPECT_NE(done.err.find("Checked : the files in place are the files written"),
              std::string::npos)
        << done.err;
    EXPECT_NE(done.out.find("Total Nodes : "), std::string::npos);
}

#endif

}  // namespace
}  // namespace kavrin
