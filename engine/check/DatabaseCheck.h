#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dbformat/Records.h"
#include "engine/check/CommitPreview.h"
#include "support/fs/FileBytes.h"
#include "support/fs/FileSystem.h"
#include "support/text/Crc32.h"

namespace kavrin {

// Checks of a database as it lies on the disk: `verify`, and the check of the files a commit or
// a restore has just put in place. Both read the files in blocks (FileSystem::readFileInBlocks)
// and never hold a file whole: besides one block they need a byte per node record, a bit per
// title record and the distinct node names, whatever the size of the install file. Only the
// check after a commit may be asked to keep the files it read, for the open that follows.

// Size and CRC-32 of the file at `path`, read in blocks. Throws the file layer's error.
FileCheck checkFileOnDisk(FileSystem& fs, const std::string& path);

// What one reading of the three files found. Counts are of whole records.
struct DatabaseScan {
    std::array<FileCheck, 3> files{};  // size and CRC-32 of every byte of each file
    std::array<DatabaseHeader, 3> headers{};
    std::array<bool, 3> headerWhole{};  // the file holds at least a header's 230 bytes
    std::array<std::uint64_t, 3> records{};
    std::array<std::uint64_t, 3> trailingBytes{};  // after the last whole record

    std::uint64_t emptyNodes = 0;  // NullRecords
    std::uint64_t inactiveNodes = 0;
    std::uint64_t duplicateNames = 0;            // occurrences of a name after its first
    std::vector<std::string> duplicateExamples;  // the first few of them, UTF-8

    std::uint64_t deadInstalls = 0;
    std::uint64_t installsNamingNoNodeRecord = 0;  // beyond the body or inside a record
    std::uint64_t installsNamingEmptyNode = 0;
    std::uint64_t installsOfInactiveNodes = 0;
    // Installs whose title reference is no title record's offset: of installs a commit writes
    // (live, of a named node record), which keep the reference as it is, and of the others.
    std::uint64_t keptInstallsNamingNoTitle = 0;
    std::uint64_t droppedInstallsNamingNoTitle = 0;
    std::uint64_t orphanedTitles = 0;  // titles no install a commit writes names
};

// Reads the three files (node, install, title) at `paths` in blocks. Throws the file layer's
// error when one cannot be read. `progress`, when given, is told after each block with the bytes
// read of the file and the size in `expected`.
// Duplicate names are counted only with `countNames` (a set of every name meanwhile).
// With `kept`, each file is read whole into its element instead, and stays there for the caller.
DatabaseScan scanDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                          const FileProgress& progress = {},
                          const std::array<std::uint64_t, 3>& expected = {}, bool countNames = true,
                          std::array<FileBytes, 3>* kept = nullptr);

// What `verify` tells: the report's lines, and how many of them name something wrong.
struct VerifyReport {
    std::vector<std::string> lines;
    int problems = 0;
};

// Checks the database in `folder` without changing anything (an interrupted commit's journal is
// reported, not recovered). Wrong: bodies that are not whole records, installs naming no node
// record, an empty one or no title record, orphaned titles, duplicate names, header fields out of
// range. Each is told as what a commit drops or what it keeps as it is. Normal for a database the
// server writes, and only noted: empty node records, installs that are not live, installs of
// inactive nodes. Throws the open's "does not exist" message for a missing file and the file
// layer's for one that cannot be read.
VerifyReport verifyDatabase(FileSystem& fs, const std::string& folder);

// The check of the files a commit has put in place: each file is byte for byte what the commit
// wrote (`written`: size and CRC-32), holds whole records only and no empty node record, every
// install is live and names a written node record and either a written title or, as many as
// `preview` counted, a reference to no title; every title is named; the records are the
// preview's. Throws KavrinError "The check of the rewritten database failed: ..." naming the
// first difference. Returns the one-line result for the log. `progress`, when given, is told after
// each block read with the bytes read of the file and its size as written. With `kept`, the files
// are read whole into it, so that the open that follows a commit need not read them again; what
// it holds counts only when the check returns.
std::string checkCommittedDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                                   const std::array<FileCheck, 3>& written,
                                   const CommitPreview& preview, const FileProgress& progress = {},
                                   std::array<FileBytes, 3>* kept = nullptr);

// The check of the files a restore has put in place: each is byte for byte the backup's.
// Throws as above; returns the one-line result.
std::string checkRestoredDatabase(FileSystem& fs, const std::array<std::string, 3>& paths,
                                  const std::array<FileCheck, 3>& written);

}  // namespace kavrin
