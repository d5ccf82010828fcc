#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/Compaction.h"
#include "engine/MaintenanceEngine.h"
#include "support/Errors.h"
#include "support/Paths.h"
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

class ViewReporter final : public CompactionReporter {
public:
    ViewReporter(MainView& view, std::function<void()> pump) : m_view(view), m_pump(std::move(pump)) {}
    void setPosition(int percent) override { m_view.setProgressPosition(percent); }
    void pump() override { m_pump(); }
    void titlePassStarting() override { m_view.log("Re-indexing Title - Installs..."); }

private:
    MainView& m_view;
    std::function<void()> m_pump;
};

using Bodies = std::array<const MemoryStream*, 3>;

// Every change a commit makes to the database files happens here, in this order:
//   1. each new file is written whole, and flushed, under a temporary name in the database folder;
//   2. the folder's entries are made durable and the files are checked once more for changes;
//   3. the temporary files are renamed over the originals, and the folder made durable again.
// A failure in 1 or 2 leaves the originals as they were and removes the temporary files. Three
// renames are not one atomic step: a failure in 3 after a file was replaced puts the replaced
// files back with the bytes of the backup, so that the files always belong together.
class DatabaseReplacement {
public:
    DatabaseReplacement(FileSystem& fs, LogSink& log, const std::string& folder,
                        const std::array<std::string, 3>& targets, const std::string& backupFolder)
        : m_fs(fs), m_log(log), m_folder(folder), m_targets(targets), m_backupFolder(backupFolder) {
        for (std::size_t i = 0; i < kSaveNames.size(); ++i) {
            m_temporaries[i] = joinPath(folder, std::string(kSaveNames[i]) + ".new");
        }
    }

    // `stillUnchanged` throws when the originals must not be replaced after all.
    void run(const DatabaseHeader& header, const Bodies& newBodies, const Bodies& oldBodies,
             const std::function<void()>& stillUnchanged) {
        try {
            for (std::size_t i = 0; i < newBodies.size(); ++i) {
                m_started = i + 1;
                SaveDatabaseFile(m_fs, m_log, joinPath(m_folder, kSaveNames[i]), header,
                                 *newBodies[i], {m_temporaries[i], true});
            }
            m_fs.syncDirectory(m_folder);
            stillUnchanged();
        } catch (const std::exception&) {
            removeTemporaries(0);
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
                removeTemporaries(0);
                throw;
            }
            restore(replaced, header, oldBodies, e.what());
        }
    }

private:
    void removeTemporaries(std::size_t first) noexcept {
        for (std::size_t i = first; i < m_started; ++i) {
            try {
                m_fs.remove(m_temporaries[i]);
            } catch (const std::exception&) {
                // Left for the next commit, which writes over it.
            }
        }
    }

    // The backup holds each body behind the held header; those bytes are still in memory.
    [[noreturn]] void restore(std::size_t replaced, const DatabaseHeader& header,
                              const Bodies& oldBodies, const std::string& cause) {
        removeTemporaries(replaced);
        std::string restoreFailure;
        for (std::size_t i = 0; i < replaced; ++i) {
            try {
                const std::span<const std::uint8_t> parts[] = {
                    std::span<const std::uint8_t>(header.bytes.data(), header.bytes.size()),
                    oldBodies[i]->span()};
                m_fs.writeFile(m_temporaries[i], parts, true);
                m_fs.rename(m_temporaries[i], m_targets[i]);
            } catch (const std::exception& e) {
                restoreFailure = e.what();
                try {
                    m_fs.remove(m_temporaries[i]);
                } catch (const std::exception&) {
                }
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
    std::string m_backupFolder;
    std::array<std::string, 3> m_temporaries;
    std::size_t m_started = 0;  // temporary files that may exist
};

}  // namespace

std::string MaintenanceEngine::BackupDatabase() {
    const std::string folder =
        createBackupFolder(m_fs, m_ctx.DatabaseFolder, TimeStampText(m_clock));
    m_view.log("Creating backup directory : " + folder);
    const Bodies bodies = {&m_ctx.NodesMS, &m_ctx.InstallsMS, &m_ctx.TitlesMS};
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        SaveDatabaseFile(m_fs, m_view, joinPath(folder, kSaveNames[i]), m_ctx.Header, *bodies[i],
                         {{}, true});
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

    bool bulkBegun = false;
    std::unique_ptr<CompactedBodies> compacted;
    try {
        if (!m_ctx.IsOpen) {
            throw KavrinError("No database is open.");
        }
        requireUnchanged(m_fs, m_openedPaths, m_openedFiles);
        const std::string backupFolder = BackupDatabase();

        m_view.setActionCaption("Re-indexing");
        m_view.showProgressBar();
        m_view.showProgressArea();
        m_nodes.beginUpdate();
        bulkBegun = true;

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
                                        backupFolder);
        replacement.run(
            m_ctx.Header,
            {&compacted->NewNodesMS, &compacted->NewInstallsMS, &compacted->NewTitlesMS},
            {&m_ctx.NodesMS, &m_ctx.InstallsMS, &m_ctx.TitlesMS},
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
    if (bulkBegun) {
        m_nodes.endUpdate();
    }
    CloseDatabase();
    m_view.hideProgressArea();
    m_view.setBusy(false);
}

}  // namespace kavrin
