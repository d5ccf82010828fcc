#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dbformat/DatabaseFile.h"
#include "support/Errors.h"
#include "support/FileSystem.h"

namespace kavrin {

// The three database files cannot be replaced in one atomic step. While a commit renames its new
// files over the old ones, a journal in the database folder says what it is doing, so that the
// next open can finish the replacement or undo it when the commit was cut short (a crash, a lost
// connection, a killed process) and never loads a database whose files do not belong together.

constexpr const char* kJournalName = "Kavrin.journal";
// The journal is written under this name first and renamed into place once it is on the disk,
// so that a journal found under its own name is always whole.
constexpr const char* kJournalTemporaryName = "Kavrin.journal.new";

// CRC-32 (the polynomial of zip and PNG) of `bytes`, continuing from `crc` (0 to start), so that
// a file given in parts gets the CRC of its whole content.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// What identifies the content of one file: its size and the CRC-32 of all its bytes.
struct FileCheck {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;

    bool operator==(const FileCheck&) const = default;
};

// The CRC-32 and size of `parts` laid one after another.
FileCheck checkOf(std::span<const std::span<const std::uint8_t>> parts);

// One of the three database files as a commit replaces it. Names are plain file names, taken
// relative to the database folder (`copy` relative to the backup folder), so that the journal
// still holds when the folder is reached by another path (a share instead of a drive).
struct JournalEntry {
    std::string target;     // the database file, spelled as the open found it
    std::string temporary;  // the complete new file, until it is renamed over `target`
    std::string copy;       // the backup of `target` inside the backup folder
    FileCheck newFile;      // of `temporary`, and of `target` once replaced
    FileCheck copyFile;     // of `copy`
    // The original `target` as the commit last checked it: anything else at `target` that is
    // neither the new file nor the copy was written by someone else since.
    std::uint64_t originalSize = 0;
    std::int64_t originalModifiedNs = 0;

    bool operator==(const JournalEntry&) const = default;
};

struct Journal {
    std::string backupFolder;  // a folder of the database folder
    std::array<JournalEntry, 3> files;

    bool operator==(const Journal&) const = default;
};

// A journal whose bytes cannot be taken for one (torn, damaged, of another version); the message
// says what failed.
class JournalError : public KavrinError {
public:
    using KavrinError::KavrinError;
};

// The journal as text, one line each: a title with the version, "backup <name>", one "file" line
// per database file with its fields as key=value, and "end crc=<CRC-32 of all lines before>".
// Throws JournalError for a name that is empty, "." or "..", or holds a separator, a blank, a
// control character or "=".
std::string encodeJournal(const Journal& journal);
// The inverse of encodeJournal; accepts nothing else. Throws JournalError naming what failed.
Journal decodeJournal(std::span<const std::uint8_t> bytes);

// <folder>/Kavrin.journal, with the separator of the folder.
std::string journalPath(const std::string& folder);

// Puts `journal` into `folder` durably: written and flushed under the temporary name, renamed
// into place, the folder's entries flushed. On return the journal survives a crash.
void writeJournal(FileSystem& fs, const std::string& folder, const Journal& journal);
// Removes the journal and flushes the folder's entries.
void removeJournal(FileSystem& fs, const std::string& folder);

// Run by an open before it looks at the database files. When `folder` holds a journal, brings
// the three files back to one whole database, logs each step, removes the temporary files and
// then the journal:
// - when each file is either replaced already or its complete new file is there, the remaining
//   new files are renamed into place (the commit is finished);
// - otherwise every file that was replaced (or is missing) is put back from its copy in the
//   backup folder, each copy first checked against the journal (the commit is undone).
// Without a journal it touches nothing. Throws KavrinError, after logging the same text, when
// the journal cannot be read, when a file is neither the original, the new file nor the copy
// (another program changed it), when a needed copy is not the one the commit made, or when the
// disk refuses a step; the journal then stays, so that the next open tries again.
void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder);

}  // namespace kavrin
