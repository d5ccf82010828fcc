#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "dbformat/Layout.h"
#include "dbformat/MemoryStream.h"
#include "support/fs/FileSystem.h"

namespace kavrin {

class InstallWriter;

// One node entry as a commit sees it: where its record starts in NodesMS and whether the user
// marked it for deletion.
struct CompactionEntry {
    std::uint32_t offset = 0;
    bool marked = false;
};

// Told how far a compaction has come. The calls come at the points where the window shows
// progress and handles its events during a commit: per kept entry of the node pass, then per
// title record of the title pass.
class CompactionReporter {
public:
    virtual ~CompactionReporter() = default;
    virtual void setPosition(int percent) = 0;
    virtual void pump() = 0;
    // The node pass is done and the title pass begins.
    virtual void titlePassStarting() = 0;
    // Called now and then (about once per million records) during the passes over the install
    // body that report nothing else: the window can be kept painted through them.
    virtual void working() {}
};

// The three bodies a commit writes, each at position 0 of its stream.
struct CompactedBodies {
    MemoryStream NewNodesMS;
    MemoryStream NewInstallsMS;
    MemoryStream NewTitlesMS;
};

// The compacted database, decided before a byte of it is written and written without being held:
// - new node body: the 765 bytes at the offset of every entry that is not marked, in list order;
// - new install body: for each of those entries, every whole install record whose InstallState is
//   0 and whose NodeRef is the entry's offset, in body order, NodeRef set to the entry's new
//   offset;
// - new title body: every whole title record whose offset is the TitleRef of a written install,
//   in body order; those TitleRefs are set to the title's new offset, any other TitleRef is kept.
// Trailing partial records are dropped.
//
// Making the plan runs the node pass (which entries are kept, where, with how many installs) and
// the title pass (which titles are kept, where), reporting as the window shows them: for the k-th
// entry (of n) that is kept, setPosition(round((k + 1) * 100 / n)) when n > 1, then pump(); then
// titlePassStarting(); per title record, setPosition(round(end of the record / body size * 100)),
// then pump(). Halves round to even. Throws KavrinError "Cannot read record from NodesMS." for a
// kept entry with fewer than 765 bytes at its offset (after the progress of the entries before it)
// and "Cannot write record to NewNodesMS." when its index arrays cannot be allocated or a kept
// node's new offset would not fit 32 bits.
//
// The writers then produce each new body in order, in blocks, each byte once. The installs of a
// node lie in runs in the body (a node's installs arrive scan by scan); the writer of the install
// body notes where each run of the kept nodes lies, and copies them in list order with both
// references renumbered. Its notes are bounded by `runMemory` bytes (16 per run): when the runs of
// all kept nodes do not fit, the nodes are taken a window at a time, one pass over the install
// body per window, and a node with more runs than fit has its installs copied straight from a pass
// of its own. Time is linear in the sizes of the bodies and the entries for any database whose
// runs fit; memory besides the bodies is memoryNeeded().
//
// The bodies, entries and reporter given must outlive the plan; the bodies and entries stay
// unchanged. The writers call the reporter's working() during their passes.
class CompactionPlan {
public:
    // `runMemory` 0 takes defaultRunMemory(installs.size()).
    CompactionPlan(std::span<const std::uint8_t> nodes, std::span<const std::uint8_t> installs,
                   std::span<const std::uint8_t> titles, std::span<const CompactionEntry> entries,
                   CompactionReporter& reporter, std::uint64_t runMemory = 0);

    std::uint64_t nodeBodySize() const { return m_keptNodes * node::kSize; }
    std::uint64_t installBodySize() const { return m_keptInstalls * install::kSize; }
    std::uint64_t titleBodySize() const { return m_keptTitles * title::kSize; }

    // Each writes its whole new body to `sink` in blocks; what the sink throws passes. Each may be
    // called again and writes the same bytes.
    void writeNodes(FileSink& sink) const;
    void writeInstalls(FileSink& sink) const;
    void writeTitles(FileSink& sink) const;

    // What the notes of the install writer may take for an install body of `installBytes`: a
    // thirty-second of the body, at least 8 MiB. A database as the server writes it has a few runs
    // per node and needs a small part of that.
    static std::uint64_t defaultRunMemory(std::uint64_t installBytes);
    // The most a plan and its writers hold besides the bodies and the entries, for bodies of these
    // sizes and `entries` node entries.
    static std::uint64_t memoryNeeded(std::uint64_t nodeBytes, std::uint64_t installBytes,
                                      std::uint64_t titleBytes, std::uint64_t entries);

private:
    friend class InstallWriter;

    // The steps of the constructor: the node pass (groups, installs and runs per group, the
    // titles named), its report per entry, the title pass.
    void planNodes();
    void reportNodePass() const;
    void planTitles();
    bool readable(std::uint32_t offset) const;
    // The group of node records by offset: the records of the kept entries get one each.
    std::uint32_t groupOf(std::uint32_t nodeRef) const;
    // Copies one install into `place` with its references renumbered.
    void renumber(std::uint8_t* place, const std::uint8_t* record, std::uint32_t nodeOffset) const;

    std::span<const std::uint8_t> m_nodes;
    std::span<const std::uint8_t> m_installs;
    std::span<const std::uint8_t> m_titles;
    std::span<const CompactionEntry> m_entries;
    CompactionReporter* m_reporter;
    std::uint64_t m_runMemory;

    std::vector<std::uint32_t> m_groupOfRecord;  // per whole node record; kNone: not kept
    std::unordered_map<std::uint32_t, std::uint32_t> m_unaligned;  // other offsets: group
    std::uint32_t m_groups = 0;
    std::vector<std::uint64_t> m_installCount;    // per group: its live installs
    std::vector<std::uint64_t> m_runCount;        // per group: the runs they lie in
    std::vector<std::uint32_t> m_newTitleOffset;  // per title record; kNone: not kept
    std::uint64_t m_keptNodes = 0;
    std::uint64_t m_keptInstalls = 0;
    std::uint64_t m_keptTitles = 0;
};

// The three new bodies built in memory by a plan: what the commit writes, for tests and tools.
// Throws as the plan does, and "Cannot write record to NewNodesMS." / "... NewInstallsMS." /
// "... NewTitlesMS." when a new body cannot be allocated.
CompactedBodies compactBodies(std::span<const std::uint8_t> nodes,
                              std::span<const std::uint8_t> installs,
                              std::span<const std::uint8_t> titles,
                              std::span<const CompactionEntry> entries,
                              CompactionReporter& reporter, std::uint64_t runMemory = 0);

}  // namespace kavrin
