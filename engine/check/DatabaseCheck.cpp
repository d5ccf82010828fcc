#include "engine/check/DatabaseCheck.h"

#include <cmath>
#include <cstring>
#include <unordered_set>

#include "dbformat/Layout.h"
#include "engine/commit/Journal.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

constexpr std::size_t kDuplicateExamples = 5;

// Cuts one file, given block by block, into its header and whole records, handing each record
// to `onRecord` where it lies (in the block, or gathered when it spans two); counts and checks
// every byte on the way.
template <typename OnRecord>
class RecordCutter {
public:
    RecordCutter(std::size_t recordSize, OnRecord onRecord)
        : m_recordSize(recordSize), m_onRecord(onRecord), m_partial(recordSize) {}

    void feed(std::span<const std::uint8_t> block) {
        check.size += block.size();
        check.crc = crc32(block, check.crc);
        while (!block.empty()) {
            if (m_headerFill < header::kSize) {
                const std::size_t n = std::min(block.size(), header::kSize - m_headerFill);
                std::memcpy(header.bytes.data() + m_headerFill, block.data(), n);
                m_headerFill += n;
                block = block.subspan(n);
                continue;
            }
            if (m_partialFill > 0 || block.size() < m_recordSize) {
                const std::size_t n = std::min(block.size(), m_recordSize - m_partialFill);
                std::memcpy(m_partial.data() + m_partialFill, block.data(), n);
                m_partialFill += n;
                block = block.subspan(n);
                if (m_partialFill == m_recordSize) {
                    m_partialFill = 0;
                    record(m_partial.data());
                }
                continue;
            }
            const std::size_t whole = block.size() / m_recordSize;
            for (std::size_t i = 0; i < whole; ++i) {
                record(block.data() + i * m_recordSize);
            }
            block = block.subspan(whole * m_recordSize);
        }
    }

    bool headerWhole() const { return m_headerFill == header::kSize; }
    std::uint64_t trailingBytes() const { return m_partialFill; }

    FileCheck check;
    DatabaseHeader header;
    std::uint64_t records = 0;

private:
    void record(const std::uint8_t* bytes) {
        m_onRecord(records * m_recordSize, bytes);
        ++records;
    }

    std::size_t m_recordSize;
    OnRecord m_onRecord;
    std::size_t m_headerFill = 0;
    std::vector<std::uint8_t> m_partial;
    std::size_t m_partialFill = 0;
};

// With `kept`, the file is read whole into it and checked there; otherwise a block at a time.
template <typename OnRecord>
void readRecords(FileSystem& fs, const std::string& path, std::size_t recordSize, OnRecord onRecord,
                 DatabaseScan& scan, std::size_t file, const FileProgress& progress,
                 std::uint64_t expected, std::array<FileBytes, 3>* kept) {
    RecordCutter<OnRecord> cutter(recordSize, onRecord);
    if (kept != nullptr) {
        FileBytes& bytes = (*kept)[file];
        bytes = fs.readFile(path, [&](std::uint64_t done, std::uint64_t) {
            if (progress) {
                progress(done, expected);
            }
        });
        cutter.feed({bytes.data.get(), bytes.size});
    } else {
        fs.readFileInBlocks(path, [&](std::span<const std::uint8_t> block) {
            cutter.feed(block);
            if (progress) {
                progress(cutter.check.size, expected);
            }
        });
    }
    scan.files[file] = cutter.check;
    scan.headers[file] = cutter.header;
    scan.headerWhole[file] = cutter.headerWhole();
    scan.records[file] = cutter.records;
    scan.trailingBytes[file] = cutter.trailingBytes();
}

// What a node record is to the installs that name it.
enum NodeKind : std::uint8_t { kActive, kInactive, kEmpty };

std::string checkText(const FileCheck& check) {
    return std::to_string(check.size) + " bytes, CRC-32 " + formatText("0x%08X", check.crc);
}

constexpr const char* kRewritten = "rewritten";
constexpr const char* kRestored = "restored";

[[noreturn]] void checkFailed(const char* which, const std::string& what) {
    throw KavrinError(std::string("The check of the ") + which + " database failed: " + what + ".");
}

// Each file is byte for byte what was written.
void requireWritten(const char* which, const std::array<std::string, 3>& paths,
                    const std::array<FileCheck, 3>& found,
                    const std::array<FileCheck, 3>& written) {
    for (std::size_t file = 0; file < paths.size(); ++file) {
        if (found[file] != written[file]) {
            checkFailed(which, "\"" + paths[file] + "\" on the disk is not the file written (" +
                                   checkText(found[file]) +
                                   "; written: " + checkText(written[file]) + ")");
        }
    }
}

// Field problems of one header; `whose` names the file.
void headerProblems(const DatabaseHeader& h, const std::string& whose,
                    std::vector<std::string>& out) {
    const std::string at = "Header of " + whose + " : ";
    if (h.dbType() != 1) {
        out.push_back(at + "DbType is " + std::to_string(h.dbType()) + ", not 1");
    }
    if (h.dbVersion() != 2) {
        out.push_back(at + "DbVersion is " + std::to_string(h.dbVersion()) + ", not 2");
    }
    if (h.bytes[header::kDbName] > header::kDbNameCapacity) {
        out.push_back(at + "the length of DbName is " + std::to_string(h.bytes[header::kDbName]) +
                      ", more than 64");
    }
    if (h.bytes[header::kDbComment] > header::kDbCommentCapacity) {
        out.push_back(at + "the length of DbComment is " +
                      std::to_string(h.bytes[header::kDbComment]) + ", more than 128");
    }
    const std::pair<const char*, double> dates[] = {
        {"Created", h.created()}, {"Updated", h.updated()}, {"Upgraded", h.upgraded()}};
    for (const auto& [name, value] : dates) {
        DateTimeParts parts;
        // Below 1.0 a header date counts as not set; a NaN or an infinity is no date at all.
        if (std::isnan(value) || std::isinf(value) ||
            (value >= 1.0 && !decodeDateTime(value, parts))) {
            out.push_back(at + name + " is no date");
        }
    }
}

void addCount(std::vector<std::string>& out, const std::string& label, std::uint64_t count) {
    if (count > 0) {
        out.push_back(label + " : " + std::to_string(count));
    }
}

}  // namespace

FileCheck checkFileOnDisk(FileSystem& fs, const std::string& path) {
    FileCheck check;
    fs.readFileInBlocks(path, [&check](std::span<const std::uint8_t> block) {
        check.size += block.size();
        check.crc = crc32(block, check.crc);
    });
    return check;
}

DatabaseScan scanDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                          const FileProgress& progress,
                          const std::array<std::uint64_t, 3>& expected, bool countNames,
                          std::array<FileBytes, 3>* kept) {
    DatabaseScan scan;

    std::vector<std::uint8_t> nodeKinds;
    std::unordered_set<std::string> names;
    readRecords(
        fs, paths[kNodeFile], node::kSize,
        [&](std::uint64_t, const std::uint8_t* bytes) {
            const NodeRecordView record(bytes);
            if (record.isNullRecord()) {
                ++scan.emptyNodes;
                nodeKinds.push_back(kEmpty);
                return;
            }
            nodeKinds.push_back(record.inactive() == 0 ? kActive : kInactive);
            scan.inactiveNodes += record.inactive() == 0 ? 0 : 1;
            if (countNames && !names.insert(ansiFoldKey(record.nodeNameAsName())).second) {
                ++scan.duplicateNames;
                if (scan.duplicateExamples.size() < kDuplicateExamples) {
                    scan.duplicateExamples.push_back(ansiToUtf8(record.nodeNameAsName()));
                }
            }
        },
        scan, kNodeFile, progress, expected[kNodeFile], kept);
    names = {};

    readRecords(
        fs, paths[kTitleFile], title::kSize, [](std::uint64_t, const std::uint8_t*) {}, scan,
        kTitleFile, progress, expected[kTitleFile], kept);
    const std::uint64_t titleRecords = scan.records[kTitleFile];
    std::vector<bool> titleNamed(static_cast<std::size_t>(titleRecords), false);

    readRecords(
        fs, paths[kInstallFile], install::kSize,
        [&](std::uint64_t, const std::uint8_t* record) {
            const bool live = installState(record) == 0;
            scan.deadInstalls += live ? 0 : 1;
            const std::uint32_t nodeRef = installNodeRef(record);
            const bool aligned =
                nodeRef % node::kSize == 0 && nodeRef / node::kSize < nodeKinds.size();
            const NodeKind kind =
                aligned ? static_cast<NodeKind>(nodeKinds[nodeRef / node::kSize]) : kEmpty;
            if (!aligned) {
                ++scan.installsNamingNoNodeRecord;
            } else if (kind == kEmpty) {
                ++scan.installsNamingEmptyNode;
            } else if (kind == kInactive) {
                ++scan.installsOfInactiveNodes;
            }
            const bool written = live && kind != kEmpty;
            const std::uint32_t titleRef = installTitleRef(record);
            if (titleRef % title::kSize == 0 && titleRef / title::kSize < titleRecords) {
                if (written) {
                    titleNamed[titleRef / title::kSize] = true;
                }
            } else if (written) {
                ++scan.keptInstallsNamingNoTitle;
            } else {
                ++scan.droppedInstallsNamingNoTitle;
            }
        },
        scan, kInstallFile, progress, expected[kInstallFile], kept);
    for (bool named : titleNamed) {
        scan.orphanedTitles += named ? 0 : 1;
    }
    return scan;
}

namespace {

// What verify finds, by what becomes of it.
struct Findings {
    std::vector<std::string> cannotOpen;
    std::vector<std::string> dropped;
    std::vector<std::string> kept;
    std::vector<std::string> notes;
};

std::array<std::string, 3> locateDatabaseFiles(FileSystem& fs, const std::string& folder) {
    std::array<std::string, 3> paths;
    const char* const existNames[] = {filename::kNodeExists, filename::kInstallExists,
                                      filename::kTitleExists};
    for (std::size_t file = 0; file < paths.size(); ++file) {
        const std::string path = joinPath(folder, existNames[file]);
        paths[file] = locateFile(fs, path);
        const FileStatus status = fs.status(paths[file]);
        if (!status.exists || status.isDirectory) {
            throw KavrinError("Error: \"The database does not exist.\"\r\n\r\n" + path);
        }
    }
    return paths;
}

// What is wrong with each file's length and header.
void fileFindings(const DatabaseScan& scan, Findings& found) {
    for (std::size_t file = 0; file < 3; ++file) {
        const std::string name = databaseFileName(file);
        if (!scan.headerWhole[file]) {
            found.cannotOpen.push_back(name + " : " + std::to_string(scan.files[file].size) +
                                       " bytes, less than its 230-byte header");
            continue;
        }
        if (scan.trailingBytes[file] > 0) {
            found.dropped.push_back(name + " : " + std::to_string(scan.trailingBytes[file]) +
                                    " bytes after the last whole record");
        }
        // The node file's header is the database's: a commit writes it into all three files.
        std::vector<std::string> problems;
        headerProblems(scan.headers[file], name, problems);
        for (std::string& problem : problems) {
            const bool unopenable =
                file == kNodeFile && (problem.find("DbType") != std::string::npos ||
                                      problem.find("DbVersion") != std::string::npos);
            (unopenable          ? found.cannotOpen
             : file == kNodeFile ? found.kept
                                 : found.dropped)
                .push_back(std::move(problem));
        }
    }
}

// What is wrong, or worth telling, with the records and their references.
void recordFindings(const DatabaseScan& scan, Findings& found) {
    addCount(found.dropped, "Installs naming no node record", scan.installsNamingNoNodeRecord);
    addCount(found.dropped, "Installs naming an empty node record", scan.installsNamingEmptyNode);
    addCount(found.dropped, "Installs naming no title record, not live or of no node",
             scan.droppedInstallsNamingNoTitle);
    addCount(found.dropped, "Orphaned titles (no live install of a node names them)",
             scan.orphanedTitles);
    addCount(found.kept, "Installs naming no title record", scan.keptInstallsNamingNoTitle);
    if (scan.duplicateNames > 0) {
        std::string examples;
        for (const std::string& name : scan.duplicateExamples) {
            examples += (examples.empty() ? "" : ", ") + name;
        }
        found.kept.push_back(
            "Duplicate names : " + std::to_string(scan.duplicateNames) + " (" + examples +
            (scan.duplicateNames > scan.duplicateExamples.size() ? ", ..." : "") + ")");
    }
    addCount(found.notes, "Empty node records, which a commit drops", scan.emptyNodes);
    addCount(found.notes, "Installs not live, which a commit drops", scan.deadInstalls);
    addCount(found.notes, "Installs of inactive nodes, which a commit keeps",
             scan.installsOfInactiveNodes);
}

VerifyReport reportOf(const std::string& folder, const DatabaseScan& scan, const Findings& found) {
    VerifyReport report;
    report.lines.push_back("Verifying : " + folder);
    for (std::size_t file = 0; file < 3; ++file) {
        report.lines.push_back(databaseFileName(file) + " : " + std::to_string(scan.records[file]) +
                               " records, " + std::to_string(scan.files[file].size) + " bytes");
    }
    const auto section = [&report](const char* title, const std::vector<std::string>& lines) {
        if (!lines.empty()) {
            report.lines.push_back(title);
            for (const std::string& line : lines) {
                report.lines.push_back("  " + line);
            }
        }
    };
    section("Wrong, and the database cannot be opened as it is:", found.cannotOpen);
    section("Wrong, and a commit drops it:", found.dropped);
    section("Wrong, and a commit keeps it as it is:", found.kept);
    section("Not wrong:", found.notes);
    report.problems =
        static_cast<int>(found.cannotOpen.size() + found.dropped.size() + found.kept.size());
    report.lines.push_back(
        report.problems == 0 ? std::string("Result : no problem found.")
                             : "Result : " + std::to_string(report.problems) +
                                   (report.problems == 1 ? " problem found." : " problems found."));
    return report;
}

}  // namespace

VerifyReport verifyDatabase(FileSystem& fs, const std::string& folder) {
    const std::array<std::string, 3> paths = locateDatabaseFiles(fs, folder);
    const bool journal = fs.status(journalPath(folder)).exists;
    const DatabaseScan scan = scanDatabase(fs, paths);
    Findings found;
    if (journal) {
        found.cannotOpen.push_back(journalPath(folder) +
                                   " : a commit was cut short while it replaced the files; the "
                                   "next open finishes or undoes it");
    }
    fileFindings(scan, found);
    recordFindings(scan, found);
    return reportOf(folder, scan, found);
}

std::string checkCommittedDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                                   const std::array<FileCheck, 3>& written,
                                   const CommitPreview& preview, const FileProgress& progress,
                                   std::array<FileBytes, 3>* kept) {
    DatabaseScan scan;
    try {
        scan = scanDatabase(
            fs, paths, progress,
            {written[kNodeFile].size, written[kInstallFile].size, written[kTitleFile].size}, false,
            kept);
    } catch (const KavrinError& e) {
        checkFailed(kRewritten, e.what());
    }
    requireWritten(kRewritten, paths, scan.files, written);
    for (std::size_t file = 0; file < paths.size(); ++file) {
        if (scan.records[file] != preview.after[file].records || scan.trailingBytes[file] != 0) {
            checkFailed(kRewritten, databaseFileName(file) + " holds " +
                                        std::to_string(scan.records[file]) + " records and " +
                                        std::to_string(scan.trailingBytes[file]) +
                                        " bytes more; the preview counted " +
                                        std::to_string(preview.after[file].records) + " records");
        }
    }
    const std::pair<const char*, std::uint64_t> mustBeNone[] = {
        {"empty node records", scan.emptyNodes},
        {"installs that are not live", scan.deadInstalls},
        {"installs naming no node record", scan.installsNamingNoNodeRecord},
        {"installs naming an empty node record", scan.installsNamingEmptyNode},
        {"titles no install names", scan.orphanedTitles},
    };
    for (const auto& [what, count] : mustBeNone) {
        if (count != 0) {
            checkFailed(kRewritten, "the files hold " + std::to_string(count) + " " + what);
        }
    }
    if (scan.keptInstallsNamingNoTitle != preview.unmatchedTitleReferences) {
        checkFailed(kRewritten, std::to_string(scan.keptInstallsNamingNoTitle) +
                                    " installs name no title; the preview counted " +
                                    std::to_string(preview.unmatchedTitleReferences) +
                                    " references to no title kept as they are");
    }
    return "Checked : the files in place are the files written, with nodes " +
           std::to_string(scan.records[kNodeFile]) + ", installs " +
           std::to_string(scan.records[kInstallFile]) + ", titles " +
           std::to_string(scan.records[kTitleFile]) +
           " as previewed; every install names a written node and a written title or keeps its "
           "reference to no title.";
}

std::string checkRestoredDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                                  const std::array<FileCheck, 3>& written) {
    std::array<FileCheck, 3> found;
    for (std::size_t file = 0; file < paths.size(); ++file) {
        try {
            found[file] = checkFileOnDisk(fs, paths[file]);
        } catch (const KavrinError& e) {
            checkFailed(kRestored, e.what());
        }
    }
    requireWritten(kRestored, paths, found, written);
    return "Checked : the restored files are the backup's, byte for byte.";
}

}  // namespace kavrin
