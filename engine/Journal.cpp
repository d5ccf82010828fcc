#include "engine/Journal.h"

#include <exception>
#include <string_view>
#include <utility>

#include "support/Paths.h"
#include "support/ReplaceFile.h"

namespace kavrin {

namespace {

// --- Recovery ----------------------------------------------------------------------------------

// A refusal of the recovery, with the whole text the user sees.
class RecoveryRefused : public KavrinError {
public:
    using KavrinError::KavrinError;
};

std::span<const std::uint8_t> bytesOf(const FileBytes& bytes) {
    return {bytes.data.get(), bytes.size};
}

// Whether a regular file at `path` has exactly the content `check` describes.
bool holds(FileSystem& fs, const std::string& path, const FileCheck& check) {
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory || status.size != check.size) {
        return false;
    }
    const FileBytes bytes = fs.readFile(path);
    return bytes.size == check.size && crc32(bytesOf(bytes)) == check.crc;
}

// What stands at a database file's place.
enum class Found {
    Missing,
    Original,  // the file the commit was to replace, untouched
    New,       // the file the commit wrote
    Copy,      // the backup copy, put back by an earlier undo
    Other,     // none of these: another program wrote it since
};

Found classify(FileSystem& fs, const std::string& path, const JournalEntry& entry) {
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        return Found::Missing;
    }
    if (status.isDirectory) {
        return Found::Other;
    }
    // Content first: when the commit changed nothing in a file, its new file is the original.
    if (status.size == entry.newFile.size || status.size == entry.copyFile.size) {
        const FileBytes bytes = fs.readFile(path);
        const FileCheck found{bytes.size, crc32(bytesOf(bytes))};
        if (found == entry.newFile) {
            return Found::New;
        }
        if (found == entry.copyFile) {
            return Found::Copy;
        }
    }
    if (status.size == entry.originalSize && status.modifiedNs == entry.originalModifiedNs) {
        return Found::Original;
    }
    return Found::Other;
}

Journal readJournal(FileSystem& fs, const std::string& path, const FileStatus& status) {
    if (status.isDirectory) {
        throw JournalError("it is a folder");
    }
    if (status.size > kMaxJournalSize) {
        throw JournalError("it holds " + std::to_string(status.size) +
                           " bytes, more than a journal ever does");
    }
    const FileBytes bytes = fs.readFile(path);
    return decodeJournal(bytesOf(bytes));
}

class Recovery {
public:
    Recovery(FileSystem& fs, LogSink& log, const std::string& folder, const std::string& path,
             Journal journal, const ClaimFinding& claim)
        : m_fs(fs),
          m_log(log),
          m_folder(folder),
          m_journalPath(path),
          m_journal(std::move(journal)),
          m_backupFolder(joinPath(folder, m_journal.backupFolder)),
          m_claim(claim) {}

    void run() {
        std::array<Found, 3> found{};
        std::array<bool, 3> newFileReady{};
        for (std::size_t i = 0; i < found.size(); ++i) {
            const JournalEntry& entry = m_journal.files[i];
            found[i] = classify(m_fs, target(i), entry);
            if (found[i] == Found::Other) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath + "\" was interrupted, and \"" +
                    target(i) +
                    "\" was changed by another program since: it is neither the file the commit "
                    "replaced, nor the file it wrote, nor its backup copy. The database files were "
                    "left as they are; the backup folder \"" +
                    m_backupFolder +
                    "\" holds the database as it was before the commit. Delete the journal to "
                    "open the database as it is.");
            }
            newFileReady[i] = found[i] != Found::New && holds(m_fs, temporary(i), entry.newFile);
        }

        bool finish = true;
        for (std::size_t i = 0; i < found.size(); ++i) {
            finish = finish && (found[i] == Found::New || newFileReady[i]);
        }
        if (finish) {
            m_log.log("Finishing the interrupted commit with its new files.");
            for (std::size_t i = 0; i < found.size(); ++i) {
                if (found[i] != Found::New) {
                    m_log.log("Replacing : " + target(i));
                    m_fs.rename(temporary(i), target(i));
                }
            }
        } else {
            undo(found);
        }
        m_fs.syncDirectory(m_folder);

        // Only once the files belong together again do the journal and what it names go.
        for (std::size_t i = 0; i < found.size(); ++i) {
            removeLeftover(temporary(i));
        }
        removeLeftover(joinPath(m_folder, kJournalTemporaryName));
        removeClaim();
        removeJournal(m_fs, m_folder);
        m_log.log(finish ? "Interrupted commit finished: the database holds the files the "
                           "commit wrote."
                         : "Interrupted commit undone: the database holds the files as they "
                           "were before the commit.");
    }

private:
    std::string target(std::size_t i) const {
        return joinPath(m_folder, m_journal.files[i].target);
    }
    std::string temporary(std::size_t i) const {
        return joinPath(m_folder, m_journal.files[i].temporary);
    }
    std::string copy(std::size_t i) const {
        return joinPath(m_backupFolder, m_journal.files[i].copy);
    }

    // Puts back every file that was replaced (or is gone); the others are still the originals
    // or were put back already.
    void undo(const std::array<Found, 3>& found) {
        std::array<bool, 3> needed{};
        for (std::size_t i = 0; i < found.size(); ++i) {
            needed[i] = found[i] == Found::New || found[i] == Found::Missing;
        }
        // Every copy is checked before the first file is touched: half an undo would mix the
        // generations as much as half a commit.
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (needed[i] && !holds(m_fs, copy(i), m_journal.files[i].copyFile)) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath +
                    "\" was interrupted and cannot be undone: the backup copy \"" + copy(i) +
                    "\" is missing or is not the one the commit made. The database files were "
                    "left as they are.");
            }
        }
        m_log.log("Undoing the interrupted commit from the backup folder : " + m_backupFolder);
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (!needed[i]) {
                continue;
            }
            m_log.log("Restoring : " + target(i) + " from " + copy(i));
            const FileBytes bytes = m_fs.readFile(copy(i));
            if (FileCheck{bytes.size, crc32(bytesOf(bytes))} != m_journal.files[i].copyFile) {
                throw RecoveryRefused("The backup copy \"" + copy(i) +
                                      "\" changed while the interrupted commit was undone; the "
                                      "journal \"" +
                                      m_journalPath + "\" was kept.");
            }
            const std::span<const std::uint8_t> parts[] = {bytesOf(bytes)};
            replaceFile(m_fs, temporary(i), target(i), parts);
        }
    }

    // The claim the interrupted commit left. Taken over first, so that a claim another commit
    // took meanwhile is not removed.
    void removeClaim() {
        if (m_claim.kind != ClaimFinding::Ended) {
            return;
        }
        if (std::unique_ptr<HeldFile> held =
                m_fs.takeOver(m_claim.path, m_claim.bytes, m_claim.bytes)) {
            held->remove();
            m_log.log("Removing : " + m_claim.path);
        }
    }

    void removeLeftover(const std::string& path) {
        if (removeIfThere(m_fs, path)) {
            m_log.log("Removing : " + path);
        }
    }

    FileSystem& m_fs;
    LogSink& m_log;
    std::string m_folder;
    std::string m_journalPath;
    Journal m_journal;
    std::string m_backupFolder;
    const ClaimFinding& m_claim;
};

}  // namespace

std::string journalPath(const std::string& folder) {
    return joinPath(folder, kJournalName);
}

void writeJournal(FileSystem& fs, const std::string& folder, const Journal& journal) {
    const std::string text = encodeJournal(journal);
    const std::string temporary = joinPath(folder, kJournalTemporaryName);
    const std::span<const std::uint8_t> parts[] = {
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
    replaceFile(fs, temporary, journalPath(folder), parts);
    fs.syncDirectory(folder);
}

void removeJournal(FileSystem& fs, const std::string& folder) {
    fs.remove(journalPath(folder));
    fs.syncDirectory(folder);
}

void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder,
                              const ClaimFinding& claim) {
    const std::string path = journalPath(folder);
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        return;
    }
    log.log("Interrupted commit found : " + path);
    std::string message;
    try {
        Recovery(fs, log, folder, path, readJournal(fs, path, status), claim).run();
        return;
    } catch (const JournalError& e) {
        message = "The commit journal \"" + path + "\" cannot be read: " + e.what() +
                  ". A commit may have been interrupted while it replaced the database files, "
                  "which then may not belong together, so the database is not opened. The files "
                  "were left as they are: compare them with the newest backup folder, then delete "
                  "the journal to open the database.";
    } catch (const RecoveryRefused& e) {
        message = e.what();
    } catch (const std::exception& e) {
        message = "The interrupted commit recorded in \"" + path +
                  "\" could not be finished or undone: " + e.what() +
                  " The journal was kept; the next open tries again.";
    }
    log.log(message);
    throw KavrinError(message);
}

}  // namespace kavrin
