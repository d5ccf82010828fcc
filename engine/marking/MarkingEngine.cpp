#include "engine/MaintenanceEngine.h"
#include "engine/Progress.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

#include <string>

namespace kavrin {

namespace {

constexpr const char* kReasonByHand = "by hand";

// "Marked : 12 nodes by hand": every marking leaves a line in the log, so that what is marked
// when a commit comes can be traced to how it was marked.
std::string markingLine(bool mark, std::size_t count, const std::string& how) {
    return std::string(mark ? "Marked : " : "Unmarked : ") + std::to_string(count) +
           (count == 1 ? " node " : " nodes ") + how;
}

}  // namespace

// "PC1 is protected by PC* and cannot be marked.": the first protected node of a selection
// marked by hand, and how many more there were.
std::string refusalText(const NodeList& nodes, std::size_t first, std::size_t refused) {
    const NodeEntry& entry = nodes.row(first);
    std::string text =
        ansiToUtf8(entry.caption) + " is " + nodes.protection(entry) + " and cannot be marked.";
    if (refused > 1) {
        text += ' ';
        text += std::to_string(refused - 1);
        text += refused == 2 ? " more selected node is protected."
                             : " more selected nodes are protected.";
    }
    return text;
}

std::size_t MaintenanceEngine::MarkSelectedNodes(bool mark) {
    if (isPumping() || m_view.selectedCount() == 0 || (mark && refusedByBrokenRules())) {
        return 0;
    }
    std::size_t selected = 0;
    std::size_t refused = 0;
    std::size_t firstRefused = 0;
    {
        NodeList::BulkUpdate bulk(m_nodes);
        for (std::size_t i = 0; i < m_nodes.count(); ++i) {
            if (!m_view.isSelected(i)) {
                continue;
            }
            ++selected;
            if (mark && m_nodes.isProtected(m_nodes.row(i))) {
                firstRefused = refused++ == 0 ? i : firstRefused;
                m_nodes.spare(i);
            } else if (mark) {
                m_nodes.mark(i, kReasonByHand);
            } else {
                m_nodes.setIcon(i, kIconLive);
            }
        }
    }
    m_view.log(markingLine(mark, selected - refused, kReasonByHand));
    if (refused > 0) {
        const std::string refusal = refusalText(m_nodes, firstRefused, refused);
        m_view.log(refusal);
        m_view.showError(refusal);
    }
    return selected;
}

std::optional<PopupEnabling> MaintenanceEngine::deleteUndeleteEnabling() const {
    if (!m_ctx.IsOpen) {
        return std::nullopt;
    }
    return kavrin::deleteUndeleteEnabling(
        m_nodes, m_view.selectedCount(),
        m_view.selectedCount() == 1 ? m_view.firstSelected() : std::nullopt);
}

std::size_t MaintenanceEngine::MarkNodesOlderThan(double date) {
    if (isPumping() || refusedByBrokenRules()) {
        return 0;
    }
    NodeList::BulkUpdate bulk(m_nodes);
    // A protected row is never marked, so every row spared now was marked by this run.
    const std::size_t older = markOlderThan(m_nodes, m_ctx.NodesMS.span(), date);
    const std::size_t marked = older - spareProtected();
    m_view.log(markingLine(true, marked, "not online since " + IsoDateTimeText(date)));
    return marked;
}

std::size_t MaintenanceEngine::CountNodesOlderThan(double date) const {
    return countOlderThan(m_nodes, m_ctx.NodesMS.span(), date);
}

void MaintenanceEngine::OfferFixDuplicates() {
    // The open has just logged why nothing can be marked: a Yes would only be refused.
    if (!m_protectionProblem.empty()) {
        return;
    }
    const Answer answer = m_view.confirm(
        "Duplicates were found in the database.\r\n\r\nWould you like to mark the duplicates "
        "entries "
        "deleted? [RECOMMENDED]",
        false);
    if (answer == Answer::Yes) {
        FixDuplicates();
    }
}

DuplicateFixResult MaintenanceEngine::FixDuplicates() {
    if (isPumping() || refusedByBrokenRules()) {
        return {};
    }
    m_view.setActionCaption("Fixing Duplicates");
    m_view.showProgressBar();
    m_view.setProgressPosition(0);
    m_view.showProgressArea();
    m_view.setBusy(true);

    DuplicateFixer fixer(m_nodes, m_ctx.NodesMS.span());
    try {
        fixer.run(m_duplicateNames, [this](std::size_t done, std::size_t total) {
            m_view.setProgressPosition(progressPercent(done, total));
            pumpEvents();
        });
    } catch (...) {
        spareProtected();
        finishFixDuplicates(fixer.result());
        throw;
    }
    // The rule decides as though nothing were protected; a protected loser then stays.
    spareProtected();
    const DuplicateFixResult fixed = fixer.result();
    finishFixDuplicates(fixed);
    m_view.log(markingLine(true, fixed.activeDeleted + fixed.inactiveDeleted, "as duplicates"));
    return fixed;
}

void MaintenanceEngine::finishFixDuplicates(const DuplicateFixResult& fixed) {
    m_view.setHealthText("Status : " + std::to_string(fixed.activeDeleted + fixed.inactiveDeleted) +
                         " Duplicate Records Deleted.  Active(" +
                         std::to_string(fixed.activeDeleted) + ") Inactive(" +
                         std::to_string(fixed.inactiveDeleted) + ")");
    m_view.hideProgressArea();
    m_view.setBusy(false);
}

}  // namespace kavrin
