#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/BackupFolder.h"
#include "engine/CommitClaim.h"
#include "engine/CommitPreview.h"
#include "engine/Compaction.h"
#include "engine/DatabaseCheck.h"
#include "engine/Journal.h"
#include "engine/MaintenanceEngine.h"
#include "engine/Replacement.h"
#include "support/text/Crc32.h"
#include "support/platform/Errors.h"
#include "support/platform/Memory.h"
#include "support/fs/Paths.h"
#include "support/fs/ReplaceFile.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

constexpr std::array<const char*, 3> kSaveNames = {filename::kNodeSave, filename::kInstallSave,
                                                   filename::kTitleSave};

// A backup folder name taken by an earlier backup gets a number; this many are tried.
constexpr int kBackupFolderAttempts = 1000;

// A backup never shares a folder with an earlier one: within one second the time stamp repeats,
// and the second backup would overwrite the only copy of the state before the first commit.
std::string createBackupFolder(FileSystem& fs, const std::string& databaseFolder,
                               const std::string& stamp) {
    const std::string base = joinPath(databaseFolder, stamp);
    try {
        fs.createDirectories(databaseFolder);
    } catch (const std::exception&) {
        // A folder that cannot be made shows as the failure to save the first backup file.
    }
    for (int attempt = 1; attempt <= kBackupFolderAttempts; ++attempt) {
        const std::string candidate = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        try {
            if (fs.createDirectory(candidate)) {
                return candidate;
            }
        } catch (const std::exception&) {
            return candidate;  // as above
        }
    }
    throw KavrinError("Cannot create backup directory : " + base + ": every name up to -" +
                      std::to_string(kBackupFolderAttempts) + " is taken.");
}

// Another program (the server, most likely) may have written to the files since they were read;
// committing would throw its changes away without a trace, the backup included.
void requireUnchanged(FileSystem& fs, const std::array<std::string, 3>& paths,
                      const std::array<FileStatus, 3>& opened) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].empty() || !(fs.status(paths[i]) == opened[i])) {
            throw KavrinError("The database file \"" + paths[i] +
                              "\" has changed on disk since the database was opened; open the "
                              "database again before committing. The database files were left "
                              "as they are.");
        }
    }
}

// A journal means that a commit is replacing the files right now (another instance of the tool)
// or was cut short and not yet recovered by an open; its temporary files are not leftovers.
void requireNoJournal(FileSystem& fs, const std::string& folder) {
    if (fs.status(journalPath(folder)).exists) {
        throw KavrinError("The database folder holds the journal \"" + journalPath(folder) +
                          "\" of a commit that has not finished. Open the database again, which "
                          "finishes or undoes that commit, before committing. The database files "
                          "were left as they are.");
    }
}

// One whole database file in memory: a header and a body.
struct FileImage {
    const DatabaseHeader* header;
    const MemoryStream* body;
};
using FileImages = std::array<FileImage, 3>;

std::span<const std::uint8_t> headerBytes(const DatabaseHeader& header) {
    return {header.bytes.data(), header.bytes.size()};
}

std::array<std::span<const std::uint8_t>, 2> fileParts(const FileImage& file) {
    return {headerBytes(*file.header), file.body->span()};
}

NewFile newFileOf(const FileImage& image) {
    return {header::kSize + image.body->size(), [image](FileSink& sink) {
                for (const auto& part : fileParts(image)) {
                    sink.write(part);
                }
            }};
}

// What a put-back writes: the files as the open read them, from memory.
OldContent oldContentOf(const FileImages& images) {
    return [images](std::size_t file, FileSink& sink) {
        for (const auto& part : fileParts(images[file])) {
            sink.write(part);
        }
    };
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

// The three files byte for byte as the open read them, each behind its own header.
FileImages openedFiles(const DatabaseContext& ctx) {
    return {FileImage{&ctx.Header, &ctx.NodesMS}, FileImage{&ctx.InstallHeader, &ctx.InstallsMS},
            FileImage{&ctx.TitleHeader, &ctx.TitlesMS}};
}

}  // namespace

CommitMemory MaintenanceEngine::commitMemory() const {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::uint64_t nodeRecords = m_ctx.NodesMS.size() / node::kSize;
    const std::uint64_t titleRecords = m_ctx.TitlesMS.size() / title::kSize;
    const std::uint64_t entries = m_nodes.count();
    std::uint64_t marked = 0;
    for (const NodeEntry& entry : m_nodes.rows()) {
        marked += entry.marked() ? 1 : 0;
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

std::array<FileCheck, 3> MaintenanceEngine::openedChecks(bool pump) {
    // A slice of this size takes milliseconds: the window is pumped between slices.
    constexpr std::size_t kSlice = 16 * 1024 * 1024;
    const FileImages files = openedFiles(m_ctx);
    std::array<FileCheck, 3> checks;
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::span<const std::uint8_t> part : fileParts(files[i])) {
            checks[i].size += part.size();
            while (!part.empty()) {
                const std::size_t n = std::min(kSlice, part.size());
                checks[i].crc = crc32(part.first(n), checks[i].crc);
                part = part.subspan(n);
                if (pump && !part.empty()) {
                    pumpEvents();
                }
            }
        }
    }
    return checks;
}

std::string MaintenanceEngine::writeBackup(const std::array<FileCheck, 3>& checks,
                                           const BackupExtras& extras, bool pump) {
    const std::string folder =
        createBackupFolder(m_fs, m_ctx.DatabaseFolder, TimeStampText(m_clock));
    m_view.log("Creating backup directory : " + folder);
    const FileImages files = openedFiles(m_ctx);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SaveDatabaseFile(m_fs, m_view, joinPath(folder, kSaveNames[i]), *files[i].header,
                         *files[i].body, {{}, true, pump ? pumpingProgress() : FileProgress()});
    }
    for (const auto& [name, make] : extras(checks)) {
        const std::string path = joinPath(folder, name);
        m_view.log("Saving : " + path);
        const std::string text = make();
        const std::span<const std::uint8_t> parts[] = {
            {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
        m_fs.writeFile(path, parts, true);
    }
    // A commit relies on the backup to put the files back: it must survive a crash as well, and
    // its manifest with it, before anything is replaced.
    m_fs.syncDirectory(folder);
    m_fs.syncDirectory(m_ctx.DatabaseFolder);
    return folder;
}

std::string MaintenanceEngine::BackupDatabase() {
    return writeBackup(
        openedChecks(false),
        [this](const std::array<FileCheck, 3>& checks) {
            return BackupExtraFiles{{kSummaryName, [this, checks] {
                                         return backupSummaryText(
                                             "Backup of " + m_ctx.DatabaseFolder + " as opened",
                                             m_clock, checks, {});
                                     }}};
        },
        false);
}

CommitPreview MaintenanceEngine::PreviewCommit() const {
    if (!m_ctx.IsOpen) {
        throw KavrinError("No database is open.");
    }
    return previewCommit(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(), m_ctx.TitlesMS.span(),
                         m_nodes);
}

std::vector<BackupFolderInfo> MaintenanceEngine::BackupFolders() const {
    if (!m_ctx.IsOpen) {
        throw KavrinError("No database is open.");
    }
    return listBackupFolders(m_fs, m_ctx.DatabaseFolder);
}

ReplaceResult MaintenanceEngine::CommitDatabase() {
    if (isPumping()) {
        return {ReplaceResult::NotDone, "Another operation of this window is running.", {}};
    }
    m_view.selectPage(Page::Log);
    m_view.setBusy(true);

    ReplaceResult result;
    std::optional<CommitClaim> claim;
    std::optional<NodeList::BulkUpdate> bulk;
    try {
        if (!m_ctx.IsOpen) {
            throw KavrinError("No database is open.");
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
        // What the commit removes, and where every written record goes, is on the disk with the
        // backup before anything is replaced.
        CommitPreview preview;
        // A backup of gigabytes takes a while: the bar shows how much of each file is written.
        m_view.setActionCaption("Backing up");
        m_view.showProgressBar();
        m_view.showProgressArea();
        const std::array<FileCheck, 3> checks = openedChecks(true);
        result.backupFolder = writeBackup(
            checks,
            [&](const std::array<FileCheck, 3>& opened) {
                preview = previewCommit(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(),
                                        m_ctx.TitlesMS.span(), m_nodes, [this] { pumpEvents(); });
                return BackupExtraFiles{
                    {kManifestName,
                     [&] { return removedNodesCsv(preview, [this] { pumpEvents(); }); }},
                    {kOffsetsName,
                     [&] { return writtenOffsetsCsv(preview, [this] { pumpEvents(); }); }},
                    {kSummaryName,
                     [&, opened] {
                         return backupSummaryText(
                             "Backup made before a commit of " + m_ctx.DatabaseFolder, m_clock,
                             opened, previewTotalsLines(preview));
                     }},
                };
            },
            true);
        // From here on only the preview's counts are needed (by the check): its lists go before
        // the new files are made.
        preview.dropLists();

        m_view.setActionCaption("Re-indexing");
        m_view.showProgressBar();
        m_view.showProgressArea();
        bulk.emplace(m_nodes);

        m_view.log("Re-indexing Computer - Installs...");
        std::vector<CompactionEntry> entries;
        entries.reserve(m_nodes.count());
        for (const NodeEntry& entry : m_nodes.rows()) {
            entries.push_back({entry.data, entry.marked()});
        }
        ViewReporter reporter(m_view, [this] { pumpEvents(); });
        // Decided whole before anything is written; each new body is made as it is written.
        const CompactionPlan plan(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(),
                                  m_ctx.TitlesMS.span(), entries, reporter);

        m_view.log("Commiting to Database...");
        const FileProgress progress = pumpingProgress();
        DatabaseReplacement replacement(m_fs, m_view, m_ctx.DatabaseFolder, m_openedPaths,
                                        m_openedFiles, checks, result.backupFolder, "commit",
                                        progress);
        // The new files all carry the node file's header, the database's own.
        const DatabaseHeader& header = m_ctx.Header;
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
                return checkCommittedDatabase(m_fs, m_openedPaths, written, preview, progress);
            });
        result.outcome = ReplaceResult::Done;
    } catch (const std::bad_alloc&) {
        result.message = "Out of memory while committing the database.";
    } catch (const UnsettledReplacement& e) {
        result.outcome = ReplaceResult::Unsettled;
        result.message = e.what();
    } catch (const std::exception& e) {
        result.message = e.what();
    }

    bulk.reset();
    // Released before any message is shown: a dialog left open must not keep other commits out.
    if (claim) {
        claim->release();
    }
    if (result.outcome != ReplaceResult::Done) {
        m_view.log(result.message);
        m_view.showError(result.message);
    }
    CloseDatabase();
    m_view.hideProgressArea();
    m_view.setBusy(false);
    return result;
}

ReplaceResult MaintenanceEngine::RestoreBackup(const std::string& backup) {
    if (isPumping()) {
        return {ReplaceResult::NotDone, "Another operation of this window is running.", {}};
    }
    m_view.selectPage(Page::Log);
    m_view.setBusy(true);

    ReplaceResult result;
    std::optional<CommitClaim> claim;
    try {
        if (!m_ctx.IsOpen) {
            throw KavrinError("No database is open.");
        }
        m_view.log("Restoring the database from the backup : " + backup);
        // Checked whole before anything is written; refused, it writes nothing at all.
        const BackupImage image = loadBackup(m_fs, m_view, m_ctx.DatabaseFolder, backup);
        claim.emplace(CommitClaim::take(m_fs, m_view, m_clock, m_ctx.DatabaseFolder));
        requireUnchanged(m_fs, m_openedPaths, m_openedFiles);
        requireNoJournal(m_fs, m_ctx.DatabaseFolder);
        removeTemporaryFiles(m_fs, m_ctx.DatabaseFolder);
        // The files the restore replaces are backed up first, so that it can be undone in turn.
        const std::array<FileCheck, 3> checks = openedChecks(true);
        result.backupFolder = writeBackup(
            checks,
            [&](const std::array<FileCheck, 3>& opened) {
                return BackupExtraFiles{{kSummaryName, [&, opened] {
                                             return backupSummaryText(
                                                 "Backup made before a restore of " +
                                                     m_ctx.DatabaseFolder + " from " + image.folder,
                                                 m_clock, opened, {});
                                         }}};
            },
            true);

        m_view.log("Commiting to Database...");
        DatabaseReplacement replacement(m_fs, m_view, m_ctx.DatabaseFolder, m_openedPaths,
                                        m_openedFiles, checks, result.backupFolder, "restore",
                                        pumpingProgress());
        replacement.run(
            {newFileOf({&image.headers[0], &image.bodies[0]}),
             newFileOf({&image.headers[1], &image.bodies[1]}),
             newFileOf({&image.headers[2], &image.bodies[2]})},
            oldContentOf(openedFiles(m_ctx)),
            [this] { requireUnchanged(m_fs, m_openedPaths, m_openedFiles); },
            [&](const std::array<FileCheck, 3>& written) {
                return checkRestoredDatabase(m_fs, m_openedPaths, written);
            });
        m_view.log("Restored : the database holds the files of the backup \"" + image.folder +
                   "\"; the files it replaced are in the backup \"" + result.backupFolder +
                   "\".");
        result.outcome = ReplaceResult::Done;
    } catch (const std::bad_alloc&) {
        result.message = "Out of memory while restoring the database.";
    } catch (const UnsettledReplacement& e) {
        result.outcome = ReplaceResult::Unsettled;
        result.message = e.what();
    } catch (const std::exception& e) {
        result.message = e.what();
    }

    if (claim) {
        claim->release();
    }
    if (result.outcome != ReplaceResult::Done) {
        m_view.log(result.message);
        m_view.showError(result.message);
    }
    CloseDatabase();
    m_view.hideProgressArea();
    m_view.setBusy(false);
    return result;
}

}  // namespace kavrin
