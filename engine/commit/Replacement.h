#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "dbformat/DatabaseFile.h"
#include "dbformat/JournalFormat.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin {

// The three database files cannot be replaced in one atomic step. A commit or a restore that
// fails while it replaces them, and the open that finds the journal of one cut short, must all
// answer one question: what do the three files hold now? They answer it here, by one rule and
// from the files themselves (their sizes and CRC-32 against the journal's checks), never from a
// count of what a program believes it did: on a share a rename whose reply was lost has happened
// although it was reported as failed.
//
// The rule: a replacement takes effect with its first rename. Until a file is replaced (or
// missing, its rename half done where the system renames in two steps) the old database stands,
// whatever temporary files lie beside it. Once one is, the replacement is finished when every
// file not replaced yet has its complete new file beside it, and undone otherwise; an undo first
// removes every temporary file, so that from then on only an undo can follow. The journal goes
// only after the three files have been read back as all old or all new.

// What stands at one database file's place.
enum class FileState {
    Missing,
    Old,    // the file as it was before the replacement, byte for byte
    New,    // the file the replacement wrote
    Same,   // both: the replacement changed nothing in this file
    Other,  // none of these: another program, or a disk that damaged it
};
using FileStates = std::array<FileState, 3>;

// Where the three files stand together.
enum class Standing {
    Old,      // each Old or Same
    New,      // each New or Same
    Between,  // some replaced (or missing), some not
    Foreign,  // some file is Other
};
Standing standingOf(const FileStates& states);

// One replacement of the three files, with full paths, as its journal names it.
struct ReplacementFiles {
    std::string folder;
    std::string backupFolder;
    std::array<std::string, 3> targets;
    std::array<std::string, 3> temporaries;  // the complete new files, until renamed into place
    std::array<std::string, 3> copies;       // the backup's copies of the old files
    std::array<FileCheck, 3> oldFiles;
    std::array<FileCheck, 3> newFiles;

    static ReplacementFiles of(const std::string& folder, const Journal& journal);
};

// Whether a regular file at `path` holds exactly `check` (read in blocks).
bool holdsFile(FileSystem& fs, const std::string& path, const FileCheck& check);

// Reads what stands at each target, in blocks. "Missing" is said only of a name the folder, which
// can be read, does not hold: a server that cannot be reached throws the file layer's error
// instead of making every file look missing.
FileStates classifyTargets(FileSystem& fs, const ReplacementFiles& files);

// Whether a replacement the files stand `states` in can be finished: every file not replaced yet
// has its complete new file beside it (read in blocks). Otherwise it can only be undone.
bool canFinish(FileSystem& fs, const ReplacementFiles& files, const FileStates& states);

// The whole old content of file `file` (0 node, 1 install, 2 title), produced into `sink`.
using OldContent = std::function<void(std::size_t file, FileSink& sink)>;

// Puts the old files back wherever `states` do not show them (Old and Same stay): first every
// temporary file goes, then each file is written under its temporary name, flushed and renamed
// into place ("Restoring : <target> from <copy>" logged), the folder's entries flushed, and all
// three read back. Throws when a step fails, naming the file, or when a file read back is not
// the old one ("\"<target>\" is not the file put back"). The content `old` produces is checked
// against the journal's check of the old file before it is renamed into place.
void putBackOldFiles(FileSystem& fs, LogSink& log, const ReplacementFiles& files,
                     const FileStates& states, const OldContent& old,
                     const FileProgress& progress = {});

// Renames the complete new file into place for every target not New or Same yet ("Replacing :
// <target>" logged), flushes the folder's entries and reads all three back. Throws when a step
// fails or a file read back is not the new one.
void finishWithNewFiles(FileSystem& fs, LogSink& log, const ReplacementFiles& files,
                        const FileStates& states);

// Removes the temporary files a replacement leaves (its three and the journal's), logging
// "Removing : <path>" for each found. A failure is left for the next commit.
void removeReplacementLeftovers(FileSystem& fs, LogSink& log, const ReplacementFiles& files);

// Removes the temporary files a commit or restore writes in `folder` (the three new files and the
// journal's), when there, logging "Removing : <path>" for each when `log` is given. Only for
// files no running replacement owns: the caller holds the claim, or they were found without a
// journal by the claim's holder. A failure is left for the next commit.
void removeTemporaryFiles(FileSystem& fs, const std::string& folder, LogSink* log = nullptr);

// A whole file as a replacement writes it: its size, and what produces its bytes in order (from
// memory, or made as it is written). The producer may run more than once, each time from the
// start.
struct NewFile {
    std::uint64_t size = 0;
    FileProducer produce;
};
using NewFiles = std::array<NewFile, 3>;

// A replacement that could be neither finished nor undone (the disk or the server went away): the
// journal stays, and the next open finishes or undoes it. The message says so.
class UnsettledReplacement : public KavrinError {
public:
    using KavrinError::KavrinError;
};

// Every change a commit or a restore makes to the database files happens here, in this order:
//   1. each new file is written whole, as it is made, and flushed, under a temporary name in the
//      database folder, its size and CRC-32 taken on the way;
//   2. the folder's entries are made durable and the files are checked once more for changes;
//   3. the journal is put on the disk, naming the backup and the new files with their checks;
//   4. the temporary files are renamed over the originals, and the folder made durable again;
//   5. the files in place are checked (DatabaseCheck.h), read back from the disk;
//   6. the journal is removed.
// A failure in 1 to 3, or anything else before the first rename (a progress report that throws
// included), removes the temporary files and then the journal: the originals stay, and a journal
// that could not be removed names no replaced file, so the next open keeps them too. A failure
// in 4 is settled by what the files hold (the rule above): when they are all new after all (the
// rename was reported failed but happened), the replacement goes on; otherwise the old files are
// put back, byte for byte as they were opened. A check in 5 that finds the files other than
// they must be puts the old files back. When the process dies in 4 or 5, the journal lets the
// next open finish or undo the replacement.
class DatabaseReplacement {
public:
    // `operation` is "commit" or "restore", as the messages name it. `oldChecks` are the files as
    // they were opened, which the backup in `backupFolder` holds.
    DatabaseReplacement(FileSystem& fs, LogSink& log, const std::string& folder,
                        const std::array<std::string, 3>& targets,
                        const std::array<FileStatus, 3>& originals,
                        const std::array<FileCheck, 3>& oldChecks, const std::string& backupFolder,
                        std::string operation, FileProgress progress);

    // `stillUnchanged` throws when the originals must not be replaced after all. `check` reads
    // the files in place, given what was written, and throws when they are not what they must be;
    // it returns the line the log shows. `old` produces the files as they were opened.
    // Returns when the new files are in place and checked. Throws UnsettledReplacement when the
    // files could be neither finished nor put back; any other error means that the database
    // holds the files as they were opened, and its message says whether they were put back.
    // `releaseOld`, when given, is called once the new files are in place, before the check:
    // whatever `old` drew on may go then, and a put-back from there on reads the backup's copies
    // (each proved to be the file as opened before it is renamed into place).
    using Check = std::function<std::string(const std::array<FileCheck, 3>& written)>;
    void run(const NewFiles& newFiles, const OldContent& old,
             const std::function<void()>& stillUnchanged, const Check& check,
             const std::function<void()>& releaseOld = {});

private:
    Journal describe(const std::array<FileCheck, 3>& written) const;
    // Nothing was replaced: the temporary files go first, then the journal.
    void abandon();
    // The files as opened, read from the backup's copies a block at a time.
    OldContent backupCopies() const;
    // After a failure during 4 or 5: goes on when the files are all new and `newAreGood`, else
    // puts the old ones back and throws. Throws UnsettledReplacement when neither is possible.
    void settle(const std::string& cause, const OldContent& old, bool newAreGood);
    [[noreturn]] void unsettled(const std::string& cause, const std::string& why) const;

    FileSystem& m_fs;
    LogSink& m_log;
    FileProgress m_progress;
    ReplacementFiles m_files;
    std::array<FileStatus, 3> m_originals;
    std::string m_operation;
};

}  // namespace kavrin
