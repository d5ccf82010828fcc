#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbformat/ClaimFormat.h"
#include "dbformat/DatabaseFile.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"

namespace kavrin {

// One commit at a time per database. A commit holds the claim file Kavrin.claim in the database
// folder from before its check for changes until its journal is gone: created exclusively, so
// that of two commits (two windows, a window and a scheduled command line, two computers on the
// share) exactly one gets it, and held, where the file system can tell, so that a claim whose
// holder died is known for one. The claim names its holder: computer, process and time.
//
// Whose claim is in the way:
// - held by a running process (the lock says so, or the same computer still runs that process):
//   a commit is running; refused;
// - left by a process that ended (the lock is no longer held, or the same computer runs no such
//   process; a claim nobody holds that cannot be read, too), or by a commit of this process that
//   could not remove it: taken over, with a log line;
// - of another computer, or on a share that cannot tell, and older than an hour: refused, saying
//   how to clear it, since nothing here can tell whether that commit still runs;
// - unreadable: held, a commit is starting and still writing it; on a share that cannot tell,
//   possibly so: looked at again a few times, then refused (saying how to clear it on a share).

// How long a claim this computer cannot judge counts as a commit in progress; after that the
// refusal says how to clear it. A commit takes seconds to minutes.
constexpr double kClaimAgeLimitDays = 1.0 / 24.0;  // an hour
constexpr const char* kClaimAgeLimitText = "an hour";

// What is found at a database folder's claim.
struct ClaimFinding {
    enum Kind {
        None,        // no claim
        Ended,       // left by a holder that ended: may be taken over
        Running,     // a commit is running
        Abandoned,   // cannot be judged, and older than the limit
        Unreadable,  // cannot be read, and possibly held
    } kind = None;
    std::string path;
    std::string holder;  // "computer X, process P, since T"; the reason it cannot be read
    std::string ended;   // why it counts as ended, for the log
    std::vector<std::uint8_t> bytes;
    // Its content is no claim: being written right now, or cut short by a crash.
    bool unreadable = false;
};

// Looks at the claim of `folder` without changing anything. Never throws for what it finds; a
// claim that cannot be read is Unreadable (or Ended when no process holds it).
ClaimFinding inspectClaim(FileSystem& fs, Clock& clock, const std::string& folder);

// The text that refuses to go on because of `finding` (Running, Abandoned or Unreadable), ending
// with what was left undone (`outcome`, for example "Nothing was written.").
std::string claimRefusal(const ClaimFinding& finding, const std::string& outcome);

// The claim a commit holds; release() ends it.
class CommitClaim {
public:
    // Takes the claim on `folder` for this process, taking over a claim left by a holder that
    // ended (logged). Throws KavrinError with claimRefusal's text ("Nothing was written.") when
    // another holds it, or the file layer's message when the claim cannot be created.
    static CommitClaim take(FileSystem& fs, LogSink& log, Clock& clock, const std::string& folder);
    // The same, but a claim another holds is no error: returns nothing and tells in `refusedBy`
    // what was found (Running, Abandoned or Unreadable).
    static std::optional<CommitClaim> tryTake(FileSystem& fs, LogSink& log, Clock& clock,
                                              const std::string& folder, ClaimFinding& refusedBy);

    CommitClaim(CommitClaim&&) = default;
    CommitClaim& operator=(CommitClaim&&) = delete;
    // Without release(), the hold ends and the file stays, as when the process dies.
    ~CommitClaim();

    // Removes the claim file, then ends the hold. A removal that fails is logged, not thrown:
    // the file stays, held by nobody, and the next commit on this computer takes it over.
    void release();

private:
    CommitClaim(FileSystem& fs, LogSink& log, std::string path, std::unique_ptr<HeldFile> held);

    FileSystem* m_fs;
    LogSink* m_log;
    std::string m_path;
    std::unique_ptr<HeldFile> m_held;
};

}  // namespace kavrin
