#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/open/NodeList.h"

namespace kavrin {

// What a commit of the current marks would write, counted without writing anything and without
// building the new bodies: the commit's own rules (engine/commit/Compaction.h) applied to counts.

// The three files in their fixed order.
enum DatabaseFileIndex : std::size_t { kNodeFile = 0, kInstallFile = 1, kTitleFile = 2 };

// Whole records and bytes (the header included) of one file.
struct FileTotals {
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    bool operator==(const FileTotals&) const = default;
};

// A marked entry, as the commit removes it.
struct RemovedNode {
    std::string name;  // UTF-8, as the node list shows it
    std::uint32_t offset = 0;
    std::string indexText;  // the offset as the "Index" column writes it
    std::string user;       // UTF-8; empty when the record cannot be read
    std::string serial;
    double lastOnline = 0;
    // Install records naming the node, whatever their state: they all go with it.
    std::uint64_t installs = 0;
    std::string reason;
};

struct CommitPreview {
    std::array<FileTotals, 3> before;            // as opened
    std::array<FileTotals, 3> after;             // as the commit writes them
    std::uint64_t emptyNodeRecords = 0;          // NullRecords and records no entry lists
    std::uint64_t installsOfRemovedNodes = 0;    // every install naming a removed node
    std::uint64_t deadInstalls = 0;              // not live, of a kept node or of none
    std::uint64_t installsOfNoNode = 0;          // live, naming no listed node
    std::uint64_t orphanedTitles = 0;            // titles no written install names
    std::uint64_t unmatchedTitleReferences = 0;  // written installs naming no title: kept as is
    std::vector<RemovedNode> removed;            // in list order
    // Protection rules are in force: the nodes they kept are counted.
    bool protection = false;
    // Entries a marking would have removed but a protection rule kept (NodeList::spared), in
    // list order, each with "protected by PATTERN" as its reason.
    std::vector<RemovedNode> spared;
    // Old offsets of the records written, in the order they are written: of the kept entries in
    // list order, of the kept titles in body order. Their new offsets follow from the positions.
    std::vector<std::uint32_t> keptNodes;
    std::vector<std::uint32_t> keptTitles;

    // Lets the three lists go, keeping the counts.
    void dropLists() {
        removed = {};
        spared = {};
        keptNodes = {};
        keptTitles = {};
    }
};

// The preview of a commit of `list` (its order and marks) over the loaded bodies. Throws
// KavrinError "Cannot read record from NodesMS." for an unmarked entry whose record is not whole
// in `nodes`, as the commit does.
// Memory: 24 bytes per node record, one per title record, the lists above; nothing per install.
// Time: one pass over each body, during which `working`, when given, is called about once per
// million install records (to keep a window painted).
CommitPreview previewCommit(std::span<const std::uint8_t> nodes,
                            std::span<const std::uint8_t> installs,
                            std::span<const std::uint8_t> titles, const NodeList& list,
                            const std::function<void()>& working = {});

// Shown names of the three files, as the preview and the check write them.
std::string databaseFileName(std::size_t file);

// "Kavrin.cmp : 5 -> 2 records, 4055 -> 1760 bytes", one line per file.
std::string previewFileLine(const CommitPreview& preview, std::size_t file);
// What goes besides the marked nodes' records, labelled: the lines after the file lines; with
// protection in force, last, the nodes it kept.
std::vector<std::pair<std::string, std::uint64_t>> previewRemovals(const CommitPreview& preview);
// The file lines, then "label : count" for each removal: what the command line prints and the
// backup folder's summary.txt holds.
std::vector<std::string> previewTotalsLines(const CommitPreview& preview);

// The removed nodes as CSV (support/text/Csv.h): a header row, then one row each: name, old offset,
// user, serial, last online (ISO 8601), install count, reason; then the nodes a protection rule
// kept, their reason saying so. The manifest and "Save List...".
// `working`, when given, is called every few thousand rows (to keep a window painted).
std::string removedNodesCsv(const CommitPreview& preview,
                            const std::function<void()>& working = {});
// Every record the commit writes, as CSV: a header row, then "file,old offset,new offset" for each
// node record and each title record, offsets as the "Index" column writes them. `working` as
// above.
std::string writtenOffsetsCsv(const CommitPreview& preview,
                              const std::function<void()>& working = {});

}  // namespace kavrin
