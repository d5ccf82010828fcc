#include "cli/Commands.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <ostream>
#include <string_view>

#include "cli/ConsoleView.h"
#include "cli/Credentials.h"
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

// An open database behind a console view.
class Session {
public:
    Session(const Location& location, const Console& console)
        : view(console.err, location.server, location.text, console.progressLine),
          engine(view, console.fs, console.clock) {
        setShareWaiting(
            [this](bool waiting, const std::string& text) { view.showWaiting(waiting, text); });
    }
    ~Session() { setShareWaiting({}); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the database; false (the view has printed the message) when it failed.
    bool open() { return engine.OpenDatabase().opened; }

    // The row named by NODE: a name, or 0x + hexadecimal BodyOffset.
    std::optional<std::size_t> findNode(const std::string& node) const {
        const NodeList& nodes = engine.nodeList();
        if (node.size() > 2 && (node[0] == '0') && (node[1] == 'x' || node[1] == 'X')) {
            char* end = nullptr;
            errno = 0;
            unsigned long long offset = std::strtoull(node.c_str() + 2, &end, 16);
            if (errno == 0 && end != nullptr && *end == '\0' && offset <= 0xFFFFFFFFull) {
                for (std::size_t i = 0; i < nodes.count(); ++i) {
                    if (nodes.row(i).data == offset) {
                        return i;
                    }
                }
                return std::nullopt;
            }
        }
        return nodes.findCaption(utf8ToAnsi(node), 0, true);
    }

    ConsoleView view;
    MaintenanceEngine engine;
};

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

// The commands that only open and report: what `print` picks from the open database.
int openAndReport(const Invocation& invocation, const Console& console,
                  void (*print)(std::ostream& out, Session& session)) {
    Session session(invocation.location, console);
    if (!session.open()) {
        return 1;
    }
    print(console.out, session);
    return 0;
}

int runStats(const Invocation& invocation, const Console& console) {
    return openAndReport(invocation, console, printStats);
}

int runNodes(const Invocation& invocation, const Console& console) {
    return openAndReport(invocation, console, [](std::ostream& out, Session& session) {
        printNodes(out, session.engine.nodeList(), false);
    });
}

int runDuplicates(const Invocation& invocation, const Console& console) {
    return openAndReport(invocation, console, [](std::ostream& out, Session& session) {
        for (const std::string& name : session.engine.duplicateNames()) {
            writeName(out, ansiToUtf8(name));
            out << '\n';
        }
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
        session.engine.ShowNodeDetails(ReadNodeRecord(session.engine.context().NodesMS, offset),
                                       offset);
    } catch (const std::exception& e) {
        console.err << e.what() << '\n';
        return 1;
    }
    printLines(console.out, session.view.lines(LineList::NodeStats));
    return 0;
}

// Opens the database (answering the offer to fix duplicates as asked), puts the list in the
// order asked for and applies the marking steps; false, with the message printed, when either
// failed.
bool openAndMark(Session& session, const Invocation& invocation, std::ostream& err) {
    session.view.fixDuplicatesAnswer = invocation.fixDuplicates ? Answer::Yes : Answer::No;
    session.engine.setRunProtection(invocation.protectPatterns);
    if (!session.open()) {
        return false;
    }
    // Marks made without the rules the administrators set are no marks to print or commit; the
    // open has logged why.
    if (!session.engine.protectionProblem().empty()) {
        return false;
    }
    if (invocation.sortColumn || invocation.descending) {
        session.engine.SortNodeList(invocation.sortColumn.value_or(session.engine.sortColumn()),
                                    invocation.descending);
    }
    try {
        for (const MarkStep& step : invocation.marking) {
            if (step.kind == MarkStep::OlderThan) {
                session.engine.MarkNodesOlderThan(step.date);
                continue;
            }
            std::optional<std::size_t> row = session.findNode(step.node);
            if (!row) {
                err << "No node \"" << step.node << "\" in the database.\n";
                return false;
            }
            session.view.selection = {*row};
            session.engine.MarkSelectedNodes(step.kind == MarkStep::Delete);
            session.view.selection.clear();
            // Refused (the view has said why): a protected node.
            if (step.kind == MarkStep::Delete && !session.engine.nodeList().row(*row).marked()) {
                return false;
            }
        }
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return false;
    }
    return true;
}

int runMark(const Invocation& invocation, const Console& console) {
    Session session(invocation.location, console);
    if (!openAndMark(session, invocation, console.err)) {
        return 1;
    }
    printNodes(console.out, session.engine.nodeList(), true);
    console.out << session.view.health << '\n';
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

int runCommit(const Invocation& invocation, const Console& console) {
    std::ostream& out = console.out;
    std::ostream& err = console.err;
    Session session(invocation.location, console);
    if (!openAndMark(session, invocation, err)) {
        return 1;
    }
    if (invocation.dryRun) {
        try {
            printPreview(out, session.engine.PreviewCommit());
            // Whether the commit would fit goes with the log, not the preview's data.
            const CommitMemory memory = session.engine.commitMemory();
            err << "Memory : the commit needs about " << megabytesText(memory.needed)
                << " besides the open database; ";
            if (memory.available.known) {
                err << "this program can be given " << megabytesText(memory.available.bytes)
                    << " (limited by " << memory.available.limitedBy << ")\n";
            } else {
                err << "what this program can be given cannot be told\n";
            }
        } catch (const std::exception& e) {
            err << e.what() << '\n';
            return 1;
        }
        return 0;
    }
    const ReplaceResult result = session.engine.CommitDatabase();
    return reportRewritten(session, result, out);
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
        printLines(console.out, report.lines);
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
     .run = runStats},
    {.name = "nodes",
     .synopsis = "nodes LOCATION",
     .summary = "print the node list: name, index, active, unique (TAB-separated)",
     .takesLocation = true,
     .run = runNodes},
    {.name = "duplicates",
     .synopsis = "duplicates LOCATION",
     .summary = "print the names listed as duplicates",
     .takesLocation = true,
     .run = runDuplicates},
    {.name = "details",
     .synopsis = "details LOCATION NODE",
     .summary = "print the \"Node Stats\" lines of one node",
     .takesLocation = true,
     .operands = {"NODE"},
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
    {.name = "generate",
     .synopsis = "generate FOLDER [GENERATOR]...",
     .summary = "write a made-up database into FOLDER (created when\n"
                "missing, files there replaced) and print what it holds",
     .operands = {"FOLDER"},
     .addOptions = addGeneratorOptions,
     .run = runGenerate},
};

// Who the command is on server shares, from its options: a password the command line left out
// is asked for on the terminal before the first share is reached, and a refusal asks again there,
// or ends the command when nobody can answer.
void applyShareOptions(const Invocation& invocation, Terminal& terminal) {
    ShareSettings settings;
    settings.credentials = invocation.credentials;
    settings.debugLevel = invocation.debugLevel;
    settings.prompt = terminalCredentialsPrompt(terminal);
    const ShareCredentials& given = invocation.credentials;
    if (invocation.location.server && !given.user.empty() && !invocation.passwordGiven &&
        !given.kerberos) {
        askCredentials(terminal, UncServerPrefix(invocation.location.text) + "\\Kavrin$",
                       settings.credentials);
    }
    setShareSettings(std::move(settings));
}

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
