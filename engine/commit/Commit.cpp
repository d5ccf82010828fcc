#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/backup/BackupFolder.h"
#include "engine/check/CommitPreview.h"
#include "engine/check/DatabaseCheck.h"
#include "engine/commit/CommitClaim.h"
#include "engine/commit/Compaction.h"
#include "engine/commit/OpenedFiles.h"
#include "engine/commit/Replacement.h"
#include "support/platform/Errors.h"
#include "support/platform/Memory.h"
#include "support/text/Crc32.h"

namespace kavrin {

namespace {

std::span<const std::uint8_t> headerBytes(const DatabaseHeader& header) {
    return {header.bytes.data(), header.bytes.size()};
}

// A file behind `header` whose body `writeBody` produces.
NewFile headedFile(const DatabaseHeader& header, std::uint64_t bodySize,
                   std::function<void(FileSink&)> writeBody) {
    return {header::kSize + bodySize, [&header, writeBody = std::move(writeBody)](FileSink& sink) {
                sink.write(headerBytes(header));
                writeBody(sink);
            }};
}

class ViewReporter final : public CompactionReporter {
public:
    ViewReporter(MainView& view, std::function<void()> pump)
        : m_view(view), m_pump(std::move(pump)) {}
    void setPosition(int percent) override { m_view.setProgressPosition(percent); }
    void pump() override { m_pump(); }
    void titlePassStarting() override { m_view.log("Re-indexing Title - Installs..."); }
    void working() override { m_pump(); }

private:
    MainView& m_view;
    std::function<void()> m_pump;
};

}  // namespace

CommitMemory MaintenanceEngine::commitMemory() const {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::uint64_t nodeRecords = m_ctx.NodesMS.size() / node::kSize;
    const std::uint64_t titleRecords = m_ctx.TitlesMS.size() / title::kSize;
    const std::uint64_t entries = m_nodes.count();
    std::uint64_t marked = 0;
    for (const NodeEntry& entry : m_nodes.rows()) {
        marked += entry.marked() || m_nodes.spared(entry) ? 1 : 0;
    }
    // The entries and the plan, with its notes and a block of the file being written.
    const std::uint64_t plan =
        entries * sizeof(CompactionEntry) +
        CompactionPlan::memoryNeeded(m_ctx.NodesMS.size(), m_ctx.InstallsMS.size(),
                                     m_ctx.TitlesMS.size(), entries);
    // The preview (24 bytes per node record while it counts, the offsets kept, the nodes
    // removed) and the record of the backup made from it (a line of CSV per record written and
    // per node removed).
    const std::uint64_t preview =
        nodeRecords * 24 + (entries + titleRecords) * (4 + 48) + titleRecords / 8 + marked * 1024;
    // The check of the files in place: a byte per node record, a bit per title, the block read.
    const std::uint64_t check = nodeRecords + titleRecords / 8 + 4 * kMiB;
    // What the allocator keeps for itself, the buffers of the file layer and the stack.
    constexpr std::uint64_t kSlack = 16 * kMiB;
    return {plan + preview + check + kSlack, memoryHeadroom()};
}

void MaintenanceEngine::requireCommitMemory() const {
    const CommitMemory memory = commitMemory();
    if (memory.available.known && memory.needed > memory.available.bytes) {
        const std::uint64_t database =
            m_ctx.NodesMS.size() + m_ctx.InstallsMS.size() + m_ctx.TitlesMS.size();
        throw KavrinError("Not enough memory for the commit: it needs about " +
                          megabytesText(memory.needed) + " besides the " + megabytesText(database) +
                          " the open database holds, and this program can be given " +
                          megabytesText(memory.available.bytes) + " (limited by " +
                          memory.available.limitedBy +
                          "). Nothing was written. Close other programs or raise the limit, "
                          "then commit again.");
    }
}

CommitPreview MaintenanceEngine::PreviewCommit() const {
    if (!m_ctx.IsOpen) {
        throw KavrinError("No database is open.");
    }
    if (!m_protectionProblem.empty()) {
        throw KavrinError(m_protectionProblem);
    }
    CommitPreview preview = previewCommit(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(),
                                          m_ctx.TitlesMS.span(), m_nodes);
    preview.protection = !m_rules.empty();
    return preview;
}

ReplaceResult MaintenanceEngine::runReplacing(const std::string& outOfMemory, OnNotDone onNotDone,
                                              const ReplacingSteps& steps) {
    if (isPumping()) {
        return {ReplaceResult::NotDone, "Another operation of this window is running.", {}};
    }
    m_view.selectPage(Page::Log);
    m_view.setBusy(true);

    ReplaceResult result;
    std::optional<CommitClaim> claim;
    m_openedReleased = false;
    m_checkedFiles.reset();
    try {
        steps(result, claim);
        result.outcome = ReplaceResult::Done;
    } catch (const std::bad_alloc&) {
        result.message = outOfMemory;
    } catch (const UnsettledReplacement& e) {
        result.outcome = ReplaceResult::Unsettled;
        result.message = e.what();
    } catch (const std::exception& e) {
        result.message = e.what();
    }

    // Released before any message is shown: a dialog left open must not keep other commits out.
    if (claim) {
        claim->release();
    }
    if (result.outcome != ReplaceResult::Done) {
        m_view.log(result.message);
        m_view.showError(result.message);
    }
    // Not done, the files are those that were opened and the commit only read what was read of
    // them: the list and its marks can stay, for the user to try again or change them; unless
    // they were let go for the check, which then found the files wrong and had them put back.
    if (result.outcome != ReplaceResult::NotDone || onNotDone == OnNotDone::Close ||
        m_openedReleased) {
        // What the check read back stays for the open that follows a commit.
        std::optional<CheckedFiles> checked = std::move(m_checkedFiles);
        CloseDatabase();
        m_checkedFiles = std::move(checked);
    }
    m_view.hideProgressArea();
    m_view.setBusy(false);
    return result;
}

ReplaceResult MaintenanceEngine::CommitDatabase() {
    return runReplacing(
        "Out of memory while committing the database.", OnNotDone::KeepOpen,
        [this](ReplaceResult& result, std::optional<CommitClaim>& claim) {
            if (!m_ctx.IsOpen) {
                throw KavrinError("No database is open.");
            }
            // The marks were made without the rules the administrators set: not committed.
            if (!m_protectionProblem.empty()) {
                throw KavrinError(m_protectionProblem);
            }
            // Refused before anything is written, rather than ended by the system half way.
            requireCommitMemory();
            // One commit at a time: from before the check for changes until the journal is gone.
            claim.emplace(CommitClaim::take(m_fs, m_view, m_clock, m_ctx.DatabaseFolder));
            requireUnchanged(m_fs, m_openedPaths, m_openedFiles);
            requireNoJournal(m_fs, m_ctx.DatabaseFolder);
            // Temporary files of a commit that did not finish (without a journal they were never
            // renamed into place); a commit that fails before it writes its own would leave them.
            removeTemporaryFiles(m_fs, m_ctx.DatabaseFolder);
            CommitPreview preview;
            const std::array<FileCheck, 3> checks = backUpForCommit(preview, result.backupFolder);
            // From here on only the preview's counts are needed (by the check): its lists go before
            // the new files are made.
            preview.dropLists();
            writeCompacted(preview, checks, result.backupFolder);
        });
}

std::array<FileCheck, 3> MaintenanceEngine::backUpForCommit(CommitPreview& preview,
                                                            std::string& backupFolder) {
    // What the commit removes, and where every written record goes, is on the disk with the
    // backup before anything is replaced.
    // A backup of gigabytes takes a while: the bar shows how much of each file is written.
    m_view.setActionCaption("Backing up");
    m_view.showProgressBar();
    m_view.showProgressArea();
    const BackupFiles files = openedBackupFiles(true);
    const auto pump = [this] { pumpEvents(); };
    backupFolder = writeBackup(
        m_ctx.DatabaseFolder, files,
        [&](const std::array<FileCheck, 3>& opened) {
            preview = previewCommit(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(),
                                    m_ctx.TitlesMS.span(), m_nodes, pump);
            preview.protection = !m_rules.empty();
            return BackupExtraFiles{
                {kManifestName, [&] { return removedNodesCsv(preview, pump); }},
                {kOffsetsName, [&] { return writtenOffsetsCsv(preview, pump); }},
                {kSummaryName,
                 [&, opened] {
                     return backupSummaryText(
                         "Backup made before a commit of " + m_ctx.DatabaseFolder, m_clock, opened,
                         previewTotalsLines(preview));
                 }},
            };
        },
        true);
    return files.checks;
}

void MaintenanceEngine::writeCompacted(const CommitPreview& preview,
                                       const std::array<FileCheck, 3>& checks,
                                       const std::string& backupFolder) {
    m_view.setActionCaption("Re-indexing");
    m_view.showProgressBar();
    m_view.showProgressArea();
    NodeList::BulkUpdate bulk(m_nodes);

    m_view.log("Re-indexing Computer - Installs...");
    std::vector<CompactionEntry> entries;
    entries.reserve(m_nodes.count());
    for (const NodeEntry& entry : m_nodes.rows()) {
        entries.push_back({entry.data, entry.marked()});
    }
    ViewReporter reporter(m_view, [this] { pumpEvents(); });
    // Decided whole before anything is written; each new body is made as it is written.
    const CompactionPlan plan(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(), m_ctx.TitlesMS.span(),
                              entries, reporter);

    m_view.log("Commiting to Database...");
    const FileProgress progress = pumpingProgress();
    DatabaseReplacement replacement(m_fs, m_view, m_ctx.DatabaseFolder, m_openedPaths,
                                    m_openedFiles, checks, backupFolder, "commit", progress);
    // The new files all carry the node file's header, the database's own.
    const DatabaseHeader& header = m_ctx.Header;
    std::array<FileBytes, 3> kept;
    std::int64_t checkedSinceNs = 0;
    try {
        replacement.run(
            {headedFile(header, plan.nodeBodySize(),
                        [&plan](FileSink& sink) { plan.writeNodes(sink); }),
             headedFile(header, plan.installBodySize(),
                        [&plan](FileSink& sink) { plan.writeInstalls(sink); }),
             headedFile(header, plan.titleBodySize(),
                        [&plan](FileSink& sink) { plan.writeTitles(sink); })},
            oldContentOf(openedFiles(m_ctx)),
            [this] { requireUnchanged(m_fs, m_openedPaths, m_openedFiles); },
            [&](const std::array<FileCheck, 3>& written) {
                checkedSinceNs = wallClockNs();
                return checkCommittedDatabase(m_fs, m_openedPaths, written, preview, progress,
                                              keepCheckedFiles(written) ? &kept : nullptr);
            },
            [this] { releaseOpenedFiles(); });
    } catch (const UnsettledReplacement&) {
        throw;
    } catch (const std::exception&) {
        // The files were put back, each proved to be the file as opened: read again, they let
        // the list and its marks stay.
        kept = {};
        if (m_openedReleased) {
            reloadOpenedFiles(checks);
        }
        throw;
    }
    // The reopen takes the files from here, each still as the check read it.
    if (kept[0].data) {
        CheckedFiles checked{
            m_ctx.DatabaseFolder, m_openedPaths, {}, std::move(kept), checkedSinceNs};
        for (std::size_t i = 0; i < checked.paths.size(); ++i) {
            checked.statuses[i] = m_fs.status(checked.paths[i]);
        }
        m_checkedFiles = std::move(checked);
    }
}

bool MaintenanceEngine::keepCheckedFiles(const std::array<FileCheck, 3>& written) const {
    // Only while they fit beside what the commit still holds: a check must not fail for memory
    // it could have done without.
    constexpr std::uint64_t kSpare = 64 * 1024 * 1024;
    const MemoryHeadroom headroom = memoryHeadroom();
    std::uint64_t total = kSpare;
    for (const FileCheck& file : written) {
        total += file.size;
    }
    return !headroom.known || headroom.bytes >= total;
}

void MaintenanceEngine::releaseOpenedFiles() {
    // The rows stay, showing no names meanwhile, for a put-back that brings the bytes again.
    m_openedReleased = true;
    m_ctx.IsOpen = false;
    m_ctx.NodesMS.clear();
    m_ctx.InstallsMS.clear();
    m_ctx.TitlesMS.clear();
}

void MaintenanceEngine::reloadOpenedFiles(const std::array<FileCheck, 3>& opened) {
    const FileImages images = openedFiles(m_ctx);
    std::array<FileStatus, 3> statuses{};
    const std::int64_t since = wallClockNs();
    try {
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            const std::string& path = m_openedPaths[i];
            const std::optional<FileStatus> read =
                loadDatabaseFile(i, path, path, m_fs.status(path), nullptr);
            if (!read || checkOf(fileParts(images[i])) != opened[i]) {
                return;
            }
            statuses[i] = *read;
        }
        // Each still as it was before it was read, it held still while it was.
        const std::vector<FileStatus> now = m_fs.statuses(m_openedPaths);
        if (!std::equal(now.begin(), now.end(), statuses.begin())) {
            return;
        }
    } catch (const std::exception&) {
        return;  // not open, then: the database closes
    }
    // The files in place are the opened ones again, under a new time each.
    m_openedFiles = statuses;
    m_openedSinceNs = since;
    m_ctx.IsOpen = true;
    m_openedReleased = false;
}

}  // namespace kavrin
