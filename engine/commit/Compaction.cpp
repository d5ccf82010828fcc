#include "engine/commit/Compaction.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "dbformat/Coding.h"
#include "dbformat/Records.h"
#include "engine/Progress.h"
#include "support/platform/Errors.h"

namespace kavrin {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// 0xFFFFFFFF is no multiple of either record size, so it never stands for a real offset either.
static_assert(kNone % node::kSize != 0 && kNone % title::kSize != 0);

constexpr const char* kCannotReadNode = "Cannot read record from NodesMS.";
constexpr const char* kCannotWriteNode = "Cannot write record to NewNodesMS.";
constexpr const char* kCannotWriteInstall = "Cannot write record to NewInstallsMS.";
constexpr const char* kCannotWriteTitle = "Cannot write record to NewTitlesMS.";

// The writers hand the sink blocks of this size: large enough that the file layer writes at the
// disk's pace, small beside any body worth streaming (the commit holds the open database and
// its node list meanwhile).
constexpr std::size_t kWriteBlock = 1024 * 1024;

constexpr std::uint64_t kLeastRunMemory = 8 * 1024 * 1024;

// Records between two calls of CompactionReporter::working() (a mask: 2^20 - 1).
constexpr std::uint64_t kWorkingEvery = (std::uint64_t{1} << 20) - 1;

// Install records [first, end) of the body: a run of one node's live installs, with only records
// a commit drops between them.
struct Run {
    std::uint64_t first;
    std::uint64_t end;
};

// Gathers records into blocks for a sink.
class BlockWriter {
public:
    BlockWriter(FileSink& sink, std::uint64_t total)
        : m_sink(sink),
          m_size(static_cast<std::size_t>(std::min<std::uint64_t>(total, kWriteBlock))),
          m_block(std::make_unique_for_overwrite<std::uint8_t[]>(m_size)) {}

    // Room for `n` bytes (n <= the block size), handed to the sink with the block.
    std::uint8_t* place(std::size_t n) {
        if (m_used + n > m_size) {
            flush();
        }
        std::uint8_t* at = m_block.get() + m_used;
        m_used += n;
        return at;
    }

    void flush() {
        if (m_used > 0) {
            m_sink.write(std::span<const std::uint8_t>(m_block.get(), m_used));
            m_used = 0;
        }
    }

private:
    FileSink& m_sink;
    std::size_t m_size;
    std::unique_ptr<std::uint8_t[]> m_block;
    std::size_t m_used = 0;
};

// A sink into a body allocated once at its final size: a growing buffer would need up to twice
// the memory of the body at the moment it grows, and the old bodies are in memory as well.
class BodySink final : public FileSink {
public:
    BodySink(std::uint64_t size, const char* failure) {
        if (size > std::numeric_limits<std::size_t>::max()) {
            throw KavrinError(failure);
        }
        try {
            m_bytes = allocateFileBytes(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            throw KavrinError(failure);
        }
    }
    void write(std::span<const std::uint8_t> bytes) override {
        std::memcpy(m_bytes.data.get() + m_used, bytes.data(), bytes.size());
        m_used += bytes.size();
    }
    void moveInto(MemoryStream& body) {
        body.adopt(std::move(m_bytes), 0);
        body.setPosition(0);
    }

private:
    FileBytes m_bytes;
    std::size_t m_used = 0;
};

}  // namespace

std::uint64_t CompactionPlan::defaultRunMemory(std::uint64_t installBytes) {
    return std::max(kLeastRunMemory, installBytes / 32);
}

std::uint64_t CompactionPlan::memoryNeeded(std::uint64_t nodeBytes, std::uint64_t installBytes,
                                           std::uint64_t titleBytes, std::uint64_t entries) {
    const std::uint64_t runs =
        std::min(defaultRunMemory(installBytes), (installBytes / install::kSize + 1) * sizeof(Run));
    // Per group: installs, runs, and the writer's window and place of its runs.
    const std::uint64_t perGroup = 8 + 8 + 4 + 8;
    return nodeBytes / node::kSize * 4 + entries * perGroup + titleBytes / title::kSize * 4 + runs +
           kWriteBlock;
}

std::uint32_t CompactionPlan::groupOf(std::uint32_t nodeRef) const {
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

CompactionPlan::CompactionPlan(std::span<const std::uint8_t> nodes,
                               std::span<const std::uint8_t> installs,
                               std::span<const std::uint8_t> titles,
                               std::span<const CompactionEntry> entries,
                               CompactionReporter& reporter, std::uint64_t runMemory)
    : m_nodes(nodes),
      m_installs(installs),
      m_titles(titles),
      m_entries(entries),
      m_reporter(&reporter),
      m_runMemory(runMemory != 0 ? runMemory : defaultRunMemory(installs.size())) {
    try {
        planNodes();
    } catch (const std::bad_alloc&) {
        throw KavrinError(kCannotWriteNode);
    }
    reportNodePass();
    planTitles();
}

bool CompactionPlan::readable(std::uint32_t offset) const {
    return static_cast<std::uint64_t>(offset) + node::kSize <= m_nodes.size();
}

// --- Node pass: which records are kept, at which new offsets, with how many installs in how
// many runs; and which titles those installs name.
void CompactionPlan::planNodes() {
    m_groupOfRecord.assign(static_cast<std::size_t>(m_nodes.size() / node::kSize), kNone);
    for (const CompactionEntry& entry : m_entries) {
        if (entry.marked || !readable(entry.offset)) {
            continue;
        }
        std::uint32_t* slot = entry.offset % node::kSize == 0
                                  ? &m_groupOfRecord[entry.offset / node::kSize]
                                  : &m_unaligned.try_emplace(entry.offset, kNone).first->second;
        if (*slot == kNone) {
            *slot = m_groups++;
        }
    }

    const std::uint64_t titleRecords = m_titles.size() / title::kSize;
    m_installCount.assign(m_groups, 0);
    m_runCount.assign(m_groups, 0);
    m_newTitleOffset.assign(static_cast<std::size_t>(titleRecords), kNone);
    std::uint32_t previous = kNone;
    for (std::uint64_t j = 0; j < m_installs.size() / install::kSize; ++j) {
        if ((j & kWorkingEvery) == kWorkingEvery) {
            m_reporter->working();
        }
        const std::uint8_t* record = m_installs.data() + j * install::kSize;
        if (installState(record) != 0) {
            continue;
        }
        const std::uint32_t group = groupOf(installNodeRef(record));
        if (group == kNone) {
            continue;
        }
        ++m_installCount[group];
        if (group != previous) {
            ++m_runCount[group];
            previous = group;
        }
        const std::uint32_t ref = installTitleRef(record);
        if (ref % title::kSize == 0 && ref / title::kSize < titleRecords) {
            m_newTitleOffset[ref / title::kSize] = 0;
        }
    }

    for (const CompactionEntry& entry : m_entries) {
        if (entry.marked) {
            continue;
        }
        const std::uint64_t newOffset = m_keptNodes * node::kSize;
        ++m_keptNodes;
        const std::uint32_t group = readable(entry.offset) ? groupOf(entry.offset) : kNone;
        if (group == kNone) {
            continue;  // unreadable: the plan fails when the pass below reaches it
        }
        if (newOffset > std::numeric_limits<std::uint32_t>::max()) {
            throw KavrinError(kCannotWriteNode);  // its offset could not be referenced
        }
        m_keptInstalls += m_installCount[group];
    }
}

void CompactionPlan::reportNodePass() const {
    // The records are copied by the writers; the pass reports per entry, and fails at an
    // unreadable one, in list order.
    const std::size_t n = m_entries.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (m_entries[i].marked) {
            continue;
        }
        if (!readable(m_entries[i].offset)) {
            throw KavrinError(kCannotReadNode);
        }
        if (n > 1) {
            m_reporter->setPosition(progressPercent(i + 1, n));
        }
        m_reporter->pump();
    }
}

// --- Title pass. A title is kept when a written install names its offset.
void CompactionPlan::planTitles() {
    m_reporter->titlePassStarting();
    for (std::uint32_t& offset : m_newTitleOffset) {
        if (offset != kNone) {
            // Never beyond the old offset, which is a 32-bit value.
            offset = static_cast<std::uint32_t>(m_keptTitles * title::kSize);
            ++m_keptTitles;
        }
    }
    const std::uint64_t titleRecords = m_titles.size() / title::kSize;
    for (std::uint64_t t = 0; t < titleRecords; ++t) {
        if (!m_titles.empty()) {
            m_reporter->setPosition(progressPercent((t + 1) * title::kSize, m_titles.size()));
        }
        m_reporter->pump();
    }
}

void CompactionPlan::renumber(std::uint8_t* place, const std::uint8_t* record,
                              std::uint32_t nodeOffset) const {
    std::memcpy(place, record, install::kSize);
    encodeFixed32(place + install::kNodeRef, nodeOffset);
    const std::uint32_t ref = installTitleRef(record);
    if (ref % title::kSize == 0 && ref / title::kSize < m_newTitleOffset.size()) {
        encodeFixed32(place + install::kTitleRef, m_newTitleOffset[ref / title::kSize]);
    }
}

void CompactionPlan::writeNodes(FileSink& sink) const {
    BlockWriter out(sink, nodeBodySize());
    for (const CompactionEntry& entry : m_entries) {
        if (!entry.marked) {
            std::memcpy(out.place(node::kSize), m_nodes.data() + entry.offset, node::kSize);
        }
    }
    out.flush();
}

void CompactionPlan::writeTitles(FileSink& sink) const {
    BlockWriter out(sink, titleBodySize());
    for (std::size_t t = 0; t < m_newTitleOffset.size(); ++t) {
        if (m_newTitleOffset[t] != kNone) {
            std::memcpy(out.place(title::kSize), m_titles.data() + t * title::kSize, title::kSize);
        }
    }
    out.flush();
}

// Writes the installs of the kept entries in list order, a window of entries at a time: the
// runs of the window's groups are found in one pass over the installs, then copied entry by entry.
class InstallWriter {
public:
    InstallWriter(const CompactionPlan& plan, FileSink& sink)
        : m_plan(plan),
          m_out(sink, plan.installBodySize()),
          m_runBudget(std::max<std::uint64_t>(1, plan.m_runMemory / sizeof(Run))),
          m_windowOf(plan.m_groups, kNone),
          m_nextRun(plan.m_groups, 0) {}

    void run() {
        const std::size_t n = m_plan.m_entries.size();
        std::size_t first = 0;
        for (std::uint32_t window = 0; first < n; ++window) {
            const std::size_t end = chooseWindow(first, window);
            if (m_windowGroups.empty()) {
                break;  // only marked entries are left
            }
            if (m_windowRuns > m_runBudget) {
                writeByScan(first, end);
            } else {
                locateRuns(window);
                writeFromRuns(first, end);
            }
            first = end;
        }
        m_out.flush();
    }

private:
    const std::uint8_t* recordAt(std::uint64_t j) const {
        return m_plan.m_installs.data() + j * install::kSize;
    }
    std::uint64_t installRecords() const { return m_plan.m_installs.size() / install::kSize; }
    std::uint32_t nextNodeOffset() {
        return static_cast<std::uint32_t>(m_keptBefore++ * node::kSize);
    }
    void copyIfOf(std::uint64_t j, std::uint32_t group, std::uint32_t nodeOffset) {
        const std::uint8_t* record = recordAt(j);
        if (installState(record) == 0 && m_plan.groupOf(installNodeRef(record)) == group) {
            m_plan.renumber(m_out.place(install::kSize), record, nodeOffset);
        }
    }

    // The window: the entries from `first` on whose groups' runs fit the budget together; a
    // group that does not fit alone makes a window of its own. Returns its end.
    std::size_t chooseWindow(std::size_t first, std::uint32_t window) {
        const std::span<const CompactionEntry> entries = m_plan.m_entries;
        m_windowGroups.clear();
        m_windowRuns = 0;
        std::size_t end = first;
        for (; end < entries.size(); ++end) {
            if (entries[end].marked) {
                continue;
            }
            const std::uint32_t group = m_plan.groupOf(entries[end].offset);
            if (m_windowOf[group] == window) {
                continue;
            }
            if (!m_windowGroups.empty() && m_windowRuns + m_plan.m_runCount[group] > m_runBudget) {
                break;
            }
            m_windowOf[group] = window;
            m_nextRun[group] = m_windowRuns;
            m_windowRuns += m_plan.m_runCount[group];
            m_windowGroups.push_back(group);
        }
        return end;
    }

    // One group: each of its entries takes its installs straight from a pass in body order.
    void writeByScan(std::size_t first, std::size_t end) {
        const std::uint32_t group = m_windowGroups.front();
        for (std::size_t e = first; e < end; ++e) {
            if (m_plan.m_entries[e].marked) {
                continue;
            }
            const std::uint32_t nodeOffset = nextNodeOffset();
            for (std::uint64_t j = 0; j < installRecords(); ++j) {
                if ((j & kWorkingEvery) == kWorkingEvery) {
                    m_plan.m_reporter->working();
                }
                copyIfOf(j, group, nodeOffset);
            }
        }
    }

    // Where the runs of the window's groups lie, found in one pass with the same boundaries as
    // the node pass counted.
    void locateRuns(std::uint32_t window) {
        m_runs.resize(static_cast<std::size_t>(m_windowRuns));
        std::uint32_t previous = kNone;
        Run* current = nullptr;
        for (std::uint64_t j = 0; j < installRecords(); ++j) {
            if ((j & kWorkingEvery) == kWorkingEvery) {
                m_plan.m_reporter->working();
            }
            const std::uint8_t* record = recordAt(j);
            if (installState(record) != 0) {
                continue;
            }
            const std::uint32_t group = m_plan.groupOf(installNodeRef(record));
            if (group == kNone) {
                continue;
            }
            if (group != previous) {
                previous = group;
                current = m_windowOf[group] == window ? &m_runs[m_nextRun[group]++] : nullptr;
                if (current != nullptr) {
                    *current = {j, j + 1};
                }
            } else if (current != nullptr) {
                current->end = j + 1;
            }
        }
    }

    void writeFromRuns(std::size_t first, std::size_t end) {
        for (std::size_t e = first; e < end; ++e) {
            if (m_plan.m_entries[e].marked) {
                continue;
            }
            const std::uint32_t group = m_plan.groupOf(m_plan.m_entries[e].offset);
            const std::uint32_t nodeOffset = nextNodeOffset();
            const std::uint64_t last = m_nextRun[group];
            for (std::uint64_t r = last - m_plan.m_runCount[group]; r < last; ++r) {
                for (std::uint64_t j = m_runs[r].first; j < m_runs[r].end; ++j) {
                    copyIfOf(j, group, nodeOffset);
                }
            }
        }
    }

    const CompactionPlan& m_plan;
    BlockWriter m_out;
    const std::uint64_t m_runBudget;
    std::vector<std::uint32_t> m_windowOf;  // the last window that took the group
    std::vector<std::uint64_t> m_nextRun;   // where its next run goes in `m_runs`
    std::vector<Run> m_runs;
    std::vector<std::uint32_t> m_windowGroups;
    std::uint64_t m_windowRuns = 0;
    std::uint64_t m_keptBefore = 0;  // kept entries before the window
};

void CompactionPlan::writeInstalls(FileSink& sink) const {
    InstallWriter(*this, sink).run();
}

CompactedBodies compactBodies(std::span<const std::uint8_t> nodes,
                              std::span<const std::uint8_t> installs,
                              std::span<const std::uint8_t> titles,
                              std::span<const CompactionEntry> entries,
                              CompactionReporter& reporter, std::uint64_t runMemory) {
    const CompactionPlan plan(nodes, installs, titles, entries, reporter, runMemory);
    CompactedBodies bodies;
    {
        BodySink sink(plan.nodeBodySize(), kCannotWriteNode);
        plan.writeNodes(sink);
        sink.moveInto(bodies.NewNodesMS);
    }
    {
        BodySink sink(plan.installBodySize(), kCannotWriteInstall);
        plan.writeInstalls(sink);
        sink.moveInto(bodies.NewInstallsMS);
    }
    {
        BodySink sink(plan.titleBodySize(), kCannotWriteTitle);
        plan.writeTitles(sink);
        sink.moveInto(bodies.NewTitlesMS);
    }
    return bodies;
}

}  // namespace kavrin
