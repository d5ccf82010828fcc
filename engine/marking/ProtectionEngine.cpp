#include "engine/MaintenanceEngine.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin {

void MaintenanceEngine::setRunProtection(const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        const std::string problem = patternProblem(pattern);
        if (!problem.empty()) {
            throw KavrinError("Cannot protect by the pattern given: " + problem + ".");
        }
    }
    m_runPatterns = patterns;
}

void MaintenanceEngine::LoadProtection() {
    m_rules = {};
    m_protectionProblem.clear();
    try {
        if (const std::optional<std::string> text =
                readProtectionText(m_fs, m_ctx.DatabaseFolder)) {
            m_rules = ProtectionRules::parse(*text, protectionPath(m_fs, m_ctx.DatabaseFolder));
        }
    } catch (const std::exception& e) {
        m_rules = {};
        m_protectionProblem = e.what();
        m_view.log(m_protectionProblem);
    }
    for (const std::string& pattern : m_runPatterns) {
        m_rules.add(pattern, "");
    }
    NodeList::BulkUpdate bulk(m_nodes);
    for (std::size_t i = 0; i < m_nodes.count(); ++i) {
        const ProtectionRule* rule = m_rules.ruleFor(m_nodes.row(i).caption);
        m_nodes.setProtection(i, rule != nullptr ? protectionText(*rule) : std::string());
    }
    spareProtected();
}

std::size_t MaintenanceEngine::spareProtected() {
    if (m_rules.empty()) {
        return 0;
    }
    NodeList::BulkUpdate bulk(m_nodes);
    std::size_t spared = 0;
    for (std::size_t i = 0; i < m_nodes.count(); ++i) {
        const NodeEntry& entry = m_nodes.row(i);
        if (entry.marked() && m_nodes.isProtected(entry) && m_nodes.spare(i)) {
            ++spared;
        }
    }
    if (spared > 0) {
        m_view.log("Protected : " + std::to_string(spared) +
                   (spared == 1 ? " node left unmarked" : " nodes left unmarked"));
    }
    return spared;
}

bool MaintenanceEngine::refusedByBrokenRules() {
    if (m_protectionProblem.empty()) {
        return false;
    }
    m_view.showError(m_protectionProblem);
    return true;
}

void MaintenanceEngine::editProtection(
    const std::function<std::optional<std::string>(const std::string& text)>& edit) {
    if (!m_ctx.IsOpen) {
        throw KavrinError("No database is open.");
    }
    const std::string& folder = m_ctx.DatabaseFolder;
    // Read afresh: another administrator may have changed the file since the open.
    const std::string text = readProtectionText(m_fs, folder).value_or(std::string());
    ProtectionRules::parse(text, protectionPath(m_fs, folder));
    if (const std::optional<std::string> edited = edit(text)) {
        writeProtectionText(m_fs, m_view, m_clock, folder, *edited);
    }
    LoadProtection();
}

void MaintenanceEngine::AddProtectionRule(const std::string& pattern, const std::string& reason) {
    std::string problem = patternProblem(pattern);
    if (problem.empty()) {
        problem = reasonProblem(reason);
    }
    if (!problem.empty()) {
        throw KavrinError("Cannot add the rule: " + problem + ".");
    }
    editProtection([&](const std::string& text) -> std::optional<std::string> {
        return withRuleAdded(text, pattern, reason);
    });
}

bool MaintenanceEngine::RemoveProtectionRule(const std::string& pattern) {
    bool removed = false;
    editProtection([&](const std::string& text) -> std::optional<std::string> {
        std::string edited = withRuleRemoved(text, pattern, removed);
        return removed ? std::optional<std::string>(std::move(edited)) : std::nullopt;
    });
    return removed;
}

}  // namespace kavrin
