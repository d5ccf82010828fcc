#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dbformat/DatabaseFile.h"
#include "dbformat/MemoryStream.h"
#include "dbformat/Records.h"
#include "engine/MainView.h"
#include "engine/backup/BackupFolder.h"
#include "engine/check/CommitPreview.h"
#include "engine/marking/Marking.h"
#include "engine/marking/Protection.h"
#include "engine/open/NodeList.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"
#include "support/platform/Memory.h"

namespace kavrin {

class CommitClaim;

// The one open database of the running program.
struct DatabaseContext {
    bool IsOpen = false;
    std::string DatabaseFolder;  // as resolved by the last open; kept by close and failed opens
    DatabaseHeader Header;       // the node file's header as last loaded
    // The install and title files' own headers as last loaded: a backup, and every put-back of a
    // file a commit replaced, writes each file byte for byte as it was opened.
    DatabaseHeader InstallHeader;
    DatabaseHeader TitleHeader;
    MemoryStream NodesMS;  // bodies: each file less its header
    MemoryStream InstallsMS;
    MemoryStream TitlesMS;
};

// Counters of one node list build.
struct NodeListCounts {
    std::int32_t RecordsRead = 0;
    std::int32_t NullCount = 0;
    std::int32_t ActiveCount = 0;
    std::int32_t DuplicateCount = 0;
};

// What a commit of the open database needs besides the memory the database holds already, at
// most, and what the system and the process's limits can give.
struct CommitMemory {
    std::uint64_t needed = 0;
    MemoryHeadroom available;
};

// How an open ended. `opened` is false also when the open did not start (another operation is
// running, or the question about pending changes was cancelled); only a failure has a message.
struct OpenResult {
    bool opened = false;
    std::string message;  // the error the view was shown
    // The file the open could not read, when its message does not name it already.
    std::string unreadFile;
    std::uint32_t nodeRecords = 0;
    std::uint32_t installRecords = 0;
    std::uint32_t titleRecords = 0;
};

// How a backup ended: the folder it made, or why none was made.
struct BackupResult {
    bool done = false;
    std::string folder;
    std::string message;
};

// How a commit or a restore ended.
struct ReplaceResult {
    enum Outcome {
        Done,       // the database holds the new files, checked
        NotDone,    // the database holds the files as they were opened; `message` says why
        Unsettled,  // neither could be made sure of: the journal stays, and the next open of
                    // the database finishes or undoes the replacement (`message` says so)
    } outcome = NotDone;
    std::string message;
    std::string backupFolder;  // the backup made first, when one was
};

// The open database and every operation on it. Reports through the MainView it is given; touches
// the disk only through its FileSystem. Every operation runs to completion on the caller's thread.
class MaintenanceEngine {
public:
    explicit MaintenanceEngine(MainView& view, FileSystem& fs = localFileSystem(),
                               Clock& clock = systemClock());

    DatabaseContext& context() { return m_ctx; }
    const DatabaseContext& context() const { return m_ctx; }
    NodeList& nodeList() { return m_nodes; }
    const NodeList& nodeList() const { return m_nodes; }
    int sortColumn() const { return m_sortColumn; }
    bool sortDescending() const { return m_sortDescending; }
    // Counters of the last node list build.
    const NodeListCounts& counts() const { return m_counts; }
    // A long operation is handing control to the view's event loop. Commands that arrive from
    // there (a click, a close request) must not start: they would run inside the operation.
    // Every operation that changes the database or the list refuses to start meanwhile.
    bool isPumping() const { return m_pumpDepth > 0; }

    // --- Opening and closing --------------------------------------------------------------

    // The folder named by the view's location fields: in server mode UncServerPrefix(text) +
    // "\Kavrin$", in folder mode the text exactly as typed.
    std::string ResolveDatabaseFolder() const;

    // Opens the database at the view's location; shows its own failures and never throws.
    OpenResult OpenDatabase();
    // Forgets the open database in the view (buffers, header and folder are kept).
    void CloseDatabase();

    // Some node entry is marked.
    bool HasPendingChanges() const;
    // No without asking when nothing is marked; otherwise the user's answer.
    Answer ConfirmPendingChanges();
    // A request to close the window: asks about pending changes and commits or closes as
    // answered. Returns false when the window must stay open (Cancel).
    bool CloseRequested();

    // --- Node list ---------------------------------------------------------------------------

    // Fills the node list, "Duplicates" and the counters from NodesMS. `total` is the node count.
    void BuildNodeList(std::uint32_t total);
    // The names listed under "Duplicates" by the last open (as the files hold them, not UTF-8),
    // one per entry beyond a name's first.
    const std::vector<std::string>& duplicateNames() const { return m_duplicateNames; }
    // Sorts, sets the health text and offers to fix duplicates when some were counted.
    void ShowDuplicateStatus();
    // <0, 0, >0 by the current sort column and direction.
    int NodesLVCompare(const NodeEntry& item1, const NodeEntry& item2) const;
    // Column 0..3 clicked: sort by it, direction flipped.
    void NodesLVColumnClick(int column);
    // Sorts by column 0..3 in the direction given, as the column clicks that lead there would.
    void SortNodeList(int column, bool descending);
    // Rows sorted as one piece; a longer list is sorted and moved into its order a piece of this
    // many rows at a time, the view pumped between the pieces.
    static constexpr std::size_t kSortPiece = 16384;

    // --- Node details ------------------------------------------------------------------------

    // Replaces the "Node Stats" lines by the details of `record`, then selects that page.
    void ShowNodeDetails(const NodeRecord& record, std::uint32_t offset);
    // Mouse or key released over the node list: details of the first selected entry while a
    // database is open; every error is dropped.
    void ShowSelectedNodeDetails();
    // Install records of InstallsMS whose NodeRef is `offset`, whatever their state.
    std::uint32_t InstallCount(std::uint32_t offset) const;

    // --- Marking -----------------------------------------------------------------------------

    // Marks (or unmarks) the selected entries; returns how many were selected.
    std::size_t MarkSelectedNodes(bool mark);
    // Which of "Delete" and "Undelete" apply to the selection; nothing when no database is open.
    std::optional<PopupEnabling> deleteUndeleteEnabling() const;
    // Marks every entry whose LastOnline is strictly earlier than `date`; returns their number.
    std::size_t MarkNodesOlderThan(double date);
    // What MarkNodesOlderThan(date) would return, marking nothing; throws as it would.
    std::size_t CountNodesOlderThan(double date) const;
    // Asks whether to mark duplicates; Yes runs FixDuplicates. Not asked while the rules file is
    // broken (protectionProblem()).
    void OfferFixDuplicates();
    // Marks every entry of a duplicate name but the one kept; returns what the run marked.
    DuplicateFixResult FixDuplicates();

    // --- Protection (engine/marking/Protection.h) ----------------------------------------------
    // Every marking above is applied as before and then leaves protected nodes unmarked; by hand
    // a protected node is refused, the view shown which rule protects it.

    // Rules for every open of this engine besides the database's own file (the command line's
    // --protect). Throws KavrinError with patternProblem's text for a pattern that is no rule.
    void setRunProtection(const std::vector<std::string>& patterns);
    // The rules in force: the database's file, read at the open, then those of the run.
    const ProtectionRules& protectionRules() const { return m_rules; }
    // Why the open database's rules file cannot be used, naming the file and the line; "" when it
    // can or there is none. Meanwhile every marking and the commit are refused with this text:
    // a broken file must not silently protect nothing.
    const std::string& protectionProblem() const { return m_protectionProblem; }
    // Reads the open database's rules file again and applies the rules to the list: a marked node
    // they protect is unmarked (logged). Never throws: a file that cannot be read or used sets
    // protectionProblem().
    void LoadProtection();
    // Adds the rule (or gives its pattern the new reason) in the open database's rules file, or
    // removes the rules of `pattern` (false when there was none), then LoadProtection(). Refused
    // while the file is broken or a commit holds the claim; throws KavrinError with the reason,
    // the file as it was.
    void AddProtectionRule(const std::string& pattern, const std::string& reason);
    bool RemoveProtectionRule(const std::string& pattern);

    // --- Backup and commit -------------------------------------------------------------------

    // Writes the three files as they were opened, each behind its own header, byte for byte, into
    // a new time-stamped sub-folder with its summary.txt (engine/backup/BackupFolder.h), durably,
    // and returns that folder ("-2", "-3"... appended when the stamp's folder exists already).
    // Never throws: a failure is in the result, not shown by the view.
    BackupResult BackupDatabase();
    // What a commit of the current marks would write (engine/check/CommitPreview.h); writes
    // nothing. Throws when no database is open, and as the commit would for an unreadable entry.
    CommitPreview PreviewCommit() const;
    // Backs up (with the manifest of what the commit removes and where each record goes),
    // compacts and rewrites the database, checks the files in place against the preview and
    // puts the originals back when they differ, then closes the database. Shows its own failures
    // (after its claim is released) and never throws; returns how it ended. A commit that
    // reports failure has not committed. The check reads the files in blocks: it adds no copy
    // of the database to what the commit holds.
    ReplaceResult CommitDatabase();
    // What a commit of the open database and its marks would need, and what can be had: a
    // commit that needs more is refused before it writes anything.
    CommitMemory commitMemory() const;

    // The backup folders of the open database, newest first; without an open database (none
    // yet, or an open that failed) those of the location the view's fields name.
    std::vector<BackupFolderInfo> BackupFolders() const;
    // BackupFolders() finds at least one; false also when the folder cannot be listed.
    bool locationHasBackups() const;
    // Puts the three files of `backup` (a folder path, or a backup folder's name in the database
    // folder) back in place, as a commit: the backup is checked whole first (refused, nothing is
    // written), then the claim, the check for changes since the open, a backup of the current
    // files, the journaled replacement and the check of the files in place. Logs what it did and
    // closes the database. Shows its own failures and never throws.
    // Without an open database it restores the location the view's fields name, whatever its
    // files hold (a damaged database does not load): under the claim they are read as they are,
    // and the backup made first keeps them byte for byte (a missing one as an empty file).
    // Memory: the backup's three files whole, beside the open database or the files in place.
    ReplaceResult RestoreBackup(const std::string& backup);

    // "" when the folder of the open database (without one, the location the fields name) can
    // be written; otherwise the line that says it cannot, and why: "The database folder cannot
    // be written : <folder> (<reason>)". Found by creating and removing a file of a unique name
    // there: nothing stays, and a folder that cannot be written is not changed.
    std::string folderWriteProblem();

    // How long an open that finds a running commit replacing the files waits for it to end
    // before it refuses, naming the commit.
    static constexpr std::chrono::milliseconds kRunningCommitPatience{20000};
    void setRunningCommitPatience(std::chrono::milliseconds patience) {
        m_runningCommitPatience = patience;
    }

private:
    MainView& m_view;
    FileSystem& m_fs;
    std::vector<std::string> m_duplicateNames;
    Clock& m_clock;
    DatabaseContext m_ctx;
    NodeList m_nodes;
    NodeListCounts m_counts;
    int m_pumpDepth = 0;
    std::vector<std::string> m_runPatterns;
    ProtectionRules m_rules;
    std::string m_protectionProblem;
    std::chrono::milliseconds m_runningCommitPatience = kRunningCommitPatience;
    int m_sortColumn = 0;
    bool m_sortDescending = false;
    // The three files as the last open found them (node, install, title): the paths actually
    // read, located without regard to case, and their size and time at that moment.
    std::array<std::string, 3> m_openedPaths;
    std::array<FileStatus, 3> m_openedFiles{};
    // When the reading of the opened files began (wallClockNs), for their statuses to vouch for
    // their bytes.
    std::int64_t m_openedSinceNs = 0;
    // The file an open was reading when the reading failed; empty otherwise.
    std::string m_unreadFile;
    // The files a commit put in place, as its check read them back, with their paths and status
    // after the check: the open that follows takes each one still so instead of reading it again.
    // Any other open, or a close, lets them go.
    struct CheckedFiles {
        std::string folder;
        std::array<std::string, 3> paths;
        std::array<FileStatus, 3> statuses{};
        std::array<FileBytes, 3> files;
        std::int64_t readSinceNs = 0;  // when the check began to read them
    };
    std::optional<CheckedFiles> m_checkedFiles;
    // Set when a commit let the opened files go from memory before its check (the backup holds
    // them): a commit that then ends with the files as opened cannot keep the database open.
    bool m_openedReleased = false;
    // Install records per node record index (NodeRef / 765), counted once per open on the first
    // showing of details; empty until then.
    mutable std::vector<std::uint32_t> m_installCounts;
    mutable bool m_installCountsValid = false;

    // Reads the three files of `folder` into the bodies and headers and keeps their paths and
    // status. Reads again, a few times and briefly apart, while another program changes them, so
    // that the bodies are all of one moment; throws when they never hold still.
    // A file still as `checked` found it is taken from there instead. `found` are the files'
    // paths and status as the open found them just before.
    struct FoundFile {
        std::string path;
        FileStatus status;
    };
    void loadDatabaseFiles(const std::string& folder, const std::array<FoundFile, 3>& found,
                           std::optional<CheckedFiles> checked);
    // Reads file `i` (node, install, title) into its body and header, or takes `checked` when
    // given; returns `before`, or nothing when what was read is not of its size. Whether the
    // file held still meanwhile is the caller's to find out, by its status then.
    std::optional<FileStatus> loadDatabaseFile(std::size_t i, const std::string& path,
                                               const std::string& located, const FileStatus& before,
                                               FileBytes* checked);
    // Lets the opened files and the rows that show them go from memory, for a commit's check.
    void releaseOpenedFiles();
    // After a put-back that followed releaseOpenedFiles: reads the files in place again, and
    // keeps the database open only when they are the files as opened (`opened`).
    void reloadOpenedFiles(const std::array<FileCheck, 3>& opened);
    // Whether the check after a commit keeps the files it reads: only when they fit.
    bool keepCheckedFiles(const std::array<FileCheck, 3>& written) const;
    // Leaves `folder` without a journal: recovers an interrupted commit under the claim, or waits
    // for a running one (pumping the view) and refuses after the patience set.
    void settleJournal(const std::string& folder);
    // A claim left by a commit that ended goes, and with it the temporary files that commit
    // left, when the claim can be taken over; otherwise nothing changes.
    void tidyAfterEndedCommit(const std::string& folder);
    // Sorts by the current column and direction; a list longer than kSortPiece rows with the
    // view busy and pumped between pieces of the sort.
    void sortNodeList();
    // Lets the view handle its waiting events, marking the engine as pumping meanwhile.
    void pumpEvents();
    // What a long operation passes to the file layer's whole-file reads and writes: a pump
    // between blocks, so that the window is repainted while a slow share moves hundreds of
    // megabytes.
    FileProgress pumpingProgress();
    // Files written into a backup folder besides the three database files: name and what makes
    // the content. Each is made just before it is written and let go after, so that only one
    // of them is held at a time.
    using BackupExtraFiles = std::vector<std::pair<std::string, std::function<std::string()>>>;
    using BackupExtras = std::function<BackupExtraFiles(const std::array<FileCheck, 3>& files)>;
    // Each of the three files as the header's bytes and the body's, or (read as they are) all
    // the file's bytes and nothing.
    using FileContents = std::array<std::array<std::span<const std::uint8_t>, 2>, 3>;
    FileContents openedContents() const;
    // The three files a backup keeps: their bytes (`contents`, of which `checks` gives the size
    // and CRC-32) and, where those bytes are the files in place as they were read, the files'
    // paths and their status then (`inPlace`, `statuses`): the file layer then copies the files
    // (in its system, or on the server of a share) rather than this program writing the bytes
    // again.
    struct BackupFiles {
        FileContents contents;
        std::array<FileCheck, 3> checks;
        std::optional<std::array<std::string, 3>> inPlace;
        std::array<FileStatus, 3> statuses{};
        std::int64_t readSinceNs = 0;  // when the reading of the files in place began
    };
    // The backup of the files as they were opened.
    BackupFiles openedBackupFiles(bool pump);
    // Writes `files` into a new backup folder of `databaseFolder`. Pumps the view between the
    // blocks it writes when `pump` is set (only inside an operation that has made the view busy).
    std::string writeBackup(const std::string& databaseFolder, const BackupFiles& files,
                            const BackupExtras& extras, bool pump);
    // Puts file `i` of `files` at `path`: a copy of the file in place where it is proved to hold
    // the bytes kept, else the bytes written.
    void saveBackupFile(const BackupFiles& files, std::size_t i, const std::string& path,
                        bool pump);
    // Where a restore writes and where its backups are listed from (BackupFolders).
    std::string restoreFolder() const;
    // Size and CRC-32 of each file as it was opened; with `pump`, the view is pumped between
    // slices of a large body.
    std::array<FileCheck, 3> openedChecks(bool pump);
    // Throws, before a commit writes anything, when the memory the commit needs besides the open
    // database is more than the system and the process's limits can give
    // (support/platform/Memory.h).
    void requireCommitMemory() const;
    // The frame of a commit and a restore: refused while another operation pumps; the "Log" page
    // and busy; `steps`, whose failure becomes the result; the claim they took released; a
    // failure logged and shown; the database closed, unless `onNotDone` keeps it open after a
    // failure that left the files as they were opened.
    using ReplacingSteps =
        std::function<void(ReplaceResult& result, std::optional<CommitClaim>& claim)>;
    // What a failure that left the files as they were opened does to the open database.
    enum class OnNotDone { Close, KeepOpen };
    ReplaceResult runReplacing(const std::string& outOfMemory, OnNotDone onNotDone,
                               const ReplacingSteps& steps);
    // The commit's backup, with the preview it makes on the way (kept in `preview`) and its
    // manifest; returns the checks of the files as opened.
    std::array<FileCheck, 3> backUpForCommit(CommitPreview& preview, std::string& backupFolder);
    // Plans the compaction and replaces the three files by the compacted ones, checked.
    void writeCompacted(const CommitPreview& preview, const std::array<FileCheck, 3>& checks,
                        const std::string& backupFolder);

    // The steps of an open: the view and the buffers emptied; the files read and their header
    // checked; the "DB Stats" lines.
    void startOpen();
    // The end of an open that failed: its error shown (with the file it could not read), the
    // database closed.
    void failOpen(OpenResult& result);
    void readDatabase(OpenResult& result, std::optional<CheckedFiles> checked);
    void showDatabaseStats(const OpenResult& result);
    // Unmarks the protected rows a marking has just marked, as spared, and logs how many; returns
    // their number.
    std::size_t spareProtected();
    // Shows protectionProblem() when it is set: the marking asked for does not start.
    bool refusedByBrokenRules();
    // The rules file edited by `edit` (given its text, "" when there is none; nothing to leave it
    // as it is) and written back atomically, then read again.
    void editProtection(
        const std::function<std::optional<std::string>(const std::string& text)>& edit);
    // The end of FixDuplicates on every path: the summary in the health text, progress and busy
    // off.
    void finishFixDuplicates(const DuplicateFixResult& fixed);
};

}  // namespace kavrin
