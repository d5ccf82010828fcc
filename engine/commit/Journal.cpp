#include "engine/commit/Journal.h"

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/commit/Replacement.h"
#include "support/fs/Paths.h"
#include "support/fs/ReplaceFile.h"

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
             const Journal& journal)
        : m_fs(fs),
          m_log(log),
          m_journalPath(path),
          m_files(ReplacementFiles::of(folder, journal)) {}

    void run() {
        const FileStates states = classifyTargets(m_fs, m_files);
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i] == FileState::Other) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath + "\" was interrupted, and \"" +
                    m_files.targets[i] +
                    "\" was changed by another program since: it is neither the file the commit "
                    "replaced, nor the file it wrote. The database files were left as they are; "
                    "the backup folder \"" +
                    m_files.backupFolder +
                    "\" holds the database as it was before the commit. Delete the journal to "
                    "open the database as it is.");
            }
        }

        bool finished = true;
        switch (standingOf(states)) {
            case Standing::New:
                m_log.log("Finishing the interrupted commit with its new files.");
                break;
            case Standing::Old:
                // The commit takes effect with its first rename: before it, its new files
                // count for nothing, however complete.
                m_log.log(
                    "Undoing the interrupted commit: none of the database files had been "
                    "replaced.");
                finished = false;
                break;
            case Standing::Between:
            case Standing::Foreign:
                finished = canFinish(m_fs, m_files, states);
                if (finished) {
                    m_log.log("Finishing the interrupted commit with its new files.");
                    finishWithNewFiles(m_fs, m_log, m_files, states);
                } else {
                    undo(states);
                }
                break;
        }

        // Only once the files belong together again do the journal and what it names go.
        removeReplacementLeftovers(m_fs, m_log, m_files);
        removeJournal(m_fs, m_files.folder);
        m_log.log(finished ? "Interrupted commit finished: the database holds the files the "
                             "commit wrote."
                           : "Interrupted commit undone: the database holds the files as they "
                             "were before the commit.");
    }

private:
    // Puts back every file that was replaced (or is gone) from the backup's copies.
    void undo(const FileStates& states) {
        // Every copy is checked before the first file is touched: half an undo would mix the
        // generations as much as half a commit.
        for (std::size_t i = 0; i < states.size(); ++i) {
            const bool needed = states[i] == FileState::New || states[i] == FileState::Missing;
            if (needed && !holdsFile(m_fs, m_files.copies[i], m_files.oldFiles[i])) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath +
                    "\" was interrupted and cannot be undone: the backup copy \"" +
                    m_files.copies[i] +
                    "\" is missing or is not the one the commit made. The database files were "
                    "left as they are.");
            }
        }
        m_log.log("Undoing the interrupted commit from the backup folder : " +
                  m_files.backupFolder);
        putBackOldFiles(m_fs, m_log, m_files, states, [this](std::size_t file, FileSink& sink) {
            const FileBytes bytes = m_fs.readFile(m_files.copies[file]);
            sink.write(bytesOf(bytes));
        });
    }

    FileSystem& m_fs;
    LogSink& m_log;
    std::string m_journalPath;
    ReplacementFiles m_files;
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

void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder) {
    const std::string path = journalPath(folder);
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        return;
    }
    log.log("Interrupted commit found : " + path);
    std::string message;
    try {
        Recovery(fs, log, folder, path, readJournal(fs, path, status)).run();
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

void settleInterruptedCommit(FileSystem& fs, LogSink& log, Clock& clock, const std::string& folder,
                             std::chrono::milliseconds patience,
                             const std::function<void()>& wait) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool waiting = false;
    while (fs.status(journalPath(folder)).exists) {
        ClaimFinding holder;
        std::optional<CommitClaim> claim = CommitClaim::tryTake(fs, log, clock, folder, holder);
        if (claim) {
            // The journal looked at again under the claim: the commit that wrote it may have
            // ended between the two looks.
            try {
                recoverInterruptedCommit(fs, log, folder);
            } catch (const std::exception&) {
                claim->release();
                throw;
            }
            claim->release();
            continue;
        }
        const bool mayEnd =
            holder.kind == ClaimFinding::Running || holder.kind == ClaimFinding::Unreadable;
        if (!mayEnd || std::chrono::steady_clock::now() >= deadline) {
            throw KavrinError(claimRefusal(
                holder, "It is replacing the database files; the database was not opened."));
        }
        if (!waiting) {
            log.log("Waiting for the commit of " +
                    (holder.holder.empty() ? std::string("another program") : holder.holder) +
                    " to finish replacing the database files.");
            waiting = true;
        }
        wait();
    }
}

}  // namespace kavrin
