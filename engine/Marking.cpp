#include <set>
#include <unordered_map>

#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/Progress.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"
#include "support/platform/Errors.h"

namespace kavrin {

namespace {
constexpr const char* kReasonByHand = "by hand";
}  // namespace

void MaintenanceEngine::MarkSelectedNodes(bool mark) {
    if (isPumping() || m_view.selectedCount() == 0) {
        return;
    }
    NodeList::BulkUpdate bulk(m_nodes);
    for (std::size_t i = 0; i < m_nodes.count(); ++i) {
        if (!m_view.isSelected(i)) {
            continue;
        }
        if (mark) {
            m_nodes.mark(i, kReasonByHand);
        } else {
            m_nodes.setIcon(i, kIconLive);
        }
    }
}

std::optional<PopupEnabling> MaintenanceEngine::LVEditPOPPopup() const {
    if (!m_ctx.IsOpen) {
        return std::nullopt;
    }
    PopupEnabling enabling;
    if (m_view.selectedCount() == 1) {
        const std::optional<std::size_t> first = m_view.firstSelected();
        if (first && *first < m_nodes.count()) {
            const bool marked = m_nodes.row(*first).icon != kIconLive;
            enabling.deleteEnabled = !marked;
            enabling.undeleteEnabled = marked;
        }
    }
    return enabling;
}

void MaintenanceEngine::MarkNodesOlderThan(double date) {
    if (isPumping()) {
        return;
    }
    NodeList::BulkUpdate bulk(m_nodes);
    const std::uint8_t* nodes = m_ctx.NodesMS.data();
    const std::uint64_t size = m_ctx.NodesMS.size();
    const std::string reason = "not online since " + IsoDateTimeText(date);
    for (std::size_t i = 0; i < m_nodes.count(); ++i) {
        const std::uint64_t offset = m_nodes.row(i).data;
        if (offset + node::kSize > size) {
            throw KavrinError("Cannot read record from NodesMS.");
        }
        // A NaN LastOnline compares false and is never marked.
        if (NodeRecordView(nodes + offset).lastOnline() < date) {
            m_nodes.mark(i, reason);
        }
    }
}

void MaintenanceEngine::OfferFixDuplicates() {
    const Answer answer = m_view.confirm(
        "Duplicates were found in the database.\r\n\r\nWould you like to mark the duplicates "
        "entries "
        "deleted? [RECOMMENDED]",
        false);
    if (answer == Answer::Yes) {
        FixDuplicates();
    }
}

void MaintenanceEngine::FixDuplicates() {
    if (isPumping()) {
        return;
    }
    m_view.setActionCaption("Fixing Duplicates");
    m_view.showProgressBar();
    m_view.setProgressPosition(0);
    m_view.showProgressArea();
    m_view.setBusy(true);

    const std::uint8_t* nodes = m_ctx.NodesMS.data();
    const std::uint64_t nodesSize = m_ctx.NodesMS.size();
    auto record = [&](std::size_t row) {
        const std::uint64_t offset = m_nodes.row(row).data;
        if (offset + node::kSize > nodesSize) {
            throw KavrinError("Cannot read record from NodesMS.");
        }
        return NodeRecordView(nodes + offset);
    };

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
    std::unordered_map<std::string, NameGroup> groups;
    std::vector<bool> markedByRun(m_nodes.count(), false);
    auto giveReasons = [&] {
        for (const auto& [key, group] : groups) {
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
    };

    auto setMark = [&](NameGroup& group, std::size_t row, bool mark) {
        m_nodes.setIcon(row, mark ? kIconMarked : kIconLive);
        if (mark) {
            group.unmarked.erase(row);
            markedByRun[row] = true;
        } else {
            group.unmarked.insert(row);
        }
    };

    try {
        const std::size_t lines = m_view.lineCount(LineList::Duplicates);
        for (std::size_t i = 0; i < lines; ++i) {
            m_view.setProgressPosition(progressPercent(i + 1, lines));
            pumpEvents();

            const std::string name = utf8ToAnsi(m_view.lineAt(LineList::Duplicates, i));
            auto [it, added] = groups.try_emplace(ansiFoldKey(name));
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
            if (group.rows.empty()) {
                continue;
            }
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
    } catch (...) {
        giveReasons();
        finishFixDuplicates(markedByRun);
        throw;
    }
    giveReasons();
    finishFixDuplicates(markedByRun);
}

void MaintenanceEngine::finishFixDuplicates(const std::vector<bool>& markedByRun) {
    // The summary counts what the run did: each entry it left marked, once, by its own flag.
    std::uint32_t activeDeleted = 0;
    std::uint32_t inactiveDeleted = 0;
    const std::uint8_t* nodes = m_ctx.NodesMS.data();
    const std::uint64_t nodesSize = m_ctx.NodesMS.size();
    for (std::size_t row = 0; row < markedByRun.size() && row < m_nodes.count(); ++row) {
        const NodeEntry& entry = m_nodes.row(row);
        if (!markedByRun[row] || !entry.marked() ||
            entry.data + std::uint64_t{node::kSize} > nodesSize) {
            continue;
        }
        if (NodeRecordView(nodes + entry.data).inactive() == 0) {
            ++activeDeleted;
        } else {
            ++inactiveDeleted;
        }
    }
    m_view.setHealthText("Status : " + std::to_string(activeDeleted + inactiveDeleted) +
                         " Duplicate Records Deleted.  Active(" + std::to_string(activeDeleted) +
                         ") Inactive(" + std::to_string(inactiveDeleted) + ")");
    m_view.hideProgressArea();
    m_view.setBusy(false);
}

}  // namespace kavrin
