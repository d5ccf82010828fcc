#include "cli/JsonOutput.h"

#include <vector>

#include "dbformat/DatabaseFile.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin::cli {

namespace {

// A date, or null for a value that is no date at all (a damaged record): the text output's
// "(invalid date)" is no ISO 8601 a script could read.
Json isoDate(double value) {
    DateTimeParts parts;
    return decodeDateTime(value, parts) ? Json(IsoDateTimeText(value)) : Json(nullptr);
}

// A header date-time counts as set from 1.0 on, as the "DB Stats" lines take it.
Json headerDate(double value) {
    return value >= 1.0 ? isoDate(value) : Json(nullptr);
}

void addOffset(Json& object, std::uint32_t offset) {
    object["offset"] = offset;
    object["index"] = IndexText(offset);
}

Json fileTotals(const FileTotals& totals) {
    return Json{{"records", totals.records}, {"bytes", totals.bytes}};
}

}  // namespace

Json statsJson(const Session& session) {
    const DatabaseHeader& h = session.engine.context().Header;
    const NodeListCounts& counts = session.engine.counts();
    const OpenResult& opened = session.lastOpen;
    Json stats;
    stats["folder"] = session.engine.context().DatabaseFolder;
    stats["name"] = ansiToUtf8(h.dbName());
    stats["comment"] = ansiToUtf8(h.dbComment());
    stats["type"] = h.dbType();
    stats["version"] = h.dbVersion();
    stats["upgraded"] = headerDate(h.upgraded());
    stats["upgradedFromVersion"] =
        h.upgraded() >= 1.0 ? Json(h.upgradedFromVersion()) : Json(nullptr);
    stats["created"] = headerDate(h.created());
    stats["updated"] = headerDate(h.updated());
    stats["nodes"] = opened.nodeRecords;
    stats["titles"] = opened.titleRecords;
    stats["installs"] = opened.installRecords;
    stats["activeNodes"] = counts.ActiveCount;
    stats["duplicateNodes"] = counts.DuplicateCount;
    stats["nullNodes"] = counts.NullCount;
    stats["health"] = session.view.health;
    return stats;
}

Json nodeJson(const NodeList& nodes, const NodeEntry& entry, bool withMark) {
    Json node;
    node["name"] = ansiToUtf8(entry.caption);
    addOffset(node, entry.data);
    node["active"] = entry.active;
    node["unique"] = entry.unique;
    if (withMark) {
        node["marked"] = entry.marked();
        // As the text's sixth column: why it is marked, or the rule that keeps it.
        const std::string& reason = nodes.shownReason(entry);
        node["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
    }
    return node;
}

Json nodeListJson(const NodeList& nodes, bool withMark) {
    Json list = Json::array();
    for (const NodeEntry& entry : nodes.rows()) {
        list.push_back(nodeJson(nodes, entry, withMark));
    }
    return list;
}

Json nodeDetailsJson(MaintenanceEngine& engine, std::uint32_t offset) {
    const NodeRecord record = ReadNodeRecord(engine.context().NodesMS, offset);
    const NodeRecordView node = record.view();
    Json details;
    addOffset(details, offset);
    details["active"] = node.inactive() == 0;
    details["name"] = ansiToUtf8(node.nodeName());
    details["user"] = ansiToUtf8(node.userName());
    details["manufacturer"] = ansiToUtf8(node.manufacturer());
    details["model"] = ansiToUtf8(node.model());
    details["serialNumber"] = ansiToUtf8(node.serialNumber());
    details["added"] = isoDate(DayNumberToDate(node.addedDay()));
    details["inactive"] =
        node.inactive() != 0 ? isoDate(DayNumberToDate(node.inactiveDay())) : Json(nullptr);
    details["lastOnline"] = isoDate(node.lastOnline());
    details["userUpdated"] = isoDate(node.userUpdated());
    details["hwUpdated"] = isoDate(node.hwUpdated());
    details["swUpdated"] = isoDate(node.swUpdated());
    details["installs"] = engine.InstallCount(offset);
    return details;
}

Json previewJson(const CommitPreview& preview) {
    Json files = Json::array();
    for (std::size_t file = 0; file < 3; ++file) {
        files.push_back(Json{{"file", databaseFileName(file)},
                             {"before", fileTotals(preview.before[file])},
                             {"after", fileTotals(preview.after[file])}});
    }
    Json removals = Json::array();
    for (const auto& [label, count] : previewRemovals(preview)) {
        removals.push_back(Json{{"label", label}, {"count", count}});
    }
    const auto nodes = [](const std::vector<RemovedNode>& list) {
        Json entries = Json::array();
        for (const RemovedNode& node : list) {
            Json entry{{"name", node.name}};
            addOffset(entry, node.offset);
            entry["user"] = node.user;
            entry["serialNumber"] = node.serial;
            entry["lastOnline"] = isoDate(node.lastOnline);
            entry["installs"] = node.installs;
            entry["reason"] = node.reason;
            entries.push_back(std::move(entry));
        }
        return entries;
    };
    // The nodes a marking would have removed but a protection rule kept, as the text lists them
    // after the removed ones.
    return Json{{"files", std::move(files)},
                {"removals", std::move(removals)},
                {"removed", nodes(preview.removed)},
                {"keptByProtection", nodes(preview.spared)}};
}

const char* outcomeName(CommitRun::Outcome outcome) {
    switch (outcome) {
        case CommitRun::Done:
            return "done";
        case CommitRun::Previewed:
            return "dry-run";
        case CommitRun::Limited:
            return "limit";
        case CommitRun::Unsettled:
            return "unsettled";
        case CommitRun::Failed:
            break;
    }
    return "failed";
}

Json verifyJson(const VerifyReport& report) {
    return Json{{"problems", report.problems}, {"lines", report.lines}};
}

void printJson(std::ostream& out, const Json& document) {
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace kavrin::cli
