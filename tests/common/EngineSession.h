#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/FixedClock.h"
#include "common/MemoryView.h"
#include "engine/MaintenanceEngine.h"

namespace kavrin::test {

// One instance of the tool: an engine on a memory view and a fixed clock, nothing open yet.
struct Session {
    explicit Session(FileSystem& fs, const std::string& location = "/db", bool server = false)
        : engine(view, fs, clock) {
        view.server = server;
        view.location = location;
        engine.CloseDatabase();
    }
    // The errors of earlier operations are forgotten.
    bool open() {
        view.errors.clear();
        return engine.OpenDatabase().opened;
    }
    void mark(const std::string& name) {
        const auto row = engine.nodeList().findCaption(name, 0, true);
        ASSERT_TRUE(row.has_value()) << name;
        engine.nodeList().setIcon(*row, kIconMarked);
    }
    std::vector<std::string> captions() const {
        std::vector<std::string> names;
        for (const NodeEntry& entry : engine.nodeList().rows()) {
            names.push_back(entry.caption);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool logged(const std::string& line) const {
        const auto& log = view.list(LineList::Log);
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    bool loggedPart(const std::string& part) const {
        const auto& log = view.list(LineList::Log);
        return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    }
    std::string lastError() const { return view.errors.empty() ? "" : view.errors.back(); }

    MemoryView view;
    FixedClock clock{{2024, 8, 22, 15, 30, 7, 0}};
    MaintenanceEngine engine;
};

}  // namespace kavrin::test
