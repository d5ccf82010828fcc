#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

void MaintenanceEngine::ShowNodeDetails(const NodeRecord& record, std::uint32_t offset) {
    const NodeRecordView node = record.view();
    m_view.clearLines(LineList::NodeStats);
    auto add = [this](const std::string& line) { m_view.appendLine(LineList::NodeStats, line); };
    add(std::string("Active : ") + (node.inactive() == 0 ? "True" : "False"));
    add("Name : " + ansiToUtf8(node.nodeName()));
    add("User : " + ansiToUtf8(node.userName()));
    add("Manufacturer : " + ansiToUtf8(node.manufacturer()));
    add("Model : " + ansiToUtf8(node.model()));
    add("Serial Number : " + ansiToUtf8(node.serialNumber()));
    add("Added : " + DateTimeText(DayNumberToDate(node.addedDay())));
    add(node.inactive() != 0 ? "Inactive : " + DateTimeText(DayNumberToDate(node.inactiveDay()))
                             : std::string("Inactive : no"));
    add("Last Online : " + DateTimeText(node.lastOnline()));
    add("User Updated : " + DateTimeText(node.userUpdated()));
    add("HW Updated : " + DateTimeText(node.hwUpdated()));
    add("SW Updated : " + DateTimeText(node.swUpdated()));
    add("Install Count : " + std::to_string(InstallCount(offset)));
    m_view.selectPage(Page::NodeStats);
}

void MaintenanceEngine::ShowSelectedNodeDetails() {
    if (!m_ctx.IsOpen) {
        return;
    }
    try {
        const std::optional<std::size_t> first = m_view.firstSelected();
        if (!first || *first >= m_nodes.count()) {
            return;
        }
        const std::uint32_t offset = m_nodes.row(*first).data;
        ShowNodeDetails(ReadNodeRecord(m_ctx.NodesMS, offset), offset);
    } catch (...) {
        // Details are a courtesy of the list: a failure to show them is not reported.
    }
}

std::uint32_t MaintenanceEngine::InstallCount(std::uint32_t offset) const {
    const std::uint8_t* installs = m_ctx.InstallsMS.data();
    const std::uint64_t size = m_ctx.InstallsMS.size();
    auto countByScan = [&] {
        std::uint32_t count = 0;
        for (std::uint64_t p = 0; p + install::kSize <= size; p += install::kSize) {
            count += installNodeRef(installs + p) == offset ? 1 : 0;
        }
        return count;
    };
    if (offset % node::kSize != 0) {
        return countByScan();  // no node record starts here, so no index entry either
    }
    if (!m_installCountsValid) {
        // One pass over the installs serves every later showing of this database's details.
        const std::uint64_t records = m_ctx.NodesMS.size() / node::kSize;
        m_installCounts.assign(static_cast<std::size_t>(records), 0);
        for (std::uint64_t p = 0; p + install::kSize <= size; p += install::kSize) {
            const std::uint32_t ref = installNodeRef(installs + p);
            if (ref % node::kSize == 0 && ref / node::kSize < records) {
                ++m_installCounts[ref / node::kSize];
            }
        }
        m_installCountsValid = true;
    }
    const std::size_t index = offset / node::kSize;
    if (index < m_installCounts.size()) {
        return m_installCounts[index];
    }
    return countByScan();  // beyond the node body; installs may still name the offset
}

}  // namespace kavrin
