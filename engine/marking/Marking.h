#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "dbformat/Records.h"
#include "engine/open/NodeList.h"
#include "support/platform/Clock.h"

namespace kavrin {

// The rules that mark node entries for deletion, on the node list and the node file's body they
// were built from. Each throws "Cannot read record from NodesMS." for an entry whose record lies
// beyond the body.

// Enabled state of "Delete" and "Undelete" in the node list's pop-up menu.
struct PopupEnabling {
    bool deleteEnabled = true;
    bool undeleteEnabled = true;
};

// With exactly one entry selected only the command that changes its mark applies; otherwise
// both are offered.
PopupEnabling deleteUndeleteEnabling(const NodeList& nodes, std::size_t selectedCount,
                                     std::optional<std::size_t> firstSelected);

// Whether the entry's record was last online strictly earlier than `date`: the one rule of both
// marking and counting by date, so that a count shown beforehand is what the marking does.
bool lastOnlineBefore(const NodeEntry& entry, std::span<const std::uint8_t> body, double date);

// The date "not online for `days` days" marks by: local midnight of the day of `now`, less
// `days` days. A run at any hour of one day marks the same nodes.
double notOnlineForDate(const LocalTime& now, int days);
// How many days before the day of `now` the day of `date` is (negative for a day after it), as
// the date dialog tells the age of the day it marks by.
int daysBefore(const LocalTime& now, double date);

// Marks every entry whose LastOnline is strictly earlier than `date` ("not online since ...");
// returns their number, those marked before included.
std::size_t markOlderThan(NodeList& nodes, std::span<const std::uint8_t> body, double date);
// The number markOlderThan would return for `date`, marking nothing, less the protected rows,
// which the engine leaves unmarked.
std::size_t countOlderThan(const NodeList& nodes, std::span<const std::uint8_t> body, double date);

// What a run of the duplicate rule marked: each entry it left marked, once.
struct DuplicateFixResult {
    std::uint32_t activeDeleted = 0;
    std::uint32_t inactiveDeleted = 0;
};

// The duplicate rule: of the entries of one name (folded) an active record beats an inactive
// one, then the later LastOnline wins, then the entry lower in the list; every other entry is
// marked. An entry marked before keeps its reason, one the run marks names the survivor.
class DuplicateFixer {
public:
    DuplicateFixer(NodeList& nodes, std::span<const std::uint8_t> body);

    // Walks the names listed as duplicates (one per entry beyond a name's first, as the open
    // found them), calling `step(done, total)` before each. The reasons are given also when a
    // step throws.
    void run(const std::vector<std::string>& names,
             const std::function<void(std::size_t done, std::size_t total)>& step);
    // What the run has marked so far.
    DuplicateFixResult result() const;

private:
    // The entries of one name, and which of them are unmarked right now: the survivor's walk
    // skips marked entries, and without this set a name listed k times would cost k^2 steps.
    struct NameGroup {
        std::vector<std::size_t> rows;
        // The walk marks and unmarks entries on its way; what counts is the mark an entry ends
        // with. An entry marked before keeps its first reason, one the run marked names the
        // survivor. Taken as the group is found: the walk of a name touches its own rows only.
        std::vector<std::string> reasonsBefore;
        std::set<std::size_t> unmarked;
        std::optional<std::size_t> survivor;  // the entry that won the last comparison
    };

    NodeRecordView record(std::size_t row) const;
    NameGroup& group(const std::string& name);
    void walk(NameGroup& group);
    void setMark(NameGroup& group, std::size_t row, bool mark);
    void giveReasons();

    NodeList& m_nodes;
    std::span<const std::uint8_t> m_body;
    std::unordered_map<std::string, NameGroup> m_groups;
    std::vector<bool> m_markedByRun;
};

}  // namespace kavrin
