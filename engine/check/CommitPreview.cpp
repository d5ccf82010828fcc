#include "engine/check/CommitPreview.h"

#include <unordered_map>

#include "dbformat/Layout.h"
#include "dbformat/Records.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"
#include "support/text/Csv.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

// What the entries of the list make of one node record.
struct RecordUse {
    std::uint32_t keptEntries = 0;  // unmarked entries of the record: each writes it once
    bool marked = false;            // a marked entry names it
    std::uint64_t liveInstalls = 0;
    std::uint64_t allInstalls = 0;
};

// Node records by their offset: an array for the offsets of whole records, a map for the rest
// (BuildNodeList never lists one, but the commit takes any offset and so does its preview).
class RecordUses {
public:
    explicit RecordUses(std::uint64_t records) : m_aligned(static_cast<std::size_t>(records)) {}

    RecordUse& at(std::uint32_t offset) {
        if (offset % node::kSize == 0 && offset / node::kSize < m_aligned.size()) {
            return m_aligned[offset / node::kSize];
        }
        return m_other[offset];
    }
    RecordUse* find(std::uint32_t offset) {
        if (offset % node::kSize == 0 && offset / node::kSize < m_aligned.size()) {
            return &m_aligned[offset / node::kSize];
        }
        if (m_other.empty()) {
            return nullptr;
        }
        const auto found = m_other.find(offset);
        return found == m_other.end() ? nullptr : &found->second;
    }
    const std::vector<RecordUse>& aligned() const { return m_aligned; }

private:
    std::vector<RecordUse> m_aligned;
    std::unordered_map<std::uint32_t, RecordUse> m_other;
};

FileTotals totalsOf(std::uint64_t records, std::size_t recordSize) {
    return {records, header::kSize + records * recordSize};
}

// Which records the entries of the list write and remove; returns the number of marked entries.
std::size_t useOfRecords(std::span<const std::uint8_t> nodes, const NodeList& list,
                         RecordUses& uses, CommitPreview& preview) {
    std::size_t marked = 0;
    preview.keptNodes.reserve(list.count());
    for (const NodeEntry& entry : list.rows()) {
        const bool readable = std::uint64_t{entry.data} + node::kSize <= nodes.size();
        if (entry.marked()) {
            ++marked;
            if (readable) {
                uses.at(entry.data).marked = true;
            }
            continue;
        }
        if (!readable) {
            throw KavrinError("Cannot read record from NodesMS.");
        }
        ++uses.at(entry.data).keptEntries;
        preview.keptNodes.push_back(entry.data);
    }
    return marked;
}

// What becomes of each install, and which titles the written ones name; returns the number of
// installs written.
std::uint64_t useOfInstalls(std::span<const std::uint8_t> installs, std::uint64_t titleRecords,
                            RecordUses& uses, CommitPreview& preview,
                            const std::function<void()>& working) {
    // A written install names a written title when its reference is a title record's offset.
    std::vector<bool> titleNamed(static_cast<std::size_t>(titleRecords), false);
    std::uint64_t writtenInstalls = 0;
    constexpr std::uint64_t kWorkingEvery = (std::uint64_t{1} << 20) - 1;
    for (std::uint64_t j = 0; j < installs.size() / install::kSize; ++j) {
        if ((j & kWorkingEvery) == kWorkingEvery && working) {
            working();
        }
        const std::uint8_t* record = installs.data() + j * install::kSize;
        const bool live = installState(record) == 0;
        RecordUse* use = uses.find(installNodeRef(record));
        if (use != nullptr) {
            ++use->allInstalls;
            use->liveInstalls += live ? 1 : 0;
        }
        if (use != nullptr && use->keptEntries > 0) {
            if (!live) {
                ++preview.deadInstalls;
                continue;
            }
            writtenInstalls += use->keptEntries;
            const std::uint32_t ref = installTitleRef(record);
            if (ref % title::kSize == 0 && ref / title::kSize < titleRecords) {
                titleNamed[ref / title::kSize] = true;
            } else {
                preview.unmatchedTitleReferences += use->keptEntries;
            }
        } else if (use != nullptr && use->marked) {
            ++preview.installsOfRemovedNodes;
        } else if (!live) {
            ++preview.deadInstalls;
        } else {
            ++preview.installsOfNoNode;
        }
    }
    for (std::uint64_t t = 0; t < titleRecords; ++t) {
        if (titleNamed[static_cast<std::size_t>(t)]) {
            preview.keptTitles.push_back(static_cast<std::uint32_t>(t * title::kSize));
        }
    }
    return writtenInstalls;
}

RemovedNode listedNode(std::span<const std::uint8_t> nodes, const NodeList& list, RecordUses& uses,
                       const NodeEntry& entry) {
    RemovedNode listed;
    listed.name = ansiToUtf8(entry.caption);
    listed.offset = entry.data;
    listed.indexText = IndexText(entry.data);
    listed.reason = list.shownReason(entry);
    if (std::uint64_t{entry.data} + node::kSize <= nodes.size()) {
        const NodeRecordView record(nodes.data() + entry.data);
        listed.user = ansiToUtf8(record.userName());
        listed.serial = ansiToUtf8(record.serialNumber());
        listed.lastOnline = record.lastOnline();
        const RecordUse* use = uses.find(entry.data);
        listed.installs = use != nullptr ? use->allInstalls : 0;
    }
    return listed;
}

void listRemoved(std::span<const std::uint8_t> nodes, const NodeList& list, RecordUses& uses,
                 std::size_t marked, CommitPreview& preview) {
    preview.removed.reserve(marked);
    for (const NodeEntry& entry : list.rows()) {
        if (entry.marked()) {
            preview.removed.push_back(listedNode(nodes, list, uses, entry));
        } else if (list.spared(entry)) {
            preview.spared.push_back(listedNode(nodes, list, uses, entry));
        }
    }
}

}  // namespace

CommitPreview previewCommit(std::span<const std::uint8_t> nodes,
                            std::span<const std::uint8_t> installs,
                            std::span<const std::uint8_t> titles, const NodeList& list,
                            const std::function<void()>& working) {
    const std::uint64_t nodeRecords = nodes.size() / node::kSize;
    const std::uint64_t installRecords = installs.size() / install::kSize;
    const std::uint64_t titleRecords = titles.size() / title::kSize;
    CommitPreview preview;
    preview.before = {FileTotals{nodeRecords, header::kSize + nodes.size()},
                      FileTotals{installRecords, header::kSize + installs.size()},
                      FileTotals{titleRecords, header::kSize + titles.size()}};

    RecordUses uses(nodeRecords);
    const std::size_t marked = useOfRecords(nodes, list, uses, preview);
    const std::uint64_t writtenInstalls =
        useOfInstalls(installs, titleRecords, uses, preview, working);

    std::uint64_t listedRecords = 0;
    for (const RecordUse& use : uses.aligned()) {
        listedRecords += use.keptEntries > 0 || use.marked ? 1 : 0;
    }
    preview.emptyNodeRecords = nodeRecords - listedRecords;
    preview.orphanedTitles = titleRecords - preview.keptTitles.size();
    preview.after = {totalsOf(preview.keptNodes.size(), node::kSize),
                     totalsOf(writtenInstalls, install::kSize),
                     totalsOf(preview.keptTitles.size(), title::kSize)};
    listRemoved(nodes, list, uses, marked, preview);
    return preview;
}

std::string databaseFileName(std::size_t file) {
    static const char* const kNames[] = {filename::kNodeSave, filename::kInstallSave,
                                         filename::kTitleSave};
    return kNames[file];
}

std::string previewFileLine(const CommitPreview& preview, std::size_t file) {
    const FileTotals& before = preview.before[file];
    const FileTotals& after = preview.after[file];
    return databaseFileName(file) + " : " + std::to_string(before.records) + " -> " +
           std::to_string(after.records) + " records, " + std::to_string(before.bytes) + " -> " +
           std::to_string(after.bytes) + " bytes";
}

std::vector<std::pair<std::string, std::uint64_t>> previewRemovals(const CommitPreview& preview) {
    std::vector<std::pair<std::string, std::uint64_t>> removals = {
        {"Nodes removed", preview.removed.size()},
        {"Empty node records removed", preview.emptyNodeRecords},
        {"Installs of the removed nodes", preview.installsOfRemovedNodes},
        {"Dead installs removed", preview.deadInstalls},
        {"Installs of no listed node removed", preview.installsOfNoNode},
        {"Orphaned titles removed", preview.orphanedTitles},
        {"References to no title kept as they are", preview.unmatchedTitleReferences},
    };
    if (preview.protection) {
        removals.emplace_back("Nodes kept by protection", preview.spared.size());
    }
    return removals;
}

std::vector<std::string> previewTotalsLines(const CommitPreview& preview) {
    std::vector<std::string> lines;
    for (std::size_t file = 0; file < preview.before.size(); ++file) {
        lines.push_back(previewFileLine(preview, file));
    }
    for (const auto& [label, count] : previewRemovals(preview)) {
        lines.push_back(label + " : " + std::to_string(count));
    }
    return lines;
}

namespace {

// Rows between two calls of a CSV writer's `working`.
constexpr std::size_t kRowsPerWorking = 4096;

}  // namespace

std::string removedNodesCsv(const CommitPreview& preview, const std::function<void()>& working) {
    std::string csv;
    appendCsvRow(
        csv, {"name", "old offset", "user", "serial", "last online", "install count", "reason"});
    std::size_t rows = 0;
    for (const auto* list : {&preview.removed, &preview.spared}) {
        for (const RemovedNode& node : *list) {
            if (++rows % kRowsPerWorking == 0 && working) {
                working();
            }
            appendCsvRow(csv, {node.name, node.indexText, node.user, node.serial,
                               IsoDateTimeText(node.lastOnline), std::to_string(node.installs),
                               node.reason});
        }
    }
    return csv;
}

std::string writtenOffsetsCsv(const CommitPreview& preview, const std::function<void()>& working) {
    std::string csv;
    csv.reserve((preview.keptNodes.size() + preview.keptTitles.size() + 1) * 36);
    appendCsvRow(csv, {"file", "old offset", "new offset"});
    const auto rows = [&csv, &working](const std::string& file,
                                       const std::vector<std::uint32_t>& kept,
                                       std::size_t recordSize) {
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if ((i + 1) % kRowsPerWorking == 0 && working) {
                working();
            }
            // New offsets of written records stay below 2^32: the old ones were there already.
            const auto newOffset = static_cast<std::uint32_t>(i * recordSize);
            appendCsvRow(csv, {file, IndexText(kept[i]), IndexText(newOffset)});
        }
    };
    rows(databaseFileName(kNodeFile), preview.keptNodes, node::kSize);
    rows(databaseFileName(kTitleFile), preview.keptTitles, title::kSize);
    return csv;
}

}  // namespace kavrin
