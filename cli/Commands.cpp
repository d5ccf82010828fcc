#include "cli/Commands.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <ostream>

#include "cli/ConsoleView.h"
#include "cli/Generator.h"
#include "dbformat/Layout.h"
#include "engine/Compaction.h"
#include "engine/MaintenanceEngine.h"
#include "support/AnsiText.h"
#include "support/DateTimeText.h"
#include "support/Errors.h"

namespace kavrin::cli {

namespace {

constexpr const char* kUsage =
    "Usage: kavrin-dbtool-cli COMMAND LOCATION [OPTIONS]\n"
    "\n"
    "LOCATION is a database folder, or --server NAME for the Kavrin$ share of a server.\n"
    "\n"
    "Commands:\n"
    "  stats LOCATION              print the \"DB Stats\" lines, then the health text\n"
    "  nodes LOCATION              print the node list: name, index, active, unique "
    "(TAB-separated)\n"
    "  duplicates LOCATION         print the names listed as duplicates\n"
    "  details LOCATION NODE       print the \"Node Stats\" lines of one node\n"
    "  mark LOCATION [MARKING]...  mark nodes and print the node list with a fifth column\n"
    "                              \"marked\" or \"live\", then the health text; writes nothing\n"
    "  commit LOCATION [MARKING]... [--dry-run]\n"
    "                              mark as \"mark\" does, then back up and rewrite the database\n"
    "                              without the marked nodes and print the \"DB Stats\" lines of\n"
    "                              the rewritten database; with --dry-run only print how many\n"
    "                              nodes, installs and titles a commit would write\n"
    "  generate FOLDER [GENERATOR]...  write a made-up database into FOLDER (created when\n"
    "                              missing, files there replaced) and print what it holds\n"
    "\n"
    "NODE is a node name (the first entry of that name, without regard to case) or a body\n"
    "offset written 0x followed by hexadecimal digits.\n"
    "\n"
    "MARKING options, applied in the order given (the duplicates fix first):\n"
    "  --fix-duplicates            answer Yes when the open offers to fix duplicates\n"
    "  --older-than DATE           mark every node last online before DATE\n"
    "                              (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, local time)\n"
    "  --delete NODE               mark one node\n"
    "  --undelete NODE             unmark one node\n"
    "\n"
    "GENERATOR options (the same options always give the same bytes):\n"
    "  --nodes N                   node records, NullRecords included (default 1000)\n"
    "  --installs-per-node K       installs per node record on average (default 20)\n"
    "  --titles T                  title records (default 500)\n"
    "  --seed S                    seed of the generator (default 1)\n"
    "  --duplicate-rate R          share of named nodes repeating an earlier name (0.02)\n"
    "  --null-rate R               share of node records that are empty slots (0.01)\n"
    "  --inactive-rate R           share of named nodes that are inactive (0.1)\n"
    "  --dead-install-rate R       share of installs that are not live (0.05)\n"
    "  --dangling-rate R           share of installs naming no node or no title (0.002)\n"
    "\n"
    "Log lines go to standard error. Exit code 0 on success, 1 when the work failed, 2 on a\n"
    "wrong command line.\n";

struct UsageError {
    std::string message;
};

struct Location {
    bool server = false;
    std::string text;
};

// Reads LOCATION at args[i]; moves i past it.
Location takeLocation(const std::vector<std::string>& args, std::size_t& i) {
    if (i >= args.size()) {
        throw UsageError{"missing LOCATION"};
    }
    if (args[i] == "--server") {
        if (i + 1 >= args.size()) {
            throw UsageError{"--server needs a server name"};
        }
        Location location{true, args[i + 1]};
        i += 2;
        return location;
    }
    return Location{false, args[i++]};
}

// An open database behind a console view.
class Session {
public:
    Session(const Location& location, std::ostream& err, FileSystem& fs, Clock& clock)
        : view(err, location.server, location.text), engine(view, fs, clock), m_err(err) {}

    // Opens the database; false (the message printed) when it failed.
    bool open() {
        engine.OpenDatabase();
        if (!engine.context().IsOpen) {
            reportErrors();
            return false;
        }
        return true;
    }

    void reportErrors() {
        for (const std::string& error : view.errors) {
            m_err << error << '\n';
        }
        view.errors.clear();
    }

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

private:
    std::ostream& m_err;
};

void printLines(std::ostream& out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        out << line << '\n';
    }
}

void printNodes(std::ostream& out, const NodeList& nodes, bool withMark) {
    for (const NodeEntry& entry : nodes.rows()) {
        out << ansiToUtf8(entry.caption) << '\t' << entry.subItems[kIndexText] << '\t'
            << entry.subItems[kActiveText] << '\t' << entry.subItems[kUniqueText];
        if (withMark) {
            out << '\t' << (entry.marked() ? "marked" : "live");
        }
        out << '\n';
    }
}

void expectNoMore(const std::vector<std::string>& args, std::size_t i) {
    if (i < args.size()) {
        throw UsageError{"unexpected argument '" + args[i] + "'"};
    }
}

// The commands that take LOCATION alone: open, then print what `print` picks from the session.
int runReport(const std::vector<std::string>& args, std::ostream& err, FileSystem& fs, Clock& clock,
              const std::function<void(Session&)>& print) {
    std::size_t i = 1;
    Location location = takeLocation(args, i);
    expectNoMore(args, i);
    Session session(location, err, fs, clock);
    if (!session.open()) {
        return 1;
    }
    print(session);
    return 0;
}

void printStats(std::ostream& out, Session& session) {
    printLines(out, session.view.lines(LineList::DBStats));
    out << session.view.health << '\n';
}

int runDetails(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               FileSystem& fs, Clock& clock) {
    std::size_t i = 1;
    Location location = takeLocation(args, i);
    if (i >= args.size()) {
        throw UsageError{"details needs a NODE"};
    }
    const std::string node = args[i++];
    expectNoMore(args, i);
    Session session(location, err, fs, clock);
    if (!session.open()) {
        return 1;
    }
    std::optional<std::size_t> row = session.findNode(node);
    if (!row) {
        err << "No node \"" << node << "\" in the database.\n";
        return 1;
    }
    session.view.selection = {*row};
    const std::uint32_t offset = session.engine.nodeList().row(*row).data;
    try {
        session.engine.ShowNodeDetails(ReadNodeRecord(session.engine.context().NodesMS, offset),
                                       offset);
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return 1;
    }
    printLines(out, session.view.lines(LineList::NodeStats));
    return 0;
}

// One marking step of the command line, applied after the open.
struct MarkStep {
    enum Kind { OlderThan, Delete, Undelete } kind;
    std::string argument;
    double date = 0;
};

// The marking options of `mark` and `commit`, in the order given.
struct Marking {
    bool fixDuplicates = false;
    bool dryRun = false;
    std::vector<MarkStep> steps;
};

// Reads marking options from args[i] on; `allowDryRun` admits --dry-run.
Marking takeMarking(const std::vector<std::string>& args, std::size_t i, bool allowDryRun) {
    Marking marking;
    while (i < args.size()) {
        const std::string& option = args[i++];
        if (option == "--fix-duplicates") {
            marking.fixDuplicates = true;
            continue;
        }
        if (allowDryRun && option == "--dry-run") {
            marking.dryRun = true;
            continue;
        }
        if (option != "--older-than" && option != "--delete" && option != "--undelete") {
            throw UsageError{"unknown option '" + option + "'"};
        }
        if (i >= args.size()) {
            throw UsageError{option + " needs a value"};
        }
        MarkStep step{option == "--older-than" ? MarkStep::OlderThan
                      : option == "--delete"   ? MarkStep::Delete
                                               : MarkStep::Undelete,
                      args[i++]};
        if (step.kind == MarkStep::OlderThan) {
            std::optional<double> date = parseDateArgument(step.argument);
            if (!date) {
                throw UsageError{"DATE must be YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, not '" +
                                 step.argument + "'"};
            }
            step.date = *date;
        }
        marking.steps.push_back(std::move(step));
    }
    return marking;
}

// Opens the database (answering the offer to fix duplicates as asked) and applies the steps;
// false, with the message printed, when either failed.
bool openAndMark(Session& session, const Marking& marking, std::ostream& err) {
    session.view.fixDuplicatesAnswer = marking.fixDuplicates ? Answer::Yes : Answer::No;
    if (!session.open()) {
        return false;
    }
    try {
        for (const MarkStep& step : marking.steps) {
            if (step.kind == MarkStep::OlderThan) {
                session.engine.MarkNodesOlderThan(step.date);
                continue;
            }
            std::optional<std::size_t> row = session.findNode(step.argument);
            if (!row) {
                err << "No node \"" << step.argument << "\" in the database.\n";
                return false;
            }
            session.view.selection = {*row};
            session.engine.MarkSelectedNodes(step.kind == MarkStep::Delete);
            session.view.selection.clear();
        }
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return false;
    }
    return true;
}

int runMark(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            FileSystem& fs, Clock& clock) {
    std::size_t i = 1;
    Location location = takeLocation(args, i);
    const Marking marking = takeMarking(args, i, false);
    Session session(location, err, fs, clock);
    if (!openAndMark(session, marking, err)) {
        return 1;
    }
    printNodes(out, session.engine.nodeList(), true);
    out << session.view.health << '\n';
    return 0;
}

// Counts nothing per call: a dry run has no window to keep alive.
class SilentReporter final : public CompactionReporter {
public:
    void setPosition(int) override {}
    void pump() override {}
    void titlePassStarting() override {}
};

int runCommit(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              FileSystem& fs, Clock& clock) {
    std::size_t i = 1;
    Location location = takeLocation(args, i);
    const Marking marking = takeMarking(args, i, true);
    Session session(location, err, fs, clock);
    if (!openAndMark(session, marking, err)) {
        return 1;
    }
    if (marking.dryRun) {
        // The bodies a commit would write, built in memory; nothing on disk changes.
        std::vector<CompactionEntry> entries;
        for (const NodeEntry& entry : session.engine.nodeList().rows()) {
            entries.push_back({entry.data, entry.marked()});
        }
        const DatabaseContext& ctx = session.engine.context();
        SilentReporter reporter;
        try {
            const CompactedBodies bodies = compactBodies(ctx.NodesMS.span(), ctx.InstallsMS.span(),
                                                         ctx.TitlesMS.span(), entries, reporter);
            out << "Nodes written : " << RecordCount(bodies.NewNodesMS, node::kSize) << '\n'
                << "Installs written : " << RecordCount(bodies.NewInstallsMS, install::kSize)
                << '\n'
                << "Titles written : " << RecordCount(bodies.NewTitlesMS, title::kSize) << '\n';
        } catch (const std::exception& e) {
            err << e.what() << '\n';
            return 1;
        }
        return 0;
    }
    session.engine.CommitDatabase();
    if (!session.view.errors.empty()) {
        session.reportErrors();
        return 1;
    }
    // As the window does after a commit: open the rewritten files and show what they hold.
    if (!session.open()) {
        return 1;
    }
    printStats(out, session);
    return 0;
}

int runGenerate(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                FileSystem& fs) {
    GenerateArguments parsed;
    try {
        parsed = parseGenerateArguments({args.begin() + 1, args.end()});
    } catch (const GeneratorOptionError& e) {
        throw UsageError{e.what()};
    }
    const GeneratorOptions& o = parsed.options;
    try {
        const GeneratedDatabase db = generateDatabase(o);
        writeGeneratedDatabase(fs, parsed.folder, db);
        const GeneratedCounts& c = db.counts;
        out << "Generated " << parsed.folder << ": " << o.nodes << " node records ("
            << c.nullRecords << " null, " << c.duplicates << " duplicate, " << c.inactive
            << " inactive), " << std::uint64_t{o.nodes} * o.installsPerNode << " installs ("
            << c.deadInstalls << " dead, " << c.danglingInstalls << " dangling), " << o.titles
            << " titles (" << c.orphanedTitles << " orphaned)\n";
    } catch (const std::bad_alloc&) {
        err << "Out of memory while generating the database.\n";
        return 1;
    } catch (const std::exception& e) {
        err << e.what() << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

std::optional<double> parseDateArgument(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char rest = 0;
    bool ok = false;
    if (text.size() == 10) {
        ok = std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &rest) == 3;
    } else if (text.size() == 19) {
        ok = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                         &minute, &second, &rest) == 6;
    }
    if (!ok || year < 1 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59 || hour < 0 || minute < 0 || second < 0) {
        return std::nullopt;
    }
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0)) {
        return std::nullopt;
    }
    return encodeDateTime(year, month, day, hour, minute, second);
}

int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   FileSystem& fs, Clock& clock) {
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return 0;
    }
    try {
        if (command == "stats") {
            return runReport(args, err, fs, clock, [&](Session& s) { printStats(out, s); });
        }
        if (command == "nodes") {
            return runReport(args, err, fs, clock,
                             [&](Session& s) { printNodes(out, s.engine.nodeList(), false); });
        }
        if (command == "duplicates") {
            return runReport(args, err, fs, clock, [&](Session& s) {
                printLines(out, s.view.lines(LineList::Duplicates));
            });
        }
        if (command == "details") {
            return runDetails(args, out, err, fs, clock);
        }
        if (command == "mark") {
            return runMark(args, out, err, fs, clock);
        }
        if (command == "commit") {
            return runCommit(args, out, err, fs, clock);
        }
        if (command == "generate") {
            return runGenerate(args, out, err, fs);
        }
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const UsageError& usage) {
        err << "kavrin-dbtool-cli: " << usage.message << "\n\n" << kUsage;
        return 2;
    }
}

}  // namespace kavrin::cli
