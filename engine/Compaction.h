#pragma once

#include <cstdint>
#include <span>

#include "dbformat/MemoryStream.h"

namespace kavrin {

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
};

// The three bodies a commit writes, each at position 0 of its stream.
struct CompactedBodies {
    MemoryStream NewNodesMS;
    MemoryStream NewInstallsMS;
    MemoryStream NewTitlesMS;
};

// Builds the bodies of the compacted database from the loaded bodies and the node entries in list
// order:
// - NewNodesMS: the 765 bytes at the offset of every entry that is not marked, in list order;
// - NewInstallsMS: for each of those entries, every whole install record whose InstallState is 0
//   and whose NodeRef is the entry's offset, in body order, NodeRef set to the entry's new offset;
// - NewTitlesMS: every whole title record whose offset is the TitleRef of a written install, in
//   body order; those TitleRefs are set to the title's new offset, any other TitleRef is kept.
// Trailing partial records are dropped. Time is linear in the sizes of the bodies and the number
// of entries; besides the new bodies it allocates a few bytes per node record, entry and title.
// Progress: for the k-th entry (of n) that is kept, setPosition(round((k + 1) * 100 / n)) when
// n > 1, then pump(); per title record, setPosition(round(end of the record / body size * 100)),
// then pump(). Halves round to even.
// Throws KavrinError "Cannot read record from NodesMS." for a kept entry with fewer than 765
// bytes at its offset (after the progress of the entries before it), and "Cannot write record
// to NewNodesMS." / "... NewInstallsMS." / "... NewTitlesMS." when a new body cannot be
// allocated.
CompactedBodies compactBodies(std::span<const std::uint8_t> nodes,
                              std::span<const std::uint8_t> installs,
                              std::span<const std::uint8_t> titles,
                              std::span<const CompactionEntry> entries,
                              CompactionReporter& reporter);

}  // namespace kavrin
