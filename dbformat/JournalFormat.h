#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin {

// The journal a commit keeps in the database folder while it replaces the three files: which
// files, their temporary names, the backup, and checks of each, so that the next open can finish
// or undo a replacement cut short (engine/commit/Journal.h).

constexpr const char* kJournalName = "Kavrin.journal";
// The journal is written under this name first and renamed into place once it is on the disk,
// so that a journal found under its own name is always whole.
constexpr const char* kJournalTemporaryName = "Kavrin.journal.new";
// A journal names three files and a folder; anything much larger is not one.
constexpr std::uint64_t kMaxJournalSize = 64 * 1024;

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

}  // namespace kavrin
