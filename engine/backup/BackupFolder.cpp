#include "engine/backup/BackupFolder.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "dbformat/Layout.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

namespace {

constexpr const char* kFileNames[] = {filename::kNodeSave, filename::kInstallSave,
                                      filename::kTitleSave};
// A summary is a few hundred bytes; a larger file of that name is not one of ours.
constexpr std::uint64_t kMaxSummarySize = 64 * 1024;

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

int number(std::string_view digits) {
    int value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// "yyyymmdd-hhnnss", then "-N" for the N-th folder of that second (the first has no number).
bool parseBackupName(std::string_view name, LocalTime& time, int& nth) {
    if (name.size() < 15 || name[8] != '-' || !allDigits(name.substr(0, 8)) ||
        !allDigits(name.substr(9, 6))) {
        return false;
    }
    nth = 1;
    if (name.size() > 15) {
        const std::string_view suffix = name.substr(16);
        if (name[15] != '-' || !allDigits(suffix) || suffix.size() > 6) {
            return false;
        }
        nth = number(suffix);
    }
    time = {number(name.substr(0, 4)),
            number(name.substr(4, 2)),
            number(name.substr(6, 2)),
            number(name.substr(9, 2)),
            number(name.substr(11, 2)),
            number(name.substr(13, 2)),
            0};
    return time.month >= 1 && time.month <= 12 && time.day >= 1 && time.day <= 31 &&
           time.hour <= 23 && time.minute <= 59 && time.second <= 59;
}

std::string hex8(std::uint32_t value) {
    return formatText("0x%08X", value);
}

std::string checkLine(const std::string& name, const FileCheck& check) {
    return name + " : " + std::to_string(check.size) + " bytes, CRC-32 " + hex8(check.crc);
}

[[noreturn]] void refuse(const std::string& folder, const std::string& reason) {
    throw KavrinError("The backup \"" + folder + "\" cannot be restored: " + reason +
                      ". Nothing was written.");
}

std::string readSmallText(FileSystem& fs, const std::string& path) {
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory || status.size > kMaxSummarySize) {
        return {};
    }
    const FileBytes bytes = fs.readFile(path);
    return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

}  // namespace

std::string backupSummaryText(const std::string& madeBy, Clock& clock,
                              const std::array<FileCheck, 3>& files,
                              const std::vector<std::string>& details) {
    std::string version;
    std::string computer;
    try {
        version = FileVersionText(RunningProgramPath());
    } catch (const std::exception&) {
        version = "(version unknown)";
    }
    try {
        computer = LocalComputerName();
    } catch (const std::exception&) {
        computer = "(unknown)";
    }
    const LocalTime t = clock.now();
    std::vector<std::string> lines = {
        "KavrinServer Database Tool " + version,
        madeBy,
        "Computer : " + computer,
        formatText("Time : %04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                   t.second),
    };
    for (std::size_t file = 0; file < files.size(); ++file) {
        lines.push_back(checkLine(kFileNames[file], files[file]));
    }
    lines.insert(lines.end(), details.begin(), details.end());
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::array<std::optional<FileCheck>, 3> summaryChecks(std::string_view text) {
    std::array<std::optional<FileCheck>, 3> checks;
    for (std::size_t end; (end = text.find("\r\n")) != std::string_view::npos;
         text.remove_prefix(end + 2)) {
        const std::string_view line = text.substr(0, end);
        for (std::size_t file = 0; file < checks.size(); ++file) {
            const std::string prefix = std::string(kFileNames[file]) + " : ";
            constexpr std::string_view kMiddle = " bytes, CRC-32 0x";
            if (!line.starts_with(prefix)) {
                continue;
            }
            const std::string_view rest = line.substr(prefix.size());
            const std::size_t middle = rest.find(kMiddle);
            if (middle == std::string_view::npos || !allDigits(rest.substr(0, middle)) ||
                middle > 19) {
                continue;
            }
            const std::string_view hex = rest.substr(middle + kMiddle.size());
            if (hex.size() != 8 || !std::all_of(hex.begin(), hex.end(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                })) {
                continue;
            }
            FileCheck check;
            check.size = std::stoull(std::string(rest.substr(0, middle)));
            check.crc = static_cast<std::uint32_t>(std::stoul(std::string(hex), nullptr, 16));
            checks[file] = check;
        }
    }
    return checks;
}

std::vector<BackupFolderInfo> listBackupFolders(FileSystem& fs, const std::string& databaseFolder) {
    struct Found {
        BackupFolderInfo info;
        int nth;
    };
    std::vector<Found> found;
    for (const std::string& name : fs.listDirectory(databaseFolder)) {
        Found entry;
        if (!parseBackupName(name, entry.info.time, entry.nth)) {
            continue;
        }
        entry.info.name = name;
        entry.info.path = joinPath(databaseFolder, name);
        if (!fs.status(entry.info.path).isDirectory) {
            continue;
        }
        for (std::size_t file = 0; file < 3; ++file) {
            const FileStatus status =
                fs.status(locateFile(fs, joinPath(entry.info.path, kFileNames[file])));
            if (status.exists && !status.isDirectory) {
                entry.info.sizes[file] = status.size;
            }
        }
        if (entry.info.sizes[0] && *entry.info.sizes[0] >= header::kSize) {
            entry.info.nodeRecords = (*entry.info.sizes[0] - header::kSize) / node::kSize;
        }
        found.push_back(std::move(entry));
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        const std::string stampA = a.info.name.substr(0, 15);
        const std::string stampB = b.info.name.substr(0, 15);
        return stampA != stampB ? stampA > stampB : a.nth > b.nth;
    });
    std::vector<BackupFolderInfo> result;
    for (Found& entry : found) {
        result.push_back(std::move(entry.info));
    }
    return result;
}

BackupImage loadBackup(FileSystem& fs, LogSink& log, const std::string& databaseFolder,
                       const std::string& backup) {
    BackupImage image;
    image.folder = backup.find_first_of("/\\") == std::string::npos && !backup.empty()
                       ? joinPath(databaseFolder, backup)
                       : backup;
    const std::string& folder = image.folder;
    const FileStatus status = fs.status(folder);
    if (!status.exists || !status.isDirectory) {
        refuse(folder, "there is no such folder");
    }
    std::array<std::string, 3> paths;
    for (std::size_t file = 0; file < paths.size(); ++file) {
        paths[file] = locateFile(fs, joinPath(folder, kFileNames[file]));
        const FileStatus found = fs.status(paths[file]);
        if (!found.exists || found.isDirectory) {
            refuse(folder, std::string("it holds no file ") + kFileNames[file]);
        }
        if (found.size < header::kSize) {
            refuse(folder, std::string(kFileNames[file]) +
                               " is shorter than the 230-byte header "
                               "of a database file: it is torn");
        }
    }
    const std::array<std::optional<FileCheck>, 3> expected =
        summaryChecks(readSmallText(fs, joinPath(folder, kSummaryName)));
    MemoryStream scratch;
    for (std::size_t file = 0; file < paths.size(); ++file) {
        try {
            image.headers[file] = LoadDatabaseFile(fs, log, joinPath(folder, kFileNames[file]),
                                                   scratch, image.bodies[file], paths[file]);
        } catch (const KavrinError& e) {
            refuse(folder, e.what());
        }
        const std::span<const std::uint8_t> parts[] = {
            std::span<const std::uint8_t>(image.headers[file].bytes), image.bodies[file].span()};
        image.checks[file] = checkOf(parts);
        if (expected[file] && *expected[file] != image.checks[file]) {
            refuse(folder, checkLine(kFileNames[file], image.checks[file]) +
                               ", but its summary.txt says " +
                               checkLine(kFileNames[file], *expected[file]) +
                               ": the backup is torn or was changed since");
        }
    }
    try {
        ValidateHeader(image.headers[0]);
    } catch (const KavrinError& e) {
        refuse(folder, std::string(kFileNames[0]) + " is not a database this tool opens (" +
                           e.what() + ")");
    }
    return image;
}

}  // namespace kavrin
