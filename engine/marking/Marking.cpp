#include "engine/marking/Marking.h"

#include <cmath>

#include "dbformat/Layout.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

namespace {

NodeRecordView recordAt(std::span<const std::uint8_t> body, std::uint64_t offset) {
    if (offset + node::kSize > body.size()) {
        throw KavrinError("Cannot read record from NodesMS.");
    }
    return NodeRecordView(body.data() + offset);
}

}  // namespace

PopupEnabling deleteUndeleteEnabling(const NodeList& nodes, std::size_t selectedCount,
                                     std::optional<std::size_t> firstSelected) {
    PopupEnabling enabling;
    if (selectedCount == 1 && firstSelected && *firstSelected < nodes.count()) {
        const bool marked = nodes.row(*firstSelected).icon != kIconLive;
        enabling.deleteEnabled = !marked;
        enabling.undeleteEnabled = marked;
    }
    return enabling;
}

bool lastOnlineBefore(const NodeEntry& entry, std::span<const std::uint8_t> body, double date) {
    // A NaN LastOnline compares false and is never marked.
    return recordAt(body, entry.data).lastOnline() < date;
}

double notOnlineForDate(const LocalTime& now, int days) {
    return encodeDateTime(now.year, now.month, now.day) - days;
}

int daysBefore(const LocalTime& now, double date) {
    // Days apart as the calendar counts them: the time of day of either side plays no part.
    const double today = encodeDateTime(now.year, now.month, now.day);
    return static_cast<int>(today - std::floor(date));
}

std::size_t markOlderThan(NodeList& nodes, std::span<const std::uint8_t> body, double date) {
    const std::string reason = "not online since " + IsoDateTimeText(date);
    std::size_t older = 0;
    for (std::size_t i = 0; i < nodes.count(); ++i) {
        if (lastOnlineBefore(nodes.row(i), body, date)) {
            nodes.mark(i, reason);
            ++older;
        }
    }
    return older;
}

std::size_t countOlderThan(const NodeList& nodes, std::span<const std::uint8_t> body, double date) {
    std::size_t older = 0;
    for (const NodeEntry& entry : nodes.rows()) {
        if (!nodes.isProtected(entry) && lastOnlineBefore(entry, body, date)) {
            ++older;
        }
    }
    return older;
}

DuplicateFixer::DuplicateFixer(NodeList& nodes, std::span<const std::uint8_t> body)
    : m_nodes(nodes), m_body(body), m_markedByRun(nodes.count(), false) {}

NodeRecordView DuplicateFixer::record(std::size_t row) const {
    return recordAt(m_body, m_nodes.row(row).data);
}

void DuplicateFixer::run(const std::vector<std::string>& names,
                         const std::function<void(std::size_t, std::size_t)>& step) {
    try {
        for (std::size_t i = 0; i < names.size(); ++i) {
            step(i + 1, names.size());
            NameGroup& found = group(names[i]);
            if (!found.rows.empty()) {
                walk(found);
            }
        }
    } catch (...) {
        giveReasons();
        throw;
    }
    giveReasons();
}

DuplicateFixer::NameGroup& DuplicateFixer::group(const std::string& name) {
    auto [it, added] = m_groups.try_emplace(ansiFoldKey(name));
    NameGroup& group = it->second;
    if (added) {
        group.rows = m_nodes.rowsWithCaption(name);
        group.reasonsBefore.reserve(group.rows.size());
        for (std::size_t row : group.rows) {
            group.reasonsBefore.push_back(m_nodes.reason(row));
            if (!m_nodes.row(row).marked()) {
                group.unmarked.insert(row);
            }
        }
    }
    return group;
}

void DuplicateFixer::walk(NameGroup& group) {
    // The first entry of the name starts the walk whether or not it is marked.
    std::size_t r = group.rows.front();
    std::size_t k = r;
    for (;;) {
        auto next = group.unmarked.upper_bound(k);
        if (next == group.unmarked.end()) {
            break;
        }
        const std::size_t b = *next;
        k = b;
        const NodeRecordView recordR = record(r);
        const NodeRecordView recordB = record(b);
        if (recordR.inactive() != recordB.inactive()) {
            // An active record beats an inactive one.
            if (recordR.inactive() != 0) {
                setMark(group, r, true);
                setMark(group, b, false);
                r = b;
            } else {
                setMark(group, b, true);
                setMark(group, r, false);
            }
        } else if (recordR.lastOnline() > recordB.lastOnline()) {
            setMark(group, b, true);
            setMark(group, r, false);
        } else {
            // Contacted earlier, or at the same time and higher up the list: r loses.
            setMark(group, r, true);
            setMark(group, b, false);
            r = b;
        }
        group.survivor = r;
    }
}

void DuplicateFixer::setMark(NameGroup& group, std::size_t row, bool mark) {
    m_nodes.setIcon(row, mark ? kIconMarked : kIconLive);
    if (mark) {
        group.unmarked.erase(row);
        m_markedByRun[row] = true;
    } else {
        group.unmarked.insert(row);
    }
}

void DuplicateFixer::giveReasons() {
    for (const auto& [key, group] : m_groups) {
        if (!group.survivor) {
            continue;
        }
        const NodeEntry& kept = m_nodes.row(*group.survivor);
        const std::string duplicate =
            "duplicate of " + ansiToUtf8(kept.caption) + ", kept " + IndexText(kept.data);
        for (std::size_t i = 0; i < group.rows.size(); ++i) {
            const std::string& before = group.reasonsBefore[i];
            m_nodes.setReason(group.rows[i], before.empty() ? duplicate : before);
        }
    }
}

DuplicateFixResult DuplicateFixer::result() const {
    // Counted by the run's own flags: each entry it left marked, once.
    DuplicateFixResult fixed;
    for (std::size_t row = 0; row < m_markedByRun.size() && row < m_nodes.count(); ++row) {
        const NodeEntry& entry = m_nodes.row(row);
        if (!m_markedByRun[row] || !entry.marked() ||
            entry.data + std::uint64_t{node::kSize} > m_body.size()) {
            continue;
        }
        if (NodeRecordView(m_body.data() + entry.data).inactive() == 0) {
            ++fixed.activeDeleted;
        } else {
            ++fixed.inactiveDeleted;
        }
    }
    return fixed;
}

}  // namespace kavrin
