#include "cli/CommitRun.h"

#include <cerrno>
#include <cstdlib>
#include <ostream>

#include "cli/Credentials.h"
#include "support/platform/Memory.h"
#include "support/platform/SystemHelpers.h"
#include "support/smb/ShareAccess.h"
#include "support/text/AnsiText.h"

namespace kavrin::cli {

Session::Session(const Location& location, const Console& console)
    : view(console.err, location.server, location.text, console.progressLine),
      engine(view, console.fs, console.clock) {
    setShareWaiting(
        [this](bool waiting, const std::string& text) { view.showWaiting(waiting, text); });
}

Session::~Session() {
    setShareWaiting({});
}

bool Session::open() {
    lastOpen = engine.OpenDatabase();
    return lastOpen.opened;
}

std::optional<std::size_t> Session::findNode(const std::string& node) const {
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

namespace {

// Why the open failed, with the file it could not read where its message does not name it: a
// report read later has no log beside it.
std::string openFailure(const OpenResult& open) {
    return open.unreadFile.empty() ? open.message : open.message + " (" + open.unreadFile + ")";
}

// A marking the engine refused and has said why (a protected node): the message is not printed
// again.
struct MarkingRefused {
    std::string message;
};

// Applies the marking steps in the order given; throws with the message of the first that fails.
void applyMarking(Session& session, const Invocation& invocation, Clock& clock) {
    for (const MarkStep& step : invocation.marking) {
        if (step.kind == MarkStep::OlderThan) {
            session.engine.MarkNodesOlderThan(step.date);
            continue;
        }
        if (step.kind == MarkStep::NotOnlineFor) {
            session.engine.MarkNodesOlderThan(notOnlineForDate(clock.now(), step.days));
            continue;
        }
        std::optional<std::size_t> row = session.findNode(step.node);
        if (!row) {
            throw std::runtime_error("No node \"" + step.node + "\" in the database.");
        }
        session.view.selection = {*row};
        session.engine.MarkSelectedNodes(step.kind == MarkStep::Delete);
        session.view.selection.clear();
        if (step.kind == MarkStep::Delete && !session.engine.nodeList().row(*row).marked()) {
            throw MarkingRefused{session.view.lastError};
        }
    }
}

}  // namespace

bool openAndMark(Session& session, const Invocation& invocation, Clock& clock, std::ostream& err,
                 std::string& message) {
    session.view.fixDuplicatesAnswer = invocation.fixDuplicates ? Answer::Yes : Answer::No;
    session.engine.setRunProtection(invocation.protectPatterns);
    if (!session.open()) {
        message = openFailure(session.lastOpen);
        return false;
    }
    // Marks made without the rules the administrators set are no marks to print or commit; the
    // open has logged why.
    if (!session.engine.protectionProblem().empty()) {
        message = session.engine.protectionProblem();
        return false;
    }
    if (invocation.sortColumn || invocation.descending) {
        session.engine.SortNodeList(invocation.sortColumn.value_or(session.engine.sortColumn()),
                                    invocation.descending);
    }
    try {
        applyMarking(session, invocation, clock);
    } catch (const MarkingRefused& refused) {
        message = refused.message;
        return false;
    } catch (const std::exception& e) {
        message = e.what();
        err << message << '\n';
        return false;
    }
    return true;
}

std::optional<std::string> removalLimitMessage(const Invocation& invocation,
                                               const NodeList& nodes) {
    if (!invocation.maxRemove) {
        return std::nullopt;
    }
    const std::uint64_t marked = nodes.markedCount();
    const std::uint64_t allowed = invocation.maxRemove->allowed(nodes.count());
    if (marked <= allowed) {
        return std::nullopt;
    }
    return "The marks would remove " + std::to_string(marked) + " of " +
           std::to_string(nodes.count()) + " nodes, more than the limit of " +
           std::to_string(allowed) + "; nothing was written.";
}

int CommitRun::exitCode() const {
    switch (outcome) {
        case Done:
        case Previewed:
            return 0;
        case Limited:
            return kExitLimit;
        case Unsettled:
            return 4;
        case Failed:
            break;
    }
    return 1;
}

namespace {

// The preview of a dry run, and whether the commit would fit in memory, which goes with the log.
void previewCommit(Session& session, CommitRun& run, std::ostream& err) {
    run.preview = session.engine.PreviewCommit();
    for (std::size_t file = 0; file < 3; ++file) {
        run.recordsRemoved[file] =
            run.preview->before[file].records - run.preview->after[file].records;
    }
    const CommitMemory memory = session.engine.commitMemory();
    err << "Memory : the commit needs about " << megabytesText(memory.needed)
        << " besides the open database; ";
    if (memory.available.known) {
        err << "this program can be given " << megabytesText(memory.available.bytes)
            << " (limited by " << memory.available.limitedBy << ")\n";
    } else {
        err << "what this program can be given cannot be told\n";
    }
}

// The commit itself; on success the files it left, opened again, give what it removed.
void commit(Session& session, CommitRun& run) {
    const OpenResult before = session.lastOpen;
    const ReplaceResult result = session.engine.CommitDatabase();
    run.backupFolder = result.backupFolder;
    run.message = result.message;
    if (result.outcome != ReplaceResult::Done) {
        run.outcome =
            result.outcome == ReplaceResult::Unsettled ? CommitRun::Unsettled : CommitRun::Failed;
        return;
    }
    if (!session.open()) {
        run.message = openFailure(session.lastOpen);
        return;
    }
    const OpenResult& after = session.lastOpen;
    run.recordsRemoved = {before.nodeRecords - after.nodeRecords,
                          before.installRecords - after.installRecords,
                          before.titleRecords - after.titleRecords};
    run.outcome = CommitRun::Done;
}

}  // namespace

CommitRun runCommitSteps(Session& session, const Invocation& invocation, const Console& console) {
    CommitRun run;
    if (!openAndMark(session, invocation, console.clock, console.err, run.message)) {
        return run;
    }
    const std::optional<std::string> overLimit =
        removalLimitMessage(invocation, session.engine.nodeList());
    // What a limit stopped removes nothing, and says how many it would have in its message.
    run.nodesRemoved = overLimit ? 0 : session.engine.nodeList().markedCount();
    if (invocation.dryRun) {
        try {
            previewCommit(session, run, console.err);
        } catch (const std::exception& e) {
            run.message = e.what();
            console.err << run.message << '\n';
            return run;
        }
        run.outcome = CommitRun::Previewed;
    }
    if (overLimit) {
        run.outcome = CommitRun::Limited;
        run.recordsRemoved = {};
        run.message = *overLimit;
        console.err << run.message << '\n';
        return run;
    }
    if (!invocation.dryRun) {
        commit(session, run);
    }
    return run;
}

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

}  // namespace kavrin::cli
