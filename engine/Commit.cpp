#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/CommitClaim.h"
#include "engine/Compaction.h"
#include "engine/Journal.h"
#include "engine/MaintenanceEngine.h"
#include "support/Errors.h"
#include "support/Paths.h"
#include "support/ReplaceFile.h"
#include "support/SystemHelpers.h"

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

std::string temporaryPath(const std::string& folder, std::size_t i) {
    return joinPath(folder, std::string(kSaveNames[i]) + ".new");
}

std::string fileNameOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
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

// Temporary files of a commit that did not finish (without a journal they were never renamed
// into place); a commit that fails before it writes its own would otherwise leave them for good.
void removeLeftovers(FileSystem& fs, const std::string& folder) {
    std::array<std::string, kSaveNames.size() + 1> leftovers;
    for (std::size_t i = 0; i < kSaveNames.size(); ++i) {
        leftovers[i] = temporaryPath(folder, i);
    }
    leftovers.back() = joinPath(folder, kJournalTemporaryName);
    for (const std::string& path : leftovers) {
        try {
            removeIfThere(fs, path);
        } catch (const std::exception&) {
            // Tried again by the next commit; the commit itself writes over it.
        }
    }
}

// One whole database file as it is written: a header and a body.
struct FileImage {
    const DatabaseHeader* header;
    const MemoryStream* body;
};
using FileImages = std::array<FileImage, 3>;

std::array<std::span<const std::uint8_t>, 2> fileParts(const FileImage& file) {
    return {std::span<const std::uint8_t>(file.header->bytes.data(), file.header->bytes.size()),
            file.body->span()};
}

class ViewReporter final : public CompactionReporter {
public:
    ViewReporter(MainView& view, std::function<void()> pump)
        : m_view(view), m_pump(std::move(pump)) {}
    void setPosition(int percent) override { m_view.setProgressPosition(percent); }
    void pump() override { m_pump(); }
    void titlePassStarting() override { m_view.log("Re-indexing Title - Installs..."); }

private:
    MainView& m_view;
    std::function<void()> m_pump;
};

// Every change a commit makes to the database files happens here, in this order:
//   1. each new file is written whole, and flushed, under a temporary name in the database folder;
//   2. the folder's entries are made durable and the files are checked once more for changes;
//   3. the journal is put on the disk, naming the backup and the new files with their checks;
//   4. the temporary files are renamed over the originals, and the folder made durable again;
//   5. the journal is removed.
// A failure in 1 to 3 leaves the originals as they were and removes the temporary files. Three
// renames are not one atomic step: a failure in 4 after a file was replaced puts the replaced
// files back byte for byte as they were opened (the bytes of the backup), so that the files
// always belong together. When the process dies in 4, the journal lets the next open finish or
// undo the replacement.
class DatabaseReplacement {
public:
    DatabaseReplacement(FileSystem& fs, LogSink& log, const std::string& folder,
                        const std::array<std::string, 3>& targets,
                        const std::array<FileStatus, 3>& originals, const std::string& backupFolder)
        : m_fs(fs),
          m_log(log),
          m_folder(folder),
          m_targets(targets),
          m_originals(originals),
          m_backupFolder(backupFolder) {
        for (std::size_t i = 0; i < kSaveNames.size(); ++i) {
            m_temporaries[i] = temporaryPath(folder, i);
        }
    }

    // `stillUnchanged` throws when the originals must not be replaced after all.
    // `oldFiles` are the files as they were opened, `newFiles` what replaces them.
    void run(const FileImages& newFiles, const FileImages& oldFiles,
             const std::function<void()>& stillUnchanged) {
        try {
            for (std::size_t i = 0; i < newFiles.size(); ++i) {
                SaveDatabaseFile(m_fs, m_log, joinPath(m_folder, kSaveNames[i]),
                                 *newFiles[i].header, *newFiles[i].body, {m_temporaries[i], true});
            }
            m_fs.syncDirectory(m_folder);
            stillUnchanged();
            writeJournal(m_fs, m_folder, describe(newFiles, oldFiles));
        } catch (const std::exception&) {
            abandon();
            throw;
        }

        std::size_t replaced = 0;
        try {
            for (; replaced < m_targets.size(); ++replaced) {
                m_fs.rename(m_temporaries[replaced], m_targets[replaced]);
            }
            m_fs.syncDirectory(m_folder);
        } catch (const std::exception& e) {
            if (replaced == 0) {
                abandon();
                throw;
            }
            restore(replaced, oldFiles, e.what());
        }

        // The database is whole and new; a journal left behind would be finished by the next
        // open, which finds every file replaced already.
        try {
            removeJournal(m_fs, m_folder);
        } catch (const std::exception& e) {
            throw KavrinError(std::string("The database files were replaced, but the journal \"") +
                              journalPath(m_folder) + "\" could not be removed: " + e.what() +
                              " The next open of the database removes it.");
        }
    }

private:
    Journal describe(const FileImages& newFiles, const FileImages& oldFiles) const {
        Journal journal;
        journal.backupFolder = fileNameOf(m_backupFolder);
        for (std::size_t i = 0; i < journal.files.size(); ++i) {
            JournalEntry& entry = journal.files[i];
            entry.target = fileNameOf(m_targets[i]);
            entry.temporary = fileNameOf(m_temporaries[i]);
            entry.copy = kSaveNames[i];
            entry.newFile = checkOf(fileParts(newFiles[i]));
            entry.copyFile = checkOf(fileParts(oldFiles[i]));
            entry.originalSize = m_originals[i].size;
            entry.originalModifiedNs = m_originals[i].modifiedNs;
        }
        return journal;
    }

    // Nothing was replaced: the temporary files go first, so that a journal that cannot be
    // removed names new files no longer there and the next open keeps the originals.
    void abandon() {
        removeTemporaries(0);
        removeIfThere(joinPath(m_folder, kJournalTemporaryName));
        if (removeIfThere(journalPath(m_folder))) {
            try {
                m_fs.syncDirectory(m_folder);
            } catch (const std::exception&) {
            }
        }
    }

    // Not noexcept: what the file system throws besides its errors must pass.
    bool removeIfThere(const std::string& path) {
        try {
            return kavrin::removeIfThere(m_fs, path);
        } catch (const std::exception&) {
            return false;  // left for the next commit (or, for a journal, the next open)
        }
    }

    void removeTemporaries(std::size_t first) {
        for (std::size_t i = first; i < m_temporaries.size(); ++i) {
            removeIfThere(m_temporaries[i]);
        }
    }

    // The files as they were opened, the bytes of the backup, are still in memory.
    [[noreturn]] void restore(std::size_t replaced, const FileImages& oldFiles,
                              const std::string& cause) {
        // The new files not yet in place go first: from then on the journal can only lead the
        // next open to undo the commit, as this one does.
        removeTemporaries(replaced);
        std::string restoreFailure;
        for (std::size_t i = 0; i < replaced; ++i) {
            try {
                const auto parts = fileParts(oldFiles[i]);
                replaceFile(m_fs, m_temporaries[i], m_targets[i], parts);
            } catch (const std::exception& e) {
                restoreFailure = e.what();
                break;
            }
        }
        if (restoreFailure.empty()) {
            try {
                m_fs.syncDirectory(m_folder);
            } catch (const std::exception& e) {
                restoreFailure = e.what();
            }
        }
        if (restoreFailure.empty()) {
            removeIfThere(journalPath(m_folder));  // else the next open finds nothing to undo
            throw KavrinError(cause +
                              " The database files were put back as they were before the "
                              "commit, from the backup folder \"" +
                              m_backupFolder + "\".");
        }
        throw KavrinError(cause + " The database files could not be put back (" + restoreFailure +
                          "); the backup folder \"" + m_backupFolder +
                          "\" holds the database as it was before the commit.");
    }

    FileSystem& m_fs;
    LogSink& m_log;
    std::string m_folder;
    std::array<std::string, 3> m_targets;
    std::array<FileStatus, 3> m_originals;
    std::string m_backupFolder;
    std::array<std::string, 3> m_temporaries;
};

// The three files byte for byte as the open read them, each behind its own header.
FileImages openedFiles(const DatabaseContext& ctx) {
    return {FileImage{&ctx.Header, &ctx.NodesMS}, FileImage{&ctx.InstallHeader, &ctx.InstallsMS},
            FileImage{&ctx.TitleHeader, &ctx.TitlesMS}};
}

}  // namespace

std::string MaintenanceEngine::BackupDatabase() {
    const std::string folder =
        createBackupFolder(m_fs, m_ctx.DatabaseFolder, TimeStampText(m_clock));
    m_view.log("Creating backup directory : " + folder);
    const FileImages files = openedFiles(m_ctx);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SaveDatabaseFile(m_fs, m_view, joinPath(folder, kSaveNames[i]), *files[i].header,
                         *files[i].body, {{}, true});
    }
    // A commit relies on the backup to put the files back: it must survive a crash as well.
    m_fs.syncDirectory(folder);
    m_fs.syncDirectory(m_ctx.DatabaseFolder);
    return folder;
}

void MaintenanceEngine::CommitDatabase() {
    if (isPumping()) {
        return;
    }
    m_view.selectPage(Page::Log);
    m_view.setBusy(true);

    std::optional<CommitClaim> claim;
    std::optional<NodeList::BulkUpdate> bulk;
    std::unique_ptr<CompactedBodies> compacted;
    try {
        if (!m_ctx.IsOpen) {
            throw KavrinError("No database is open.");
        }
        // One commit at a time: from before the check for changes until the journal is gone.
        claim.emplace(CommitClaim::take(m_fs, m_view, m_clock, m_ctx.DatabaseFolder));
        requireUnchanged(m_fs, m_openedPaths, m_openedFiles);
        requireNoJournal(m_fs, m_ctx.DatabaseFolder);
        removeLeftovers(m_fs, m_ctx.DatabaseFolder);
        const std::string backupFolder = BackupDatabase();

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
        compacted = std::make_unique<CompactedBodies>(
            compactBodies(m_ctx.NodesMS.span(), m_ctx.InstallsMS.span(), m_ctx.TitlesMS.span(),
                          entries, reporter));
        entries = {};

        m_view.log("Commiting to Database...");
        DatabaseReplacement replacement(m_fs, m_view, m_ctx.DatabaseFolder, m_openedPaths,
                                        m_openedFiles, backupFolder);
        // The new files all carry the node file's header, the database's own.
        const DatabaseHeader& header = m_ctx.Header;
        replacement.run({FileImage{&header, &compacted->NewNodesMS},
                         FileImage{&header, &compacted->NewInstallsMS},
                         FileImage{&header, &compacted->NewTitlesMS}},
                        openedFiles(m_ctx),
                        [this] { requireUnchanged(m_fs, m_openedPaths, m_openedFiles); });
    } catch (const std::bad_alloc&) {
        const std::string message = "Out of memory while committing the database.";
        m_view.log(message);
        m_view.showError(message);
    } catch (const std::exception& e) {
        m_view.log(e.what());
        m_view.showError(e.what());
    }

    compacted.reset();
    bulk.reset();
    if (claim) {
        claim->release();
    }
    CloseDatabase();
    m_view.hideProgressArea();
    m_view.setBusy(false);
}

}  // namespace kavrin
