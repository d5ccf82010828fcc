#include "cli/Maintain.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <ostream>

#include "cli/CommitRun.h"
#include "cli/Credentials.h"
#include "cli/JsonOutput.h"
#include "cli/MaintainConfig.h"
#include "support/fs/ReplaceFile.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/DateTimeText.h"

namespace kavrin::cli {

namespace {

// How one database of the configuration went.
struct DatabaseOutcome {
    std::string location;
    CommitRun run;
    double seconds = 0;
};

std::string locationText(const Location& location) {
    return location.server ? UncServerPrefix(location.text) + "\\Kavrin$" : location.text;
}

// The credentials of a database's keys, as -A, -U and -W in that order would give them.
void applyCredentials(const MaintainDatabase& database, Invocation& invocation, FileSystem& fs) {
    if (database.authenticationFile) {
        const FileBytes file = fs.readFile(*database.authenticationFile);
        const std::string text(reinterpret_cast<const char*>(file.data.get()), file.size);
        invocation.passwordGiven =
            parseAuthenticationFile(text, invocation.credentials) || invocation.passwordGiven;
    }
    if (database.user) {
        invocation.passwordGiven =
            parseUserArgument(*database.user, invocation.credentials) || invocation.passwordGiven;
    }
    if (database.workgroup) {
        invocation.credentials.domain = *database.workgroup;
    }
}

// Runs one database as `commit` would; whatever goes wrong ends this database alone.
DatabaseOutcome maintainDatabase(const MaintainDatabase& database, bool dryRun,
                                 const Console& console) {
    const auto started = std::chrono::steady_clock::now();
    Invocation invocation = database.invocation;
    invocation.dryRun = invocation.dryRun || dryRun;
    DatabaseOutcome outcome{locationText(invocation.location), {}, 0};
    try {
        applyCredentials(database, invocation, console.fs);
        applyShareOptions(invocation, console.terminal);
        Session session(invocation.location, console);
        outcome.run = runCommitSteps(session, invocation, console);
        outcome.run.preview.reset();  // the report tells the totals only
    } catch (const std::bad_alloc&) {
        outcome.run.message = "Out of memory.";
        console.err << outcome.run.message << '\n';
    } catch (const std::exception& e) {
        outcome.run.message = e.what();
        console.err << outcome.run.message << '\n';
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return outcome;
}

// A message on one line: the system's messages break lines (CR LF) between their parts.
std::string oneLine(const std::string& message) {
    std::string line;
    for (const char c : message) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ') {
                line += ' ';
            }
        } else {
            line += c;
        }
    }
    return line;
}

// "LOCATION : OUTCOME : what was removed or why not (S s)".
void printSummary(std::ostream& out, const DatabaseOutcome& outcome) {
    const CommitRun& run = outcome.run;
    out << outcome.location << " : " << outcomeName(run.outcome) << " : ";
    if (run.outcome == CommitRun::Done || run.outcome == CommitRun::Previewed) {
        out << run.nodesRemoved << " nodes, " << run.recordsRemoved[kInstallFile] << " installs, "
            << run.recordsRemoved[kTitleFile] << " titles "
            << (run.outcome == CommitRun::Done ? "removed" : "to remove");
        if (!run.backupFolder.empty()) {
            out << ", backup " << run.backupFolder;
        }
    } else {
        out << oneLine(run.message);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", outcome.seconds);
    out << " (" << seconds << " s)\n";
}

// 0 when every database went through, 3 when a limit stopped one and none failed, 1 otherwise.
int exitCode(const std::vector<DatabaseOutcome>& outcomes) {
    int code = 0;
    for (const DatabaseOutcome& outcome : outcomes) {
        const int one = outcome.run.exitCode();
        if (one == kExitLimit && code == 0) {
            code = kExitLimit;
        } else if (one != 0 && one != kExitLimit) {
            code = 1;
        }
    }
    return code;
}

Json reportJson(const std::vector<DatabaseOutcome>& outcomes, int code, Clock& clock) {
    Json databases = Json::array();
    for (const DatabaseOutcome& outcome : outcomes) {
        const CommitRun& run = outcome.run;
        databases.push_back(Json{
            {"location", outcome.location},
            {"outcome", outcomeName(run.outcome)},
            {"nodesRemoved", run.nodesRemoved},
            {"installsRemoved", run.recordsRemoved[kInstallFile]},
            {"titlesRemoved", run.recordsRemoved[kTitleFile]},
            {"nodeRecordsRemoved", run.recordsRemoved[kNodeFile]},
            {"backupFolder", run.backupFolder.empty() ? Json(nullptr) : Json(run.backupFolder)},
            {"message", run.message},
            {"seconds", outcome.seconds}});
    }
    return Json{{"finished", IsoDateTimeText(toDateTimeValue(clock.now()))},
                {"exitCode", code},
                {"databases", std::move(databases)}};
}

// The report replaces the last one whole: a monitor never reads half of it.
void writeReport(FileSystem& fs, const std::string& path, const std::string& text) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    const std::span<const std::uint8_t> parts[] = {bytes};
    replaceFile(fs, path + ".new", path, parts);
}

}  // namespace

int runMaintain(const Invocation& invocation, const Console& console) {
    const std::string& path = invocation.operands.at(0);
    std::vector<MaintainDatabase> databases;
    try {
        FileBytes file;
        try {
            file = console.fs.readFile(path);
        } catch (const std::exception& e) {
            throw ConfigError{path + ": " + e.what()};
        }
        databases = parseMaintainConfig(
            path, std::string(reinterpret_cast<const char*>(file.data.get()), file.size));
    } catch (const ConfigError& error) {
        console.err << "kavrin-dbtool-cli: " << error.message << '\n';
        return 2;
    }
    std::vector<DatabaseOutcome> outcomes;
    for (const MaintainDatabase& database : databases) {
        outcomes.push_back(maintainDatabase(database, invocation.dryRun, console));
        if (!invocation.json) {
            printSummary(console.out, outcomes.back());
        }
    }
    int code = exitCode(outcomes);
    const Json report = reportJson(outcomes, code, console.clock);
    if (!invocation.reportPath.empty()) {
        try {
            writeReport(console.fs, invocation.reportPath,
                        report.dump(2, ' ', false, Json::error_handler_t::replace) + '\n');
        } catch (const std::exception& e) {
            console.err << e.what() << '\n';
            code = 1;
        }
    }
    if (invocation.json) {
        printJson(console.out, report);
    }
    return code;
}

void addMaintainOptions(CLI::App& command, Invocation& invocation) {
    addValueOption(command, "", "--report", "FILE", "",
                   [&invocation](const std::string& file) { invocation.reportPath = file; });
    addFlagOption(command, "", "--dry-run", "", [&invocation] { invocation.dryRun = true; });
    addJsonOption(command, invocation);
}

}  // namespace kavrin::cli
