#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "cli/ConsoleView.h"
#include "engine/MaintenanceEngine.h"

namespace kavrin::cli {

// The exit code of a commit the removal limit stopped (and of `mark` and `commit --dry-run`
// with marks beyond it): nothing was written.
constexpr int kExitLimit = 3;

// An open database behind a console view.
class Session {
public:
    Session(const Location& location, const Console& console);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the database; false (the view has printed the message) when it failed. The result
    // stays in `lastOpen`.
    bool open();

    // The row named by NODE: a name, or 0x + hexadecimal BodyOffset.
    std::optional<std::size_t> findNode(const std::string& node) const;

    ConsoleView view;
    MaintenanceEngine engine;
    OpenResult lastOpen;
};

// Opens the database (answering the offer to fix duplicates as asked), puts the list in the
// order asked for and applies the marking steps, the relative ones by `clock`; false when either
// failed, the message printed on `err` and kept in `message`.
bool openAndMark(Session& session, const Invocation& invocation, Clock& clock, std::ostream& err,
                 std::string& message);

// The message of marks beyond the invocation's --max-remove; nothing when there is no limit or
// the marks keep within it.
std::optional<std::string> removalLimitMessage(const Invocation& invocation, const NodeList& nodes);

// How a run of `commit` ended, with what scripts and the maintenance report read from it.
struct CommitRun {
    enum Outcome {
        Done,       // committed and checked; the session holds the files written, opened again
        Previewed,  // a dry run: `preview` says what a commit would write
        Limited,    // the marks went beyond --max-remove: nothing was written
        Failed,     // nothing committed, or the files written could not be opened again
        Unsettled,  // the commit could neither finish nor undo its replacement
    } outcome = Failed;
    std::string message;             // why it failed or stopped (already on standard error)
    std::string backupFolder;        // the backup the commit made, when it made one
    std::uint64_t nodesRemoved = 0;  // marked entries, removed or to be
    std::array<std::uint64_t, 3> recordsRemoved{};  // node, install and title records
    std::optional<CommitPreview> preview;           // of a dry run

    int exitCode() const;
};

// `commit` as the command runs it, every guarantee of the engine's commit included: the open,
// the order, the marks, the limit, then the preview (with `dryRun`) or the commit and the open of
// the files it left. Log lines and messages go to `console.err`; nothing goes to `console.out`.
CommitRun runCommitSteps(Session& session, const Invocation& invocation, const Console& console);

// Who the command is on server shares, from its options: a password the command line left out
// is asked for on the terminal before the first share is reached, and a refusal asks again there,
// or ends the command when nobody can answer.
void applyShareOptions(const Invocation& invocation, Terminal& terminal);

}  // namespace kavrin::cli
