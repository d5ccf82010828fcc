#include <optional>
#include <string>

#include "engine/MaintenanceEngine.h"
#include "engine/backup/BackupFolder.h"
#include "engine/check/DatabaseCheck.h"
#include "engine/commit/CommitClaim.h"
#include "engine/commit/OpenedFiles.h"
#include "engine/commit/Replacement.h"
#include "support/platform/Errors.h"

namespace kavrin {

ReplaceResult MaintenanceEngine::RestoreBackup(const std::string& backup) {
    return runReplacing(
        "Out of memory while restoring the database.", OnNotDone::Close,
        [&](ReplaceResult& result, std::optional<CommitClaim>& claim) {
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
                                                         m_ctx.DatabaseFolder + " from " +
                                                         image.folder,
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
        });
}

}  // namespace kavrin
