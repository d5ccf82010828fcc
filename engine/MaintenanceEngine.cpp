#include "engine/MaintenanceEngine.h"

#include <memory>

#include "engine/Progress.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {

MaintenanceEngine::MaintenanceEngine(MainView& view, FileSystem& fs, Clock& clock)
    : m_view(view), m_fs(fs), m_clock(clock) {}

std::string MaintenanceEngine::ResolveDatabaseFolder() const {
    if (m_view.serverMode()) {
        return UncServerPrefix(m_view.locationText()) + "\\Kavrin$";
    }
    return m_view.locationText();
}

bool MaintenanceEngine::HasPendingChanges() const {
    return m_nodes.markedCount() > 0;
}

Answer MaintenanceEngine::ConfirmPendingChanges() {
    if (!HasPendingChanges()) {
        return Answer::No;
    }
    return m_view.confirm(
        "Changes have been made to the database.\r\n\r\nDo you want to commit the changes to the "
        "database?",
        true);
}

void MaintenanceEngine::pumpEvents() {
    ++m_pumpDepth;
    try {
        m_view.pump();
    } catch (...) {
        --m_pumpDepth;
        throw;
    }
    --m_pumpDepth;
}

FileProgress MaintenanceEngine::pumpingProgress() {
    // Once per megabyte moved, between blocks: a small file adds no pump to those of the
    // records, a large one on a slow share one per request. The bar shows how much of the file
    // the newest "Loading : " or "Saving : " line names has moved. A report that repeats the one
    // before comes from a back end waiting with nothing moved (the final flush of a durable
    // write): it pumps too, the bar staying where it is.
    constexpr std::uint64_t kBytesPerPump = 1024 * 1024;
    struct Reported {
        std::uint64_t pumpedAt = 0;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        bool any = false;
    };
    auto reported = std::make_shared<Reported>();
    return [this, reported](std::uint64_t done, std::uint64_t total) {
        const bool again = reported->any && done == reported->done && total == reported->total;
        reported->any = true;
        reported->done = done;
        reported->total = total;
        if (done < reported->pumpedAt) {
            reported->pumpedAt = 0;  // the next file
        }
        if (again) {
            pumpEvents();
        } else if (done < total && done - reported->pumpedAt >= kBytesPerPump) {
            reported->pumpedAt = done;
            m_view.setProgressPosition(progressPercent(done, total));
            pumpEvents();
        }
    };
}

bool MaintenanceEngine::CloseRequested() {
    if (isPumping()) {
        return false;
    }
    switch (ConfirmPendingChanges()) {
        case Answer::Cancel:
            return false;
        case Answer::Yes:
            // A commit that failed and left the files as they were keeps the marks: the window
            // stays, so that they are not lost with it.
            return CommitDatabase().outcome != ReplaceResult::NotDone;
        case Answer::No:
            CloseDatabase();
            return true;
    }
    return true;
}

void MaintenanceEngine::CloseDatabase() {
    m_ctx.IsOpen = false;
    m_checkedFiles.reset();
    m_view.showNotConnected();
    m_view.hideProgressArea();
    m_view.setHealthText("");
    m_view.setDuplicatesTabVisible(false);
    m_view.clearLines(LineList::DBStats);
    m_view.clearLines(LineList::Duplicates);
    m_duplicateNames.clear();
    m_view.clearLines(LineList::NodeStats);
    m_nodes.clear();
    m_view.selectPage(Page::DBStats);
    m_view.updateCommands(false);
    m_view.setFixDuplicatesVisible(false);
}

}  // namespace kavrin
