#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "cli/CommitRun.h"
#include "engine/check/DatabaseCheck.h"

namespace kavrin::cli {

// What --json prints: one document per command, its keys in the order written. The shape is the
// manual page's (dist/man/kavrin-dbtool-cli.1.scd, "JSON OUTPUT"): names UTF-8, every offset as
// a number ("offset") and as the node list writes it ("index"), dates ISO 8601 or null.
using Json = nlohmann::ordered_json;

// The "DB Stats" of the open database: header fields, counts and the health text.
Json statsJson(const Session& session);
// One node list row; with `withMark` also whether it is marked and why.
Json nodeJson(const NodeList& nodes, const NodeEntry& entry, bool withMark);
// The node list, every row.
Json nodeListJson(const NodeList& nodes, bool withMark);
// The "Node Stats" of the record at `offset`.
Json nodeDetailsJson(MaintenanceEngine& engine, std::uint32_t offset);
// The preview of a commit: the files before and after, what goes and the nodes removed.
Json previewJson(const CommitPreview& preview);
// How a commit ended: "done", "dry-run", "limit", "failed" or "unsettled".
const char* outcomeName(CommitRun::Outcome outcome);
// The verify report: the problems counted and the report's lines.
Json verifyJson(const VerifyReport& report);

// Writes `document` and a line end; bytes of names that are not UTF-8 are written as U+FFFD.
void printJson(std::ostream& out, const Json& document);

}  // namespace kavrin::cli
