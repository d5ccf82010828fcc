#pragma once

#include <string>

#include "dbformat/DatabaseFile.h"
#include "dbformat/JournalFormat.h"
#include "engine/CommitClaim.h"
#include "support/FileSystem.h"

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

// Run by an open before it looks at the database files. When `folder` holds a journal, brings
// the three files back to one whole database, logs each step, removes the temporary files and
// then the journal:
// - when each file is either replaced already or its complete new file is there, the remaining
//   new files are renamed into place (the commit is finished);
// - otherwise every file that was replaced (or is missing) is put back from its copy in the
//   backup folder, each copy first checked against the journal (the commit is undone).
// `claim` is what the open found at the folder's claim: one left by the interrupted commit
// (Ended) goes with the journal. The caller does not recover while a commit holds the claim.
// Without a journal it touches nothing. Throws KavrinError, after logging the same text, when
// the journal cannot be read, when a file is neither the original, the new file nor the copy
// (another program changed it), when a needed copy is not the one the commit made, or when the
// disk refuses a step; the journal then stays, so that the next open tries again.
void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder,
                              const ClaimFinding& claim = {});

}  // namespace kavrin
