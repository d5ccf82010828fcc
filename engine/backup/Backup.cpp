#include <algorithm>
#include <exception>
#include <string>

#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/backup/BackupFolder.h"
#include "engine/check/DatabaseCheck.h"
#include "engine/commit/OpenedFiles.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/Crc32.h"

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
        // What keeps the database folder from being made keeps the backup folder from it too,
        // and the creation below says why.
    }
    for (int attempt = 1; attempt <= kBackupFolderAttempts; ++attempt) {
        const std::string candidate = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        // A folder that cannot be made (a read-only database folder) is the error, naming it and
        // the reason, rather than a backup file that was not found.
        if (fs.createDirectory(candidate)) {
            return candidate;
        }
    }
    throw KavrinError("Cannot create backup directory : " + base + ": every name up to -" +
                      std::to_string(kBackupFolderAttempts) + " is taken.");
}

}  // namespace

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

MaintenanceEngine::FileContents MaintenanceEngine::openedContents() const {
    const FileImages files = openedFiles(m_ctx);
    FileContents contents;
    for (std::size_t i = 0; i < files.size(); ++i) {
        contents[i] = fileParts(files[i]);
    }
    return contents;
}

MaintenanceEngine::BackupFiles MaintenanceEngine::openedBackupFiles(bool pump) {
    return {openedContents(), openedChecks(pump), m_openedPaths, m_openedFiles, m_openedSinceNs};
}

void MaintenanceEngine::saveBackupFile(const BackupFiles& files, std::size_t i,
                                       const std::string& path, bool pump) {
    const FileProgress progress = pump ? pumpingProgress() : FileProgress();
    const FileCheck& kept = files.checks[i];
    if (files.inPlace) {
        const std::string& source = (*files.inPlace)[i];
        const FileCopy copy = m_fs.copyFile(source, path, true, progress);
        // The copy holds the bytes kept when it has their size, the file it was made from is
        // as it was when they were read, and its CRC-32 is theirs: as the bytes passed through
        // this program, or read back where that crosses no network. A server's own copy of an
        // unchanged file is taken as it is, and so is a clone of a file whose unchanged status
        // proves it unwritten since it was read: a clone is the source's bytes, whole.
        const FileStatus now = m_fs.status(source);
        bool holds = copy.size == kept.size && now == files.statuses[i];
        if (holds && copy.crc) {
            holds = *copy.crc == kept.crc;
        } else if (holds && !isSharePath(path) &&
                   (copy.method == CopyMethod::InSystem ||
                    (copy.method == CopyMethod::Cloned &&
                     !statusProvesContent(now, files.readSinceNs)))) {
            holds = checkFileOnDisk(m_fs, path) == kept;
        }
        if (holds) {
            return;
        }
        m_view.log("The file changed on disk since it was read; its bytes as read are saved : " +
                   path);
    }
    m_fs.writeFile(path, files.contents[i], true, progress);
}

std::string MaintenanceEngine::writeBackup(const std::string& databaseFolder,
                                           const BackupFiles& files, const BackupExtras& extras,
                                           bool pump) {
    const std::string folder = createBackupFolder(m_fs, databaseFolder, TimeStampText(m_clock));
    m_view.log("Creating backup directory : " + folder);
    for (std::size_t i = 0; i < files.contents.size(); ++i) {
        const std::string path = joinPath(folder, kSaveNames[i]);
        m_view.log("Saving : " + path);
        saveBackupFile(files, i, path, pump);
    }
    for (const auto& [name, make] : extras(files.checks)) {
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
    m_fs.syncDirectory(databaseFolder);
    return folder;
}

BackupResult MaintenanceEngine::BackupDatabase() {
    BackupResult result;
    try {
        result.folder = writeBackup(
            m_ctx.DatabaseFolder, openedBackupFiles(false),
            [this](const std::array<FileCheck, 3>& checks) {
                return BackupExtraFiles{{kSummaryName, [this, checks] {
                                             return backupSummaryText(
                                                 "Backup of " + m_ctx.DatabaseFolder + " as opened",
                                                 m_clock, checks, {});
                                         }}};
            },
            false);
        result.done = true;
    } catch (const std::exception& e) {
        result.message = e.what();
    }
    return result;
}

std::vector<BackupFolderInfo> MaintenanceEngine::BackupFolders() const {
    return listBackupFolders(m_fs, restoreFolder());
}

std::string MaintenanceEngine::restoreFolder() const {
    return m_ctx.IsOpen ? m_ctx.DatabaseFolder : ResolveDatabaseFolder();
}

bool MaintenanceEngine::locationHasBackups() const {
    try {
        return !BackupFolders().empty();
    } catch (const std::exception&) {
        return false;  // a folder that cannot be listed offers nothing to restore
    }
}

}  // namespace kavrin
