#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/commit/CommitClaim.h"
#include "engine/commit/Journal.h"
#include "engine/commit/OpenedFiles.h"
#include "engine/commit/Replacement.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/smb/ShareAccess.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

// A header date-time counts as set from 1.0 on; NaN is not set.
bool isSet(double value) {
    return value >= 1.0;
}

std::string messageOf(const std::exception& e) {
    return e.what();
}

constexpr std::uint64_t kMaxReferencedBody = std::uint64_t{1} << 32;

// How often the open reads the files again while another program writes to them, and how long it
// waits before the second reading (doubled before each further one).
constexpr int kReadAttempts = 5;
constexpr std::chrono::milliseconds kReadPause{25};
// How often an open looks again at the journal of a commit that is still replacing the files.
constexpr std::chrono::milliseconds kJournalPause{50};

// The log line of an open that finds a commit's claim in the way.
std::string claimReport(const ClaimFinding& claim) {
    switch (claim.kind) {
        case ClaimFinding::Running:
            return "A commit of this database is running : " + claim.holder;
        case ClaimFinding::Abandoned:
            return "The database was claimed for a commit more than " +
                   std::string(kClaimAgeLimitText) + " ago : " + claim.holder +
                   ". If that commit no longer runs, delete \"" + claim.path + "\".";
        default:
            return "A commit of this database may be running : its claim \"" + claim.path +
                   "\" cannot be read (" + claim.holder + ").";
    }
}

// A share that holds no database file, and one that cannot be reached, look alike to status():
// the sentence that tells them apart, after the design's message. A share's folder listed says
// the server answered; what keeps it from being listed is the server's or the system's reason.
// Only for shares: a local folder's message stays as the design has it.
std::string whyNoShareDatabase(FileSystem& fs, const std::string& folder, const char* name) {
    if (!isSharePath(folder)) {
        return {};
    }
    try {
        fs.listDirectory(folder);
    } catch (const KavrinError& e) {
        // The file layer's "<what> \"<path>\". <reason>": the reason is what the user can act on.
        const std::string message = e.what();
        const std::string named = "\"" + folder + "\". ";
        const std::size_t at = message.find(named);
        const std::string reason =
            at == std::string::npos ? message : message.substr(at + named.size());
        return "\r\n\r\nThe share " + shareOf(folder) + " could not be read : " + reason;
    }
    return "\r\n\r\nThe share " + shareOf(folder) + " was read, and holds no file " + name + ".";
}

std::string tooLargeMessage(const std::string& path) {
    return "Cannot open file \"" + path +
           "\". The file holds 4 GiB or more of records, more than its 32-bit references can "
           "reach.";
}

}  // namespace

OpenResult MaintenanceEngine::OpenDatabase() {
    OpenResult result;
    if (isPumping()) {
        return result;
    }
    switch (ConfirmPendingChanges()) {
        case Answer::Cancel:
            return result;
        case Answer::Yes:
            // A commit that failed and left the files as they were keeps the marks: opening
            // now would throw them away. Any other outcome has reported itself; the open goes on.
            if (CommitDatabase().outcome == ReplaceResult::NotDone) {
                return result;
            }
            break;
        case Answer::No:
            break;
    }
    // What the commit just made left for this open, taken whatever the open does with it.
    std::optional<CheckedFiles> checked = std::move(m_checkedFiles);
    m_checkedFiles.reset();
    m_ctx.IsOpen = false;
    m_ctx.DatabaseFolder = ResolveDatabaseFolder();
    m_view.setBusy(true);

    bool failed = false;
    // The node list is filled inside one bulk update (step 9 to E3), which ends on every path,
    // also when an end step fails, so that the list never stays frozen.
    bool endStepFailed = false;
    {
        NodeList::BulkUpdate bulk(m_nodes);
        try {
            startOpen();
            readDatabase(result, std::move(checked));
            showDatabaseStats(result);
            BuildNodeList(result.nodeRecords);
            // Before anything can mark: the offer to fix duplicates comes at the end of the open.
            LoadProtection();
            m_view.showConnected(m_ctx.DatabaseFolder);
        } catch (const std::bad_alloc&) {
            failed = true;
            result.message = "Out of memory while opening the database.";
        } catch (const std::exception& e) {
            failed = true;
            result.message = messageOf(e);
        }

        // The end steps run on success and failure alike; a failing one skips the rest of them.
        try {
            m_view.setBusy(false);
            m_view.appendLine(LineList::DBStats, "Total Active Node Records : " +
                                                     std::to_string(m_counts.ActiveCount));
            m_view.appendLine(LineList::DBStats, "Total Duplicate Node Records : " +
                                                     std::to_string(m_counts.DuplicateCount));
            m_view.appendLine(LineList::DBStats,
                              "Total Null Node Records : " + std::to_string(m_counts.NullCount));
        } catch (const std::exception& e) {
            failed = true;
            result.message = messageOf(e);
            endStepFailed = true;
        }
    }  // end of the bulk update

    if (!endStepFailed) {
        try {
            m_view.hideProgressArea();
            ShowDuplicateStatus();
            m_ctx.IsOpen = true;
            m_view.updateCommands(true);
        } catch (const std::exception& e) {
            failed = true;
            result.message = messageOf(e);
        }
    }

    if (failed) {
        failOpen(result);
    }
    result.opened = !failed;
    return result;
}

void MaintenanceEngine::failOpen(OpenResult& result) {
    // The end steps set a health text as for an open database; beside the error it would call
    // the database that could not be opened healthy.
    m_view.setHealthText("");
    if (!m_unreadFile.empty() && result.message.find(m_unreadFile) == std::string::npos) {
        result.unreadFile = m_unreadFile;
    }
    m_view.showOpenError(result.message, result.unreadFile);
    CloseDatabase();
}

void MaintenanceEngine::startOpen() {
    m_ctx.NodesMS.clear();
    m_ctx.InstallsMS.clear();
    m_ctx.TitlesMS.clear();
    m_counts = {};
    m_duplicateNames.clear();
    m_openedPaths = {};
    m_openedFiles = {};
    m_openedSinceNs = 0;
    m_unreadFile.clear();
    m_installCounts.clear();
    m_installCountsValid = false;
    m_view.setActionCaption("Opening");
    m_view.showProgressBar();
    m_nodes.clear();
    m_view.clearLines(LineList::DBStats);
    m_view.clearLines(LineList::Duplicates);
    m_view.setProgressPosition(0);
    m_view.showNotConnected();
    m_view.setHealthVisible(false);
    m_view.showProgressArea();
    m_view.setDuplicatesTabVisible(false);
}

void MaintenanceEngine::readDatabase(OpenResult& result, std::optional<CheckedFiles> checked) {
    const std::string& folder = m_ctx.DatabaseFolder;
    // A commit cut short while it replaced the files leaves a journal: the files are made to
    // belong together again before anything of them is read. One still replacing them is
    // waited for.
    settleJournal(folder);
    // Reading while a commit writes its backup and new files stays allowed: the reads are
    // checked, and a journal that turns up meanwhile makes the open read again.
    const ClaimFinding claim = inspectClaim(m_fs, m_clock, folder);
    if (claim.kind == ClaimFinding::Ended) {
        tidyAfterEndedCommit(folder);
    } else if (claim.kind != ClaimFinding::None) {
        m_view.log(claimReport(claim));
    }
    const char* const existNames[] = {filename::kNodeExists, filename::kInstallExists,
                                      filename::kTitleExists};
    std::array<FoundFile, 3> found;
    m_openedSinceNs = wallClockNs();
    std::array<std::string, 3> located;
    for (std::size_t i = 0; i < found.size(); ++i) {
        located[i] = found[i].path = locateFile(m_fs, joinPath(folder, existNames[i]));
    }
    const std::vector<FileStatus> statuses = m_fs.statuses(located);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::string path = joinPath(folder, existNames[i]);
        found[i].status = statuses[i];
        if (!found[i].status.exists || found[i].status.isDirectory) {
            throw KavrinError("Error: \"The database does not exist.\"\r\n\r\n" + path +
                              whyNoShareDatabase(m_fs, folder, existNames[i]));
        }
    }

    loadDatabaseFiles(folder, found, std::move(checked));
    result.nodeRecords = RecordCount(m_ctx.NodesMS, node::kSize);
    result.installRecords = RecordCount(m_ctx.InstallsMS, install::kSize);
    result.titleRecords = RecordCount(m_ctx.TitlesMS, title::kSize);
    ValidateHeader(m_ctx.Header);
}

void MaintenanceEngine::showDatabaseStats(const OpenResult& result) {
    const DatabaseHeader& h = m_ctx.Header;
    auto add = [this](const std::string& line) { m_view.appendLine(LineList::DBStats, line); };
    add("DB Name : " + ansiToUtf8(h.dbName()));
    add("Comment : " + ansiToUtf8(h.dbComment()));
    add("Type : " + std::to_string(h.dbType()));
    add("Version : " + std::to_string(h.dbVersion()));
    if (isSet(h.upgraded())) {
        add("Upgaded : " + DateTimeText(h.upgraded()));
        add("Upgrade from Version : " + std::to_string(h.upgradedFromVersion()));
    } else {
        add("Uprgaded : ");
    }
    add("Created : " + (isSet(h.created()) ? DateTimeText(h.created()) : std::string()));
    add("Updated : " + (isSet(h.updated()) ? DateTimeText(h.updated()) : std::string()));
    add("Total Nodes : " + std::to_string(result.nodeRecords));
    add("Total Software Titles : " + std::to_string(result.titleRecords));
    add("Total Software Installs : " + std::to_string(result.installRecords));
}

void MaintenanceEngine::loadDatabaseFiles(const std::string& folder,
                                          const std::array<FoundFile, 3>& found,
                                          std::optional<CheckedFiles> checked) {
    // Over a share each status is a few round trips: the first reading starts from the status
    // the open just took. An older status can only make a reading look changed, never the reverse.
    const auto sameFile = [this](const std::string& a, const std::string& b) {
        return a == b || (m_fs.ignoresCase(a) && asciiCompareText(a, b) == 0);
    };
    if (checked && checked->folder != folder) {
        checked.reset();
    }
    const char* loadNames[] = {filename::kNodeLoad, filename::kInstallLoad, filename::kTitleLoad};
    const std::string journal = journalPath(folder);
    std::string changed;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (attempt > 0) {
            m_view.log(changed == journal
                           ? "A commit began to replace the database files while they were read; "
                             "reading the database again."
                           : "The database file \"" + changed +
                                 "\" changed while it was read; reading the database again.");
            std::this_thread::sleep_for(kReadPause * (1 << (attempt - 1)));
            settleJournal(folder);
            checked.reset();
        }
        changed.clear();
        for (std::size_t i = 0; i < 3 && changed.empty(); ++i) {
            const std::string path = joinPath(folder, loadNames[i]);
            const std::string located = locateFile(m_fs, path);
            const FileStatus before = attempt == 0 && sameFile(found[i].path, located)
                                          ? found[i].status
                                          : m_fs.status(located);
            const bool taken =
                checked && checked->paths[i] == located && checked->statuses[i] == before;
            if (taken) {
                m_openedSinceNs = std::min(m_openedSinceNs, checked->readSinceNs);
            }
            const std::optional<FileStatus> after =
                loadDatabaseFile(i, path, located, before, taken ? &checked->files[i] : nullptr);
            if (!after) {
                changed = located;
                break;
            }
            m_openedPaths[i] = located;
            m_openedFiles[i] = *after;
        }
        // All three still as they were before they were read means that each held still while
        // it was read, and that they were all of one moment. The journal is looked for first: a
        // commit that replaced some of the files read and ended before this look removed its
        // journal only after its last rename, which the statuses taken after it then see. Looked
        // for after them, a commit ending in between would pass unseen.
        if (changed.empty() && m_fs.status(journal).exists) {
            changed = journal;
        }
        if (changed.empty()) {
            const std::vector<FileStatus> now = m_fs.statuses(m_openedPaths);
            for (std::size_t i = 0; i < 3 && changed.empty(); ++i) {
                if (now[i] != m_openedFiles[i]) {
                    changed = m_openedPaths[i];
                }
            }
        }
        if (changed.empty()) {
            return;
        }
    }
    throw KavrinError("The database files do not hold still: \"" + changed +
                      "\" changed each time it was read. Another program is writing to the "
                      "database; open it again when that program has finished.");
}

std::optional<FileStatus> MaintenanceEngine::loadDatabaseFile(std::size_t i,
                                                              const std::string& path,
                                                              const std::string& located,
                                                              const FileStatus& before,
                                                              FileBytes* checked) {
    MemoryStream* bodies[] = {&m_ctx.NodesMS, &m_ctx.InstallsMS, &m_ctx.TitlesMS};
    DatabaseHeader* headers[] = {&m_ctx.Header, &m_ctx.InstallHeader, &m_ctx.TitleHeader};
    // Node and title records are referred to by 32-bit offsets: a body of 4 GiB or more would
    // have records no reference can name, so it is refused before it is read.
    const bool referenced = i != 1;
    if (referenced && before.size >= header::kSize + kMaxReferencedBody) {
        throw KavrinError(tooLargeMessage(path));
    }
    try {
        // The commit's check read this very file back: no other program has written it since,
        // or its time would have moved. Nothing is read, so nothing can change while it is.
        if (checked != nullptr) {
            m_view.log("Loading : " + path);
            const std::uint64_t size = checked->size;
            *headers[i] = TakeDatabaseFile(std::move(*checked), *bodies[i]);
            pumpingProgress()(size, size);
        } else {
            MemoryStream scratch;
            *headers[i] = LoadDatabaseFile(m_fs, m_view, path, scratch, *bodies[i], located,
                                           pumpingProgress());
        }
    } catch (const KavrinError&) {
        // A file another program is rewriting may be short for a moment.
        if (m_fs.status(located) == before) {
            m_unreadFile = located;
            throw;
        }
        return std::nullopt;
    }
    // Whether the file held still while it was read is for the caller's look at all three files
    // afterwards, each of which must then still be as it was before its reading: over a share
    // each look costs round trips.
    if (bodies[i]->size() + header::kSize != before.size) {
        return std::nullopt;
    }
    if (referenced && bodies[i]->size() >= kMaxReferencedBody) {
        throw KavrinError(tooLargeMessage(path));
    }
    return before;
}

void MaintenanceEngine::settleJournal(const std::string& folder) {
    settleInterruptedCommit(m_fs, m_view, m_clock, folder, m_runningCommitPatience, [this] {
        std::this_thread::sleep_for(kJournalPause);
        pumpEvents();
    });
}

void MaintenanceEngine::tidyAfterEndedCommit(const std::string& folder) {
    try {
        ClaimFinding holder;
        if (std::optional<CommitClaim> claim =
                CommitClaim::tryTake(m_fs, m_view, m_clock, folder, holder)) {
            // Under the claim no commit is writing temporary files, and without a journal none
            // was replacing the files: those there were left by the commit that ended.
            if (!m_fs.status(journalPath(folder)).exists) {
                removeTemporaryFiles(m_fs, folder, &m_view);
            }
            claim->release();
        }
    } catch (const std::exception&) {
        // A folder this user may not write keeps them for the next commit, which removes them.
    }
}

}  // namespace kavrin
