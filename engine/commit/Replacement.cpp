#include "engine/commit/Replacement.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "dbformat/Layout.h"
#include "engine/check/DatabaseCheck.h"
#include "engine/commit/Journal.h"
#include "support/fs/Paths.h"
#include "support/fs/ReplaceFile.h"
#include "support/text/AnsiText.h"

namespace kavrin {

namespace {

constexpr std::array<const char*, 3> kSaveNames = {filename::kNodeSave, filename::kInstallSave,
                                                   filename::kTitleSave};

std::string fileNameOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

bool isOld(FileState state) {
    return state == FileState::Old || state == FileState::Same;
}
bool isNew(FileState state) {
    return state == FileState::New || state == FileState::Same;
}

FileState stateOf(FileSystem& fs, const std::string& folder, const std::string& path,
                  const FileCheck& oldFile, const FileCheck& newFile) {
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        // status() finds nothing where it cannot look: only a folder that can be read and lacks
        // the name makes the file missing.
        const std::string name = fileNameOf(path);
        for (const std::string& entry : fs.listDirectory(folder)) {
            if (entry == name || (fs.ignoresCase(path) && asciiCompareText(entry, name) == 0)) {
                throw KavrinError("Cannot read file \"" + path +
                                  "\". It is listed in its folder but cannot be examined.");
            }
        }
        return FileState::Missing;
    }
    if (status.isDirectory || (status.size != oldFile.size && status.size != newFile.size)) {
        return FileState::Other;
    }
    const FileCheck found = checkFileOnDisk(fs, path);
    if (found == oldFile && found == newFile) {
        return FileState::Same;
    }
    if (found == newFile) {
        return FileState::New;
    }
    if (found == oldFile) {
        return FileState::Old;
    }
    return FileState::Other;
}

// Passes the bytes on and takes their check on the way.
class CheckingSink final : public FileSink {
public:
    CheckingSink(FileSink& inner, FileCheck& check) : m_inner(inner), m_check(check) {
        m_check = {};
    }
    void write(std::span<const std::uint8_t> bytes) override {
        m_check.size += bytes.size();
        m_check.crc = crc32(bytes, m_check.crc);
        m_inner.write(bytes);
    }

private:
    FileSink& m_inner;
    FileCheck& m_check;
};

// Removes `path` when it is there; a failure is left for whoever cleans up next.
bool removeQuietly(FileSystem& fs, const std::string& path) {
    try {
        return removeIfThere(fs, path);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

Standing standingOf(const FileStates& states) {
    bool allOld = true;
    bool allNew = true;
    for (const FileState state : states) {
        if (state == FileState::Other) {
            return Standing::Foreign;
        }
        allOld = allOld && isOld(state);
        allNew = allNew && isNew(state);
    }
    return allNew ? Standing::New : allOld ? Standing::Old : Standing::Between;
}

ReplacementFiles ReplacementFiles::of(const std::string& folder, const Journal& journal) {
    ReplacementFiles files;
    files.folder = folder;
    files.backupFolder = joinPath(folder, journal.backupFolder);
    for (std::size_t i = 0; i < journal.files.size(); ++i) {
        const JournalEntry& entry = journal.files[i];
        files.targets[i] = joinPath(folder, entry.target);
        files.temporaries[i] = joinPath(folder, entry.temporary);
        files.copies[i] = joinPath(files.backupFolder, entry.copy);
        files.oldFiles[i] = entry.copyFile;
        files.newFiles[i] = entry.newFile;
    }
    return files;
}

bool holdsFile(FileSystem& fs, const std::string& path, const FileCheck& check) {
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory || status.size != check.size) {
        return false;
    }
    return checkFileOnDisk(fs, path) == check;
}

bool canFinish(FileSystem& fs, const ReplacementFiles& files, const FileStates& states) {
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (!isNew(states[i]) && !holdsFile(fs, files.temporaries[i], files.newFiles[i])) {
            return false;
        }
    }
    return true;
}

FileStates classifyTargets(FileSystem& fs, const ReplacementFiles& files) {
    FileStates states{};
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i] =
            stateOf(fs, files.folder, files.targets[i], files.oldFiles[i], files.newFiles[i]);
    }
    return states;
}

void putBackOldFiles(FileSystem& fs, LogSink& log, const ReplacementFiles& files,
                     const FileStates& states, const OldContent& old,
                     const FileProgress& progress) {
    // The new files not in place go first: from then on an interruption can only be undone.
    for (const std::string& temporary : files.temporaries) {
        if (removeIfThere(fs, temporary)) {
            log.log("Removing : " + temporary);
        }
    }
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (isOld(states[i])) {
            continue;
        }
        log.log("Restoring : " + files.targets[i] + " from " + files.copies[i]);
        FileCheck written;
        try {
            fs.writeFileInBlocks(
                files.temporaries[i], files.oldFiles[i].size,
                [&](FileSink& sink) {
                    CheckingSink checking(sink, written);
                    old(i, checking);
                },
                true, progress);
            if (written != files.oldFiles[i]) {
                throw KavrinError("what was to be put back in \"" + files.targets[i] +
                                  "\" is not the file as it was before");
            }
            fs.rename(files.temporaries[i], files.targets[i]);
        } catch (const std::exception&) {
            removeQuietly(fs, files.temporaries[i]);
            throw;
        }
    }
    fs.syncDirectory(files.folder);
    // A disk that damaged what was written may damage what is put back as well.
    const FileStates after = classifyTargets(fs, files);
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (!isOld(after[i])) {
            throw KavrinError("\"" + files.targets[i] + "\" is not the file put back");
        }
    }
}

void finishWithNewFiles(FileSystem& fs, LogSink& log, const ReplacementFiles& files,
                        const FileStates& states) {
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (!isNew(states[i])) {
            log.log("Replacing : " + files.targets[i]);
            fs.rename(files.temporaries[i], files.targets[i]);
        }
    }
    fs.syncDirectory(files.folder);
    const FileStates after = classifyTargets(fs, files);
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (!isNew(after[i])) {
            throw KavrinError("\"" + files.targets[i] + "\" is not the file the commit wrote");
        }
    }
}

void removeReplacementLeftovers(FileSystem& fs, LogSink& log, const ReplacementFiles& files) {
    std::array<std::string, 4> leftovers;
    std::copy(files.temporaries.begin(), files.temporaries.end(), leftovers.begin());
    leftovers.back() = joinPath(files.folder, kJournalTemporaryName);
    for (const std::string& path : leftovers) {
        if (removeQuietly(fs, path)) {
            log.log("Removing : " + path);
        }
    }
}

void removeTemporaryFiles(FileSystem& fs, const std::string& folder, LogSink* log) {
    for (const char* name : kSaveNames) {
        const std::string path = joinPath(folder, std::string(name) + ".new");
        if (removeQuietly(fs, path) && log != nullptr) {
            log->log("Removing : " + path);
        }
    }
    const std::string journalTemporary = joinPath(folder, kJournalTemporaryName);
    if (removeQuietly(fs, journalTemporary) && log != nullptr) {
        log->log("Removing : " + journalTemporary);
    }
}

DatabaseReplacement::DatabaseReplacement(FileSystem& fs, LogSink& log, const std::string& folder,
                                         const std::array<std::string, 3>& targets,
                                         const std::array<FileStatus, 3>& originals,
                                         const std::array<FileCheck, 3>& oldChecks,
                                         const std::string& backupFolder, std::string operation,
                                         FileProgress progress)
    : m_fs(fs),
      m_log(log),
      m_progress(std::move(progress)),
      m_originals(originals),
      m_operation(std::move(operation)) {
    m_files.folder = folder;
    m_files.backupFolder = backupFolder;
    m_files.targets = targets;
    m_files.oldFiles = oldChecks;
    for (std::size_t i = 0; i < kSaveNames.size(); ++i) {
        m_files.temporaries[i] = joinPath(folder, std::string(kSaveNames[i]) + ".new");
        m_files.copies[i] = joinPath(backupFolder, kSaveNames[i]);
    }
}

void DatabaseReplacement::run(const NewFiles& newFiles, const OldContent& opened,
                              const std::function<void()>& stillUnchanged, const Check& check,
                              const std::function<void()>& releaseOld) {
    OldContent old = opened;
    const std::string& folder = m_files.folder;
    std::array<FileCheck, 3> written;
    // Held across the renames, the originals are freed once the renames last a crash, a slice at
    // a time with the window pumped, instead of inside each rename.
    std::array<std::unique_ptr<ReplacedFile>, 3> originals;
    try {
        for (std::size_t i = 0; i < newFiles.size(); ++i) {
            m_log.log("Saving : " + joinPath(folder, kSaveNames[i]));
            m_fs.writeFileInBlocks(
                m_files.temporaries[i], newFiles[i].size,
                [&](FileSink& sink) {
                    CheckingSink checking(sink, written[i]);
                    newFiles[i].produce(checking);
                },
                true, m_progress);
        }
        m_fs.syncDirectory(folder);
        stillUnchanged();
        m_files.newFiles = written;
        writeJournal(m_fs, folder, describe(written));

        // The originals' cached pages go first, a slice at a time with the window pumped: the
        // renames would otherwise free them all at once, a second for every few gigabytes.
        // Still before the first rename: a report that throws here leaves the originals.
        for (const std::string& target : m_files.targets) {
            m_fs.cacheHints().releaseCache(target, m_progress);
        }
        for (std::size_t i = 0; i < m_files.targets.size(); ++i) {
            originals[i] = m_fs.cacheHints().holdReplaced(m_files.targets[i]);
        }
    } catch (const std::exception&) {
        abandon();
        throw;
    }

    try {
        for (std::size_t i = 0; i < m_files.targets.size(); ++i) {
            m_fs.rename(m_files.temporaries[i], m_files.targets[i]);
        }
        m_fs.syncDirectory(folder);
    } catch (const std::exception& e) {
        originals = {};
        settle(e.what(), old, true);
    }

    std::string checked;
    try {
        for (std::unique_ptr<ReplacedFile>& original : originals) {
            if (original) {
                original->release(m_progress);
                original.reset();
            }
        }
        if (releaseOld) {
            old = backupCopies();
            releaseOld();
        }
        checked = check(written);
    } catch (const std::bad_alloc&) {
        settle("The files put in place could not be checked: out of memory.", old, false);
    } catch (const std::exception& e) {
        settle(e.what(), old, false);
    }
    m_log.log(checked);

    // The database is whole and new. A journal that stays is settled by the next open, which
    // finds every file new already and only removes it.
    try {
        removeJournal(m_fs, folder);
    } catch (const std::exception& e) {
        if (m_fs.status(journalPath(folder)).exists) {
            m_log.log("The database files were replaced and checked, but the journal \"" +
                      journalPath(folder) + "\" could not be removed: " + e.what() +
                      " The next open of the database removes it.");
        }
    }
}

Journal DatabaseReplacement::describe(const std::array<FileCheck, 3>& written) const {
    Journal journal;
    journal.backupFolder = fileNameOf(m_files.backupFolder);
    for (std::size_t i = 0; i < journal.files.size(); ++i) {
        JournalEntry& entry = journal.files[i];
        entry.target = fileNameOf(m_files.targets[i]);
        entry.temporary = fileNameOf(m_files.temporaries[i]);
        entry.copy = kSaveNames[i];
        entry.newFile = written[i];
        entry.copyFile = m_files.oldFiles[i];
        entry.originalSize = m_originals[i].size;
        entry.originalModifiedNs = m_originals[i].modifiedNs;
    }
    return journal;
}

OldContent DatabaseReplacement::backupCopies() const {
    return [this](std::size_t file, FileSink& sink) {
        m_fs.readFileInBlocks(m_files.copies[file],
                              [&sink](std::span<const std::uint8_t> block) { sink.write(block); });
    };
}

void DatabaseReplacement::abandon() {
    for (const std::string& temporary : m_files.temporaries) {
        removeQuietly(m_fs, temporary);
    }
    removeQuietly(m_fs, joinPath(m_files.folder, kJournalTemporaryName));
    if (removeQuietly(m_fs, journalPath(m_files.folder))) {
        try {
            m_fs.syncDirectory(m_files.folder);
        } catch (const std::exception&) {
            // A journal that comes back names no replaced file: the next open keeps the originals.
        }
    }
}

void DatabaseReplacement::settle(const std::string& cause, const OldContent& old, bool newAreGood) {
    FileStates states{};
    try {
        states = classifyTargets(m_fs, m_files);
    } catch (const std::exception& e) {
        unsettled(cause, std::string("what they hold cannot be read: ") + e.what());
    }
    const Standing standing = standingOf(states);
    if (newAreGood && standing == Standing::New) {
        // The failure came after the last rename had taken effect (on a share, a reply lost on
        // its way back; or the flush of the folder): the replacement is whole once the folder's
        // entries are on the disk.
        bool durable = true;
        try {
            m_fs.syncDirectory(m_files.folder);
        } catch (const std::exception&) {
            durable = false;
        }
        if (durable) {
            m_log.log(cause + " The new database files are in place nonetheless.");
            removeReplacementLeftovers(m_fs, m_log, m_files);
            return;
        }
    }
    if (standing == Standing::Old) {
        abandon();
        throw KavrinError(cause + " The database files were left as they were.");
    }
    try {
        putBackOldFiles(m_fs, m_log, m_files, states, old, m_progress);
    } catch (const std::exception& e) {
        unsettled(cause, e.what());
    }
    removeReplacementLeftovers(m_fs, m_log, m_files);
    // A journal that stays finds the old files at the next open, which only removes it.
    removeQuietly(m_fs, journalPath(m_files.folder));
    throw KavrinError(cause + " The database files were put back as they were before the " +
                      m_operation + ", from the backup folder \"" + m_files.backupFolder + "\".");
}

void DatabaseReplacement::unsettled(const std::string& cause, const std::string& why) const {
    throw UnsettledReplacement(cause + " The database files could not be put back (" + why +
                               "); the journal \"" + journalPath(m_files.folder) +
                               "\" stays, so that the next open of the database finishes or "
                               "undoes the " +
                               m_operation + ". The backup folder \"" + m_files.backupFolder +
                               "\" holds the database as it was before the " + m_operation + ".");
}

}  // namespace kavrin
