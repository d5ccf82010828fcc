#include "cli/Commands.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <ostream>
#include <string_view>

#include "cli/CommitRun.h"
#include "cli/ConsoleView.h"
#include "cli/Credentials.h"
#include "cli/JsonOutput.h"
#include "cli/Maintain.h"
#include "cli/ProtectCommand.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/check/DatabaseCheck.h"
#include "support/platform/Errors.h"
#include "support/platform/Memory.h"
#include "support/platform/SystemHelpers.h"
#include "support/smb/ShareAccess.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin::cli {

namespace {

void printLines(std::ostream& out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        out << line << '\n';
    }
}

// A node name comes from the database and may hold any byte: TAB, CR, LF and backslash are
// written as \t, \r, \n and \\, so that each name keeps its one line and its one column.
void writeName(std::ostream& out, std::string_view name) {
    for (std::size_t special; (special = name.find_first_of("\t\r\n\\")) != name.npos;) {
        out << name.substr(0, special) << '\\';
        const char c = name[special];
        out << (c == '\t' ? 't' : c == '\r' ? 'r' : c == '\n' ? 'n' : '\\');
        name.remove_prefix(special + 1);
    }
    out << name;
}

void printNodes(std::ostream& out, const NodeList& nodes, bool withMark) {
    for (const NodeEntry& entry : nodes.rows()) {
        writeName(out, ansiToUtf8(entry.caption));
        out << '\t' << IndexText(entry.data) << '\t' << FlagText(entry.active) << '\t'
            << FlagText(entry.unique);
        if (withMark) {
            out << '\t' << (entry.marked() ? "marked" : "live") << '\t';
            writeName(out, nodes.shownReason(entry));
        }
        out << '\n';
    }
}

// The totals of the preview, then each node it removes: name, offset (before any other offset
// on the line, which the reason may hold), user, last online, installs, reason.
// The nodes a protection rule kept follow, their reason saying so.
void printPreview(std::ostream& out, const CommitPreview& preview) {
    for (const std::string& line : previewTotalsLines(preview)) {
        out << line << '\n';
    }
    for (const auto* list : {&preview.removed, &preview.spared}) {
        for (const RemovedNode& node : *list) {
            writeName(out, node.name);
            out << '\t' << node.indexText << '\t';
            writeName(out, node.user);
            out << '\t' << IsoDateTimeText(node.lastOnline) << '\t' << node.installs << '\t';
            writeName(out, node.reason);
            out << '\n';
        }
    }
}

void printStats(std::ostream& out, Session& session) {
    printLines(out, session.view.lines(LineList::DBStats));
    out << session.view.health << '\n';
}

// The commands that only open and report: what `print` picks from the open database, as text
// or, with --json, what `json` makes of it.
using TextReport = void (*)(std::ostream& out, Session& session);
using JsonReport = Json (*)(const Session& session);
int openAndReport(const Invocation& invocation, const Console& console, TextReport print,
                  JsonReport json) {
    Session session(invocation.location, console);
    if (!session.open()) {
        return 1;
    }
    if (invocation.json) {
        printJson(console.out, json(session));
    } else {
        print(console.out, session);
    }
    return 0;
}

int runStats(const Invocation& invocation, const Console& console) {
    return openAndReport(invocation, console, printStats, statsJson);
}

int runNodes(const Invocation& invocation, const Console& console) {
    return openAndReport(
        invocation, console,
        [](std::ostream& out, Session& session) {
            printNodes(out, session.engine.nodeList(), false);
        },
        [](const Session& session) {
            return Json{{"nodes", nodeListJson(session.engine.nodeList(), false)}};
        });
}

int runDuplicates(const Invocation& invocation, const Console& console) {
    return openAndReport(
        invocation, console,
        [](std::ostream& out, Session& session) {
            for (const std::string& name : session.engine.duplicateNames()) {
                writeName(out, ansiToUtf8(name));
                out << '\n';
            }
        },
        [](const Session& session) {
            Json names = Json::array();
            for (const std::string& name : session.engine.duplicateNames()) {
                names.push_back(ansiToUtf8(name));
            }
            return Json{{"duplicates", std::move(names)}};
        });
}

int runDetails(const Invocation& invocation, const Console& console) {
    const std::string& node = invocation.operands.at(0);
    Session session(invocation.location, console);
    if (!session.open()) {
        return 1;
    }
    std::optional<std::size_t> row = session.findNode(node);
    if (!row) {
        console.err << "No node \"" << node << "\" in the database.\n";
        return 1;
    }
    session.view.selection = {*row};
    const std::uint32_t offset = session.engine.nodeList().row(*row).data;
    try {
        if (invocation.json) {
            printJson(console.out, nodeDetailsJson(session.engine, offset));
            return 0;
        }
        session.engine.ShowNodeDetails(ReadNodeRecord(session.engine.context().NodesMS, offset),
                                       offset);
    } catch (const std::exception& e) {
        console.err << e.what() << '\n';
        return 1;
    }
    printLines(console.out, session.view.lines(LineList::NodeStats));
    return 0;
}

int runMark(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    std::string message;
    if (!openAndMark(session, invocation, console.clock, console.err, message)) {
        return 1;
    }
    const NodeList& nodes = session.engine.nodeList();
    const std::optional<std::string> overLimit = removalLimitMessage(invocation, nodes);
    if (invocation.json) {
        Json document{{"nodes", nodeListJson(nodes, true)},
                      {"marked", nodes.markedCount()},
                      {"health", session.view.health}};
        if (invocation.maxRemove) {
            document["allowed"] = invocation.maxRemove->allowed(nodes.count());
            document["limitExceeded"] = overLimit.has_value();
        }
        printJson(console.out, document);
    } else {
        printNodes(console.out, nodes, true);
        console.out << session.view.health << '\n';
    }
    if (overLimit) {
        console.err << *overLimit << '\n';
        return kExitLimit;
    }
    return 0;
}

// A commit or a restore has run (a failure printed by the view as it came): the statistics of
// the files it left, opened again as the window does. One that could neither finish nor undo its
// replacement has an exit code of its own: the database needs an open to be whole again.
int reportRewritten(Session& session, const ReplaceResult& result, std::ostream& out) {
    if (result.outcome != ReplaceResult::Done) {
        return result.outcome == ReplaceResult::Unsettled ? kExitUnsettled : 1;
    }
    if (!session.open()) {
        return 1;
    }
    printStats(out, session);
    return 0;
}

// With --json: how the commit ended, what it removed and, when it was done, the statistics of
// the files it left; the preview of a dry run.
Json commitJson(const CommitRun& run, const Session& session) {
    Json document{{"outcome", outcomeName(run.outcome)},
                  {"message", run.message},
                  {"backupFolder", run.backupFolder},
                  {"nodesRemoved", run.nodesRemoved},
                  {"nodeRecordsRemoved", run.recordsRemoved[kNodeFile]},
                  {"installRecordsRemoved", run.recordsRemoved[kInstallFile]},
                  {"titleRecordsRemoved", run.recordsRemoved[kTitleFile]}};
    if (run.preview) {
        document["preview"] = previewJson(*run.preview);
    }
    if (run.outcome == CommitRun::Done) {
        document["stats"] = statsJson(session);
    }
    return document;
}

int runCommit(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    const CommitRun run = runCommitSteps(session, invocation, console);
    if (invocation.json) {
        printJson(console.out, commitJson(run, session));
    } else if (run.preview) {
        printPreview(console.out, *run.preview);
    } else if (run.outcome == CommitRun::Done) {
        printStats(console.out, session);
    }
    return run.exitCode();
}

int runRestore(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    if (!session.open()) {
        return 1;
    }
    const ReplaceResult result = session.engine.RestoreBackup(invocation.operands.at(0));
    return reportRewritten(session, result, console.out);
}

int runBackup(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    if (!session.open()) {
        return 1;
    }
    const BackupResult backup = session.engine.BackupDatabase();
    if (!backup.done) {
        console.err << backup.message << '\n';
        return 1;
    }
    console.out << backup.folder << '\n';
    return 0;
}

int runVerify(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    try {
        const VerifyReport report =
            verifyDatabase(console.fs, session.engine.ResolveDatabaseFolder());
        if (invocation.json) {
            printJson(console.out, verifyJson(report));
        } else {
            printLines(console.out, report.lines);
        }
        return report.problems == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        console.err << e.what() << '\n';
        return 1;
    }
}

int runGenerate(const Invocation& invocation, const Console& console) {
    const GeneratorOptions& o = invocation.generator;
    try {
        checkGeneratorOptions(o);
    } catch (const GeneratorOptionError& e) {
        throw UsageError{e.what()};
    }
    const std::string& folder = invocation.operands.at(0);
    try {
        const GeneratedDatabase db = generateDatabase(o);
        writeGeneratedDatabase(console.fs, folder, db);
        const GeneratedCounts& c = db.counts;
        console.out << "Generated " << folder << ": " << o.nodes << " node records ("
                    << c.nullRecords << " null, " << c.duplicates << " duplicate, " << c.inactive
                    << " inactive), " << std::uint64_t{o.nodes} * o.installsPerNode << " installs ("
                    << c.deadInstalls << " dead, " << c.danglingInstalls << " dangling), "
                    << o.titles << " titles (" << c.orphanedTitles << " orphaned)\n";
    } catch (const std::bad_alloc&) {
        console.err << "Out of memory while generating the database.\n";
        return 1;
    } catch (const std::exception& e) {
        console.err << e.what() << '\n';
        return 1;
    }
    return 0;
}

void addMarkOptions(CLI::App& command, Invocation& invocation) {
    addOrderOptions(command, invocation);
    addMarkingOptions(command, invocation);
    addLimitOptions(command, invocation);
    addJsonOption(command, invocation);
}

void addCommitOptions(CLI::App& command, Invocation& invocation) {
    addMarkOptions(command, invocation);
    // Listed with the command itself.
    addFlagOption(command, "", "--dry-run", "", [&invocation] { invocation.dryRun = true; });
}

// To add a command: an entry here and its run function above. Its own options go in its
// addOptions function; with takesLocation it reads LOCATION and the options of
// addLocationOptions.
const CommandSpec kCommands[] = {
    {.name = "stats",
     .synopsis = "stats LOCATION",
     .summary = "print the \"DB Stats\" lines, then the health text",
     .takesLocation = true,
     .addOptions = addJsonOption,
     .run = runStats},
    {.name = "nodes",
     .synopsis = "nodes LOCATION",
     .summary = "print the node list: name, index, active, unique (TAB-separated)",
     .takesLocation = true,
     .addOptions = addJsonOption,
     .run = runNodes},
    {.name = "duplicates",
     .synopsis = "duplicates LOCATION",
     .summary = "print the names listed as duplicates",
     .takesLocation = true,
     .addOptions = addJsonOption,
     .run = runDuplicates},
    {.name = "details",
     .synopsis = "details LOCATION NODE",
     .summary = "print the \"Node Stats\" lines of one node",
     .takesLocation = true,
     .operands = {"NODE"},
     .addOptions = addJsonOption,
     .run = runDetails},
    {.name = "mark",
     .synopsis = "mark LOCATION [ORDER] [MARKING]...",
     .summary = "mark nodes and print the node list with a fifth column\n"
                "\"marked\" or \"live\" and a sixth, why it is marked, then\n"
                "the health text; writes nothing",
     .takesLocation = true,
     .addOptions = addMarkOptions,
     .run = runMark},
    {.name = "commit",
     .synopsis = "commit LOCATION [ORDER] [MARKING]... [--dry-run]",
     .summary = "mark as \"mark\" does, then back up and rewrite the database\n"
                "without the marked nodes, check the files written and print\n"
                "the \"DB Stats\" lines of the rewritten database; with\n"
                "--dry-run print what a commit would write and remove\n"
                "instead, and the nodes it removes, one a line",
     .takesLocation = true,
     .addOptions = addCommitOptions,
     .run = runCommit},
    {.name = "verify",
     .synopsis = "verify LOCATION",
     .summary = "check the database without changing it and print what is\n"
                "wrong; exit code 1 when something is",
     .takesLocation = true,
     .addOptions = addJsonOption,
     .run = runVerify},
    {.name = "backup",
     .synopsis = "backup LOCATION",
     .summary = "back the database up into a new folder and print its path",
     .takesLocation = true,
     .run = runBackup},
    {.name = "restore",
     .synopsis = "restore LOCATION BACKUP",
     .summary = "put the files of backup folder BACKUP (a path, or a folder\n"
                "name in the database folder) back, backing the current files\n"
                "up first; print the \"DB Stats\" lines of the result",
     .takesLocation = true,
     .operands = {"BACKUP"},
     .run = runRestore},
    {.name = "protect",
     .synopsis = "protect LOCATION --add PATTERN [--reason TEXT] | --remove PATTERN | --list",
     .summary = "edit or list the database's protection rules (Kavrin.protect):\n"
                "nodes whose name matches a rule's PATTERN (* and ?, any case)\n"
                "are never marked; the file is replaced whole, never while a\n"
                "commit runs; --list prints PATTERN and REASON, TAB-separated",
     .takesLocation = true,
     .addOptions = addProtectOptions,
     .run = runProtect},
    {.name = "maintain",
     .synopsis = "maintain CONFIG [--report FILE] [--dry-run]",
     .summary = "commit every [[database]] of the TOML file CONFIG as its keys\n"
                "say, one after another, and print a line for each; --report\n"
                "writes a JSON report into FILE, --dry-run commits nothing",
     .operands = {"CONFIG"},
     .addOptions = addMaintainOptions,
     .run = runMaintain},
    {.name = "generate",
     .synopsis = "generate FOLDER [GENERATOR]...",
     .summary = "write a made-up database into FOLDER (created when\n"
                "missing, files there replaced) and print what it holds",
     .operands = {"FOLDER"},
     .addOptions = addGeneratorOptions,
     .run = runGenerate},
};

}  // namespace

std::span<const CommandSpec> commandTable() {
    return kCommands;
}

int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   FileSystem& fs, Clock& clock, bool progressLine, Terminal& terminal) {
    if (args.empty()) {
        err << usageText(kCommands);
        return 2;
    }
    if (args[0] == "help") {
        out << usageText(kCommands);
        return 0;
    }
    try {
        const std::optional<Invocation> invocation = parseCommandLine(args, kCommands);
        if (!invocation) {
            out << usageText(kCommands);
            return 0;
        }
        if (invocation->showVersion) {
            out << "kavrin-dbtool-cli " << FileVersionText(RunningProgramPath()) << '\n';
            return 0;
        }
        applyShareOptions(*invocation, terminal);
        return invocation->command->run(*invocation,
                                        Console{out, err, fs, clock, terminal, progressLine});
    } catch (const UsageError& usage) {
        err << usageErrorText(usage);
        return 2;
    }
}

}  // namespace kavrin::cli
