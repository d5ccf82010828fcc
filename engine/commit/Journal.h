#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "dbformat/DatabaseFile.h"
#include "dbformat/JournalFormat.h"
#include "engine/commit/CommitClaim.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"

namespace kavrin {

// The three database files cannot be replaced in one atomic step. While a commit renames its new
// files over the old ones, a journal in the database folder (dbformat/JournalFormat.h) says what
// it is doing, so that the next open can finish the replacement or undo it when the commit was
// cut short (a crash, a lost connection, a killed process) and never loads a database whose files
// do not belong together.

// <folder>/Kavrin.journal, with the separator of the folder.
std::string journalPath(const std::string& folder);

// Puts `journal` into `folder` durably: written and flushed under the temporary name, renamed
// into place, the folder's entries flushed. On return the journal survives a crash.
void writeJournal(FileSystem& fs, const std::string& folder, const Journal& journal);
// Removes the journal and flushes the folder's entries.
void removeJournal(FileSystem& fs, const std::string& folder);

// Brings the three files of `folder` back to one whole database when it holds a journal: reads
// what the files hold (Replacement.h) and, by that alone, finishes the replacement with its new
// files or undoes it from the backup's copies (each checked against the journal first), logs each
// step, reads the files back, and only then removes the temporary files and the journal.
// Without a journal it touches nothing. Throws KavrinError, after logging the same text, when
// the journal cannot be read, when a file is neither the old nor the new one (another program
// changed it), when a needed copy is not the one the commit made, or when the disk refuses a
// step; the journal then stays, so that the next open tries again.
// REQUIRES: the caller holds the folder's claim (settleInterruptedCommit takes it).
void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder);

// Run by an open before it reads the database files, and again whenever a journal turns up
// while it reads them. Without a journal it returns at once. With one, it takes the folder's
// claim (CommitClaim.h; taking over one left by a commit that ended) and looks at the journal
// again while it holds it: only the holder of the claim recovers, so of two programs that find
// the same journal one recovers and the other waits for it or refuses, and neither touches the
// files while the other does. A commit still running holds the claim, and its journal is its
// own: the open then calls `wait` between looks for up to `patience`, for the journal to go,
// and refuses after that, naming the holder ("... the database was not opened."). On return the
// folder holds no journal.
// On a file system whose claims have no lock behind them (a share reached through the SMB client
// library) the claim is judged by its content: a journal whose claim names a process of this
// computer that no longer runs is recovered; one whose claim names another computer is left to
// that computer (or, once the claim is older than an hour, to the administrator, as the refusal
// says), since nothing here can tell whether that commit still runs.
void settleInterruptedCommit(FileSystem& fs, LogSink& log, Clock& clock, const std::string& folder,
                             std::chrono::milliseconds patience, const std::function<void()>& wait);

}  // namespace kavrin
