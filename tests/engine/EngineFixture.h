#pragma once

#include <gtest/gtest.h>

#include <locale>
#include <memory>

#include "common/DatabaseBuilder.h"
#include "common/FixedClock.h"
#include "common/MemoryView.h"
#include "common/TempFolder.h"
#include "engine/MaintenanceEngine.h"

namespace kavrin::test {

// An engine over a real temporary folder and an in-memory view, in the classic locale so that
// date texts are the same on every machine.
class EngineTest : public ::testing::Test {
protected:
    EngineTest() : engine(view, localFileSystem(), clock) {
        std::locale::global(std::locale::classic());
        view.location = folder.path();
        engine.CloseDatabase();
    }

    // Writes `db` into the folder and opens it, answering the duplicates offer with `offer`.
    void open(const DatabaseBuilder& db, Answer offer = Answer::No) {
        db.write(folder.path());
        reopen(offer);
    }
    void reopen(Answer offer = Answer::No) {
        view.answers.push_back(offer);
        engine.OpenDatabase();
        // The offer is made only when duplicates were counted; drop an unused answer.
        if (!view.answers.empty() && view.answers.front() == offer) {
            view.answers.pop_front();
        }
    }

    std::vector<std::string> captions() const {
        std::vector<std::string> result;
        for (const NodeEntry& e : engine.nodeList().rows()) {
            result.push_back(e.caption);
        }
        return result;
    }
    std::vector<std::string> column(std::size_t subItem) const {
        std::vector<std::string> result;
        for (const NodeEntry& e : engine.nodeList().rows()) {
            result.push_back(e.subItem(subItem));
        }
        return result;
    }
    std::vector<int> icons() const {
        std::vector<int> result;
        for (const NodeEntry& e : engine.nodeList().rows()) {
            result.push_back(e.icon);
        }
        return result;
    }
    std::size_t rowOf(const std::string& caption, std::size_t nth = 0) const {
        const auto& rows = engine.nodeList().rows();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].caption == caption && nth-- == 0) {
                return i;
            }
        }
        ADD_FAILURE() << "no row " << caption;
        return 0;
    }

    TempFolder folder;
    MemoryView view;
    FixedClock clock{{2026, 12, 9, 10, 30, 15, 0}};
    MaintenanceEngine engine;
};

}  // namespace kavrin::test
