#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbformat/DatabaseFile.h"
#include "dbformat/MemoryStream.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"
#include "support/text/Crc32.h"

namespace kavrin {

// The backup folders of a database: <DatabaseFolder>/<yyyymmdd-hhnnss>[-N], each holding the
// three files as they were opened and `summary.txt`, which names the tool, the computer, the
// time, what made the backup and the size and CRC-32 of each of the three files; a backup a
// commit made also holds `manifest.csv` and `offsets.csv` (engine/check/CommitPreview.h).

constexpr const char* kSummaryName = "summary.txt";
constexpr const char* kManifestName = "manifest.csv";
constexpr const char* kOffsetsName = "offsets.csv";

// The text of summary.txt: "KavrinServer Database Tool <version>", the line `madeBy`, the
// computer and the time, one check line per file ("Kavrin.cmp : 4055 bytes, CRC-32 0x1A2B3C4D"),
// then `details`, each line ended by CR LF.
std::string backupSummaryText(const std::string& madeBy, Clock& clock,
                              const std::array<FileCheck, 3>& files,
                              const std::vector<std::string>& details);

// The checks a summary.txt holds, by file; a line that is not whole (a summary cut short) gives
// none.
std::array<std::optional<FileCheck>, 3> summaryChecks(std::string_view text);

// A backup folder as the "Restore Backup..." list shows it.
struct BackupFolderInfo {
    std::string name;  // "20240822-153007" or "20240822-153007-2"
    std::string path;
    LocalTime time;                                     // from the name
    std::array<std::optional<std::uint64_t>, 3> sizes;  // of each file; none when missing
    std::optional<std::uint64_t> nodeRecords;           // from the node file's size
};

// The backup folders of `databaseFolder`, newest first (by the time in the name, then by its
// number). Anything else there is left out. Reads no file, only the folder and the files' sizes.
std::vector<BackupFolderInfo> listBackupFolders(FileSystem& fs, const std::string& databaseFolder);

// The three files of a backup, loaded whole and checked, as a restore writes them back.
struct BackupImage {
    std::string folder;
    std::array<DatabaseHeader, 3> headers;
    std::array<MemoryStream, 3> bodies;
    std::array<FileCheck, 3> checks;
};

// The backup named `backup`: a folder path, or the name of a backup folder inside
// `databaseFolder` (a name without a separator). Refuses with KavrinError "The backup \"X\"
// cannot be restored: <reason>. Nothing was written." a folder that is not there, a file that is
// missing or shorter than its header, a node file that is not of this database's type and
// version, and a file whose size or CRC-32 differs from its summary.txt (torn or changed).
// Memory: the backup's three files whole.
BackupImage loadBackup(FileSystem& fs, LogSink& log, const std::string& databaseFolder,
                       const std::string& backup);

}  // namespace kavrin
