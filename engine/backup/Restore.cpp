#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/backup/BackupFolder.h"
#include "engine/check/DatabaseCheck.h"
#include "engine/commit/CommitClaim.h"
#include "engine/commit/OpenedFiles.h"
#include "engine/commit/Replacement.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/Process.h"

namespace kavrin {

namespace {

constexpr std::array<const char*, 3> kSaveNames = {filename::kNodeSave, filename::kInstallSave,
                                                   filename::kTitleSave};

// The three files a restore replaces, where they are and what they hold.
struct FilesInPlace {
    std::array<std::string, 3> paths;
    std::array<FileStatus, 3> statuses{};
    std::array<FileBytes, 3> raw;  // read as they are, when no open read them
};

// The files of `folder` read as they are, under the restore's claim: a file too short for its
// header, or one that is not a database at all, is kept byte for byte; a missing one is empty.
// Throws when one cannot be read or changes while it is read (another program writing).
FilesInPlace readFilesInPlace(FileSystem& fs, LogSink& log, const std::string& folder) {
    FilesInPlace files;
    for (std::size_t i = 0; i < kSaveNames.size(); ++i) {
        files.paths[i] = locateFile(fs, joinPath(folder, kSaveNames[i]));
        files.statuses[i] = fs.status(files.paths[i]);
        if (files.statuses[i].isDirectory) {
            throw KavrinError("\"" + files.paths[i] +
                              "\" is a folder, not a database file. Nothing was written.");
        }
        if (!files.statuses[i].exists) {
            continue;
        }
        log.log("Loading : " + files.paths[i]);
        files.raw[i] = fs.readFile(files.paths[i]);
        if (fs.status(files.paths[i]) != files.statuses[i] ||
            files.raw[i].size != files.statuses[i].size) {
            throw KavrinError("The database file \"" + files.paths[i] +
                              "\" changed while it was read; another program is writing to the "
                              "database. Nothing was written.");
        }
    }
    return files;
}

}  // namespace

ReplaceResult MaintenanceEngine::RestoreBackup(const std::string& backup) {
    return runReplacing(
        "Out of memory while restoring the database.", OnNotDone::Close,
        [&](ReplaceResult& result, std::optional<CommitClaim>& claim) {
            const std::string folder = restoreFolder();
            m_view.log("Restoring the database from the backup : " + backup);
            // Checked whole before anything is written; refused, it writes nothing at all.
            const BackupImage image = loadBackup(m_fs, m_view, folder, backup);
            claim.emplace(CommitClaim::take(m_fs, m_view, m_clock, folder));
            // Without an open database the files in place are read now, as they are: they need
            // not load to be kept.
            FilesInPlace inPlace;
            BackupFiles files;
            if (m_ctx.IsOpen) {
                inPlace.paths = m_openedPaths;
                inPlace.statuses = m_openedFiles;
                requireUnchanged(m_fs, inPlace.paths, inPlace.statuses);
            } else {
                inPlace = readFilesInPlace(m_fs, m_view, folder);
                for (std::size_t i = 0; i < files.contents.size(); ++i) {
                    files.contents[i] = {std::span<const std::uint8_t>(inPlace.raw[i].data.get(),
                                                                       inPlace.raw[i].size),
                                         {}};
                    files.checks[i] = checkOf(files.contents[i]);
                }
            }
            requireNoJournal(m_fs, folder);
            removeTemporaryFiles(m_fs, folder);
            // The files the restore replaces are backed up first, so that it can be undone in turn.
            if (m_ctx.IsOpen) {
                files = openedBackupFiles(true);
            }
            const std::array<FileCheck, 3>& checks = files.checks;
            result.backupFolder = writeBackup(
                folder, files,
                [&](const std::array<FileCheck, 3>& opened) {
                    return BackupExtraFiles{{kSummaryName, [&, opened] {
                                                 return backupSummaryText(
                                                     "Backup made before a restore of " + folder +
                                                         " from " + image.folder,
                                                     m_clock, opened, {});
                                             }}};
                },
                true);

            m_view.log("Commiting to Database...");
            DatabaseReplacement replacement(m_fs, m_view, folder, inPlace.paths, inPlace.statuses,
                                            checks, result.backupFolder, "restore",
                                            pumpingProgress());
            replacement.run(
                {newFileOf({&image.headers[0], &image.bodies[0]}),
                 newFileOf({&image.headers[1], &image.bodies[1]}),
                 newFileOf({&image.headers[2], &image.bodies[2]})},
                [&files](std::size_t file, FileSink& sink) {
                    for (const std::span<const std::uint8_t> part : files.contents[file]) {
                        sink.write(part);
                    }
                },
                [&] { requireUnchanged(m_fs, inPlace.paths, inPlace.statuses); },
                [&](const std::array<FileCheck, 3>& written) {
                    return checkRestoredDatabase(m_fs, inPlace.paths, written);
                });
            m_view.log("Restored : the database holds the files of the backup \"" + image.folder +
                       "\"; the files it replaced are in the backup \"" + result.backupFolder +
                       "\".");
        });
}

std::string MaintenanceEngine::folderWriteProblem() {
    const std::string folder = restoreFolder();
    // Unique among the processes of every computer that reaches the folder, and never a name
    // the database or a commit uses.
    static std::atomic<unsigned> probes{0};
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string probe =
        joinPath(folder, "Kavrin.probe-" + std::to_string(currentProcessId()) + "-" +
                             std::to_string(++probes) + "-" + std::to_string(tick % 1000000000));
    try {
        m_fs.writeFile(probe, std::span<const std::span<const std::uint8_t>>(), false);
    } catch (const std::exception& e) {
        // A write that failed after it created the file leaves none behind either.
        try {
            if (m_fs.status(probe).exists) {
                m_fs.remove(probe);
            }
        } catch (const std::exception&) {
        }
        const std::string message = e.what();
        const std::string named = "\"" + probe + "\". ";
        const std::size_t at = message.find(named);
        return "The database folder cannot be written : " + folder + " (" +
               (at == std::string::npos ? message : message.substr(at + named.size())) + ")";
    }
    try {
        m_fs.remove(probe);
    } catch (const std::exception& e) {
        return "The database folder cannot be written : " + folder + " (" + e.what() + ")";
    }
    return {};
}

}  // namespace kavrin
