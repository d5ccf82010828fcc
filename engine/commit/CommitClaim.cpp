#include "engine/commit/CommitClaim.h"

#include <chrono>
#include <exception>
#include <optional>
#include <set>
#include <thread>

#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/Process.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/AnsiText.h"

namespace kavrin {

namespace {

// A claim that changes under our eyes belongs to another commit at work; looking again this
// often is enough to get past one that ends, one that is being taken over and one whose holder
// is still writing it (waiting a little longer each time).
constexpr int kTakeAttempts = 5;
constexpr std::chrono::milliseconds kUnreadablePause{20};

// The claims this process holds right now. A back end without locks cannot say that a claim
// naming this process was left by a commit of it that has ended; this can.
std::set<std::string>& claimsHeldHere() {
    static std::set<std::string> paths;
    return paths;
}

std::string computerName() {
    try {
        return LocalComputerName();
    } catch (const KavrinError&) {
        return {};  // then no claim counts as this computer's: none is taken over by its process
    }
}

}  // namespace

ClaimFinding inspectClaim(FileSystem& fs, Clock& clock, const std::string& folder) {
    ClaimFinding found;
    found.path = joinPath(folder, kClaimName);
    const FileStatus status = fs.status(found.path);
    if (!status.exists) {
        return found;
    }
    const HoldState hold = fs.claims().holdState(found.path);
    std::optional<Claim> claim;
    std::string unreadable;
    bool readFailed = status.isDirectory;
    if (status.isDirectory) {
        unreadable = "it is a folder";
    } else if (status.size > kMaxClaimSize) {
        unreadable = "it holds " + std::to_string(status.size) + " bytes, more than a claim does";
        readFailed = true;  // not read, so not to be compared when taken over
    } else {
        try {
            const FileBytes bytes = fs.readFile(found.path);
            found.bytes.assign(bytes.data.get(), bytes.data.get() + bytes.size);
            claim = decodeClaim(found.bytes);
        } catch (const ClaimError& e) {
            unreadable = e.what();
        } catch (const KavrinError& e) {
            if (!fs.status(found.path).exists) {
                return ClaimFinding{ClaimFinding::None, found.path, {}, {}, {}};  // released
            }
            unreadable = e.what();
            readFailed = true;
        }
    }

    if (!claim) {
        // A claim is written right after it is created: one that cannot be read is either being
        // written now or was cut short by a crash. Only the lock can tell these apart.
        found.unreadable = true;
        if (hold == HoldState::Free && !readFailed) {
            found.kind = ClaimFinding::Ended;
            found.ended = "it cannot be read (" + unreadable + ") and no process holds it";
        } else if (hold == HoldState::Held) {
            found.kind = ClaimFinding::Running;
            found.holder = "a process whose claim cannot be read yet (" + unreadable + ")";
        } else {
            found.kind = ClaimFinding::Unreadable;
            found.holder = unreadable;
        }
        return found;
    }

    found.holder = "computer " + claim->computer + ", process " + std::to_string(claim->processId) +
                   ", since " + claimTimeText(claim->time);
    const std::string here = computerName();
    const bool thisComputer = !here.empty() && asciiCompareText(here, claim->computer) == 0;
    const double age = toDateTimeValue(clock.now()) - toDateTimeValue(claim->time);
    if (thisComputer && hold == HoldState::Free) {
        found.kind = ClaimFinding::Ended;
        found.ended = "no process holds it any more";
    } else if (thisComputer && hold == HoldState::Unknown &&
               claim->processId == currentProcessId() && claimsHeldHere().count(found.path) == 0) {
        found.kind = ClaimFinding::Ended;
        found.ended = "it is this process's own, left by a commit that could not remove it";
    } else if (thisComputer && hold == HoldState::Unknown && !processIsRunning(claim->processId)) {
        found.kind = ClaimFinding::Ended;
        found.ended = "that process no longer runs";
    } else if (hold != HoldState::Held && age > kClaimAgeLimitDays) {
        // Another computer's processes cannot be seen from here, and a lock may not reach across
        // computers: the administrator decides.
        found.kind = ClaimFinding::Abandoned;
    } else {
        found.kind = ClaimFinding::Running;
    }
    return found;
}

std::string claimRefusal(const ClaimFinding& finding, const std::string& outcome) {
    switch (finding.kind) {
        case ClaimFinding::Running:
            return "Another commit of this database is running: " + finding.holder + " (claim \"" +
                   finding.path + "\"). " + outcome +
                   " Open the database again when that commit has finished.";
        case ClaimFinding::Abandoned:
            return "The database was claimed for a commit by " + finding.holder + ", more than " +
                   kClaimAgeLimitText +
                   " ago, and whether that commit still runs cannot be told from here. If it "
                   "does not (that computer stopped or lost its connection), delete the file \"" +
                   finding.path + "\" and try again. " + outcome;
        case ClaimFinding::Unreadable:
            return "The database is claimed for a commit, but the claim \"" + finding.path +
                   "\" cannot be read: " + finding.holder +
                   ". If no commit of this database is running, delete that file and try "
                   "again. " +
                   outcome;
        case ClaimFinding::None:
        case ClaimFinding::Ended:
            break;
    }
    return outcome;
}

CommitClaim CommitClaim::take(FileSystem& fs, LogSink& log, Clock& clock,
                              const std::string& folder) {
    ClaimFinding holder;
    std::optional<CommitClaim> claim = tryTake(fs, log, clock, folder, holder);
    if (!claim) {
        throw KavrinError(claimRefusal(holder, "Nothing was written."));
    }
    return std::move(*claim);
}

std::optional<CommitClaim> CommitClaim::tryTake(FileSystem& fs, LogSink& log, Clock& clock,
                                                const std::string& folder,
                                                ClaimFinding& refusedBy) {
    const std::string path = joinPath(folder, kClaimName);
    Claim mine;
    mine.computer = computerName();
    if (mine.computer.empty()) {
        mine.computer = "(unknown)";
    }
    mine.processId = currentProcessId();
    mine.time = clock.now();
    const std::string text = encodeClaim(mine);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size());
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        if (std::unique_ptr<HeldFile> held = fs.claims().createExclusive(path, bytes)) {
            return CommitClaim(fs, log, path, std::move(held));
        }
        // A creation reported as failed that happened all the same (a reply lost on its way
        // back) left a claim of this process that nothing holds: it is taken over below.
        const ClaimFinding found = inspectClaim(fs, clock, folder);
        if (found.unreadable && found.kind != ClaimFinding::Ended && attempt + 1 < kTakeAttempts) {
            std::this_thread::sleep_for(kUnreadablePause * (attempt + 1));
            continue;
        }
        if (found.kind == ClaimFinding::Ended) {
            if (std::unique_ptr<HeldFile> held = fs.claims().takeOver(path, found.bytes, bytes)) {
                log.log("Taking over the claim \"" + path + "\"" +
                        (found.holder.empty() ? "" : " of " + found.holder) + ": " + found.ended +
                        ".");
                return CommitClaim(fs, log, path, std::move(held));
            }
        } else if (found.kind != ClaimFinding::None) {
            refusedBy = found;
            return std::nullopt;
        }
    }
    throw KavrinError("The claim \"" + path +
                      "\" changed each time it was looked at: another commit of this database is "
                      "starting. Nothing was written. Open the database again when that commit "
                      "has finished.");
}

CommitClaim::CommitClaim(FileSystem& fs, LogSink& log, std::string path,
                         std::unique_ptr<HeldFile> held)
    : m_fs(&fs), m_log(&log), m_path(std::move(path)), m_held(std::move(held)) {
    claimsHeldHere().insert(m_path);
}

CommitClaim::~CommitClaim() {
    if (m_held) {
        claimsHeldHere().erase(m_path);
    }
}

void CommitClaim::release() {
    if (!m_held) {
        return;
    }
    claimsHeldHere().erase(m_path);
    try {
        m_held->remove();
    } catch (const std::exception& e) {
        // A removal reported as failed may have happened all the same (a share's lost reply).
        if (m_fs->status(m_path).exists) {
            m_log->log("The claim \"" + m_path + "\" could not be removed (" + e.what() +
                       "); the next commit on this computer takes it over.");
        }
    }
    m_held.reset();
}

}  // namespace kavrin
