#include "engine/Compaction.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "dbformat/Records.h"
#include "engine/Progress.h"
#include "support/Errors.h"

namespace kavrin {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// 0xFFFFFFFF is no multiple of either record size, so it never stands for a real offset either.
static_assert(kNone % node::kSize != 0 && kNone % title::kSize != 0);

constexpr const char* kCannotReadNode = "Cannot read record from NodesMS.";
constexpr const char* kCannotWriteNode = "Cannot write record to NewNodesMS.";
constexpr const char* kCannotWriteInstall = "Cannot write record to NewInstallsMS.";
constexpr const char* kCannotWriteTitle = "Cannot write record to NewTitlesMS.";

// A new body is allocated once at its final size: a growing buffer would need up to twice the
// memory of the body at the moment it grows, and the old bodies are in memory as well.
FileBytes allocateBody(std::uint64_t size, const char* failure) {
    if (size > std::numeric_limits<std::size_t>::max()) {
        throw KavrinError(failure);
    }
    try {
        return allocateFileBytes(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        throw KavrinError(failure);
    }
}

// The installs of every kept entry are gathered by a counting sort keyed on the entry's record:
// one pass counts the live installs per node, a second one moves each into its place. Entries
// that share an offset (BuildNodeList never makes them) share one group, written once per entry.
class NodeGroups {
public:
    NodeGroups(std::uint64_t nodeBodySize) : m_nodeBodySize(nodeBodySize) {
        m_groupOfRecord.assign(static_cast<std::size_t>(nodeBodySize / node::kSize), kNone);
    }

    // The group of the record at `offset`, made when it has none yet.
    std::uint32_t groupOf(std::uint32_t offset) {
        std::uint32_t* slot;
        if (offset % node::kSize == 0) {
            slot = &m_groupOfRecord[offset / node::kSize];
        } else {
            slot = &m_unaligned.try_emplace(offset, kNone).first->second;
        }
        if (*slot == kNone) {
            *slot = m_groups++;
        }
        return *slot;
    }

    // The group of the record a NodeRef names, or kNone.
    std::uint32_t find(std::uint32_t nodeRef) const {
        if (nodeRef % node::kSize == 0) {
            const std::uint64_t record = nodeRef / node::kSize;
            return record < m_groupOfRecord.size() ? m_groupOfRecord[record] : kNone;
        }
        if (m_unaligned.empty()) {
            return kNone;
        }
        const auto found = m_unaligned.find(nodeRef);
        return found == m_unaligned.end() ? kNone : found->second;
    }

    bool readable(std::uint32_t offset) const {
        return static_cast<std::uint64_t>(offset) + node::kSize <= m_nodeBodySize;
    }

    std::uint32_t count() const { return m_groups; }

private:
    std::uint64_t m_nodeBodySize;
    std::vector<std::uint32_t> m_groupOfRecord;
    std::unordered_map<std::uint32_t, std::uint32_t> m_unaligned;
    std::uint32_t m_groups = 0;
};

struct GroupCopy {
    std::uint32_t group;
    std::uint64_t firstInstall;  // index in the new install body
    std::uint32_t newOffset;
};

}  // namespace

CompactedBodies compactBodies(std::span<const std::uint8_t> nodes,
                              std::span<const std::uint8_t> installs,
                              std::span<const std::uint8_t> titles,
                              std::span<const CompactionEntry> entries,
                              CompactionReporter& reporter) {
    const std::uint64_t installRecords = installs.size() / install::kSize;
    const std::uint64_t titleRecords = titles.size() / title::kSize;
    const std::size_t n = entries.size();

    // --- Node pass: which records are kept, at which new offsets, with how many installs.
    std::vector<std::uint32_t> groupOfEntry;
    std::vector<std::uint64_t> installCount;
    std::vector<std::uint64_t> firstInstall;
    std::vector<std::uint32_t> groupNewOffset;
    std::vector<GroupCopy> repeats;
    std::uint64_t keptNodes = 0;
    std::uint64_t keptInstalls = 0;
    try {
        NodeGroups groups(nodes.size());
        groupOfEntry.assign(n, kNone);
        for (std::size_t i = 0; i < n; ++i) {
            if (!entries[i].marked && groups.readable(entries[i].offset)) {
                groupOfEntry[i] = groups.groupOf(entries[i].offset);
            }
        }

        installCount.assign(groups.count(), 0);
        for (std::uint64_t j = 0; j < installRecords; ++j) {
            const std::uint8_t* record = installs.data() + j * install::kSize;
            if (installState(record) == 0) {
                const std::uint32_t group = groups.find(installNodeRef(record));
                if (group != kNone) {
                    ++installCount[group];
                }
            }
        }

        firstInstall.assign(groups.count(), std::numeric_limits<std::uint64_t>::max());
        groupNewOffset.assign(groups.count(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (entries[i].marked) {
                continue;
            }
            const std::uint32_t group = groupOfEntry[i];
            const std::uint64_t newOffset = keptNodes * node::kSize;
            ++keptNodes;
            if (group == kNone) {
                continue;  // unreadable: the commit fails when the pass reaches it
            }
            if (newOffset > std::numeric_limits<std::uint32_t>::max()) {
                throw KavrinError(kCannotWriteNode);  // its offset could not be referenced
            }
            if (firstInstall[group] == std::numeric_limits<std::uint64_t>::max()) {
                firstInstall[group] = keptInstalls;
                groupNewOffset[group] = static_cast<std::uint32_t>(newOffset);
            } else {
                repeats.push_back({group, keptInstalls, static_cast<std::uint32_t>(newOffset)});
            }
            keptInstalls += installCount[group];
        }

        // Installs are placed by the scan below; the node records now, so that the progress of
        // the pass and its failure at an unreadable entry come in list order.
        FileBytes newNodes = allocateBody(keptNodes * node::kSize, kCannotWriteNode);
        FileBytes newInstalls = allocateBody(keptInstalls * install::kSize, kCannotWriteInstall);
        std::uint8_t* nodeOut = newNodes.data.get();
        for (std::size_t i = 0; i < n; ++i) {
            if (entries[i].marked) {
                continue;
            }
            if (groupOfEntry[i] == kNone) {
                throw KavrinError(kCannotReadNode);
            }
            std::memcpy(nodeOut, nodes.data() + entries[i].offset, node::kSize);
            nodeOut += node::kSize;
            if (n > 1) {
                reporter.setPosition(progressPercent(i + 1, n));
            }
            reporter.pump();
        }

        // installCount becomes the next free place of each group.
        for (std::uint32_t g = 0; g < groups.count(); ++g) {
            installCount[g] = firstInstall[g];
        }
        std::uint8_t* installOut = newInstalls.data.get();
        for (std::uint64_t j = 0; j < installRecords; ++j) {
            const std::uint8_t* record = installs.data() + j * install::kSize;
            if (installState(record) != 0) {
                continue;
            }
            const std::uint32_t group = groups.find(installNodeRef(record));
            if (group == kNone ||
                firstInstall[group] == std::numeric_limits<std::uint64_t>::max()) {
                continue;
            }
            std::uint8_t* place = installOut + installCount[group]++ * install::kSize;
            std::memcpy(place, record, install::kSize);
            encodeFixed32(place + install::kNodeRef, groupNewOffset[group]);
        }
        for (const GroupCopy& repeat : repeats) {
            const std::uint64_t count = installCount[repeat.group] - firstInstall[repeat.group];
            std::uint8_t* place = installOut + repeat.firstInstall * install::kSize;
            std::memcpy(place, installOut + firstInstall[repeat.group] * install::kSize,
                        count * install::kSize);
            for (std::uint64_t k = 0; k < count; ++k) {
                encodeFixed32(place + k * install::kSize + install::kNodeRef, repeat.newOffset);
            }
        }

        CompactedBodies bodies;
        bodies.NewNodesMS.adopt(std::move(newNodes), 0);
        bodies.NewInstallsMS.adopt(std::move(newInstalls), 0);
        groupOfEntry = {};
        installCount = {};
        firstInstall = {};
        groupNewOffset = {};
        repeats = {};

        // --- Title pass. A title is kept when a written install names its offset; the written
        // installs are renumbered before the copy, which the caller cannot tell apart.
        reporter.titlePassStarting();
        std::vector<std::uint32_t> newTitleOffset;
        try {
            newTitleOffset.assign(static_cast<std::size_t>(titleRecords), kNone);
        } catch (const std::bad_alloc&) {
            throw KavrinError(kCannotWriteTitle);
        }
        std::uint8_t* written = bodies.NewInstallsMS.data();
        for (std::uint64_t j = 0; j < keptInstalls; ++j) {
            const std::uint32_t ref = installTitleRef(written + j * install::kSize);
            if (ref % title::kSize == 0 && ref / title::kSize < titleRecords) {
                newTitleOffset[ref / title::kSize] = 0;
            }
        }
        std::uint64_t keptTitles = 0;
        for (std::uint32_t& offset : newTitleOffset) {
            if (offset != kNone) {
                // Never beyond the old offset, which is a 32-bit value.
                offset = static_cast<std::uint32_t>(keptTitles * title::kSize);
                ++keptTitles;
            }
        }
        for (std::uint64_t j = 0; j < keptInstalls; ++j) {
            std::uint8_t* record = written + j * install::kSize;
            const std::uint32_t ref = installTitleRef(record);
            if (ref % title::kSize == 0 && ref / title::kSize < titleRecords) {
                encodeFixed32(record + install::kTitleRef, newTitleOffset[ref / title::kSize]);
            }
        }

        FileBytes newTitles = allocateBody(keptTitles * title::kSize, kCannotWriteTitle);
        std::uint8_t* titleOut = newTitles.data.get();
        for (std::uint64_t t = 0; t < titleRecords; ++t) {
            if (newTitleOffset[static_cast<std::size_t>(t)] != kNone) {
                std::memcpy(titleOut, titles.data() + t * title::kSize, title::kSize);
                titleOut += title::kSize;
            }
            if (!titles.empty()) {
                reporter.setPosition(progressPercent((t + 1) * title::kSize, titles.size()));
            }
            reporter.pump();
        }
        bodies.NewTitlesMS.adopt(std::move(newTitles), 0);

        for (MemoryStream* body :
             {&bodies.NewNodesMS, &bodies.NewInstallsMS, &bodies.NewTitlesMS}) {
            body->setPosition(0);
        }
        return bodies;
    } catch (const std::bad_alloc&) {
        // The index arrays of the node pass, a few bytes per node; the bodies and the title pass
        // name their own failures.
        throw KavrinError(kCannotWriteNode);
    }
}

}  // namespace kavrin
