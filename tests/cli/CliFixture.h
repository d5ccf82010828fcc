#pragma once

#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"

namespace kavrin::test {

// Five node records: a duplicate name in two spellings, an inactive node, an empty record and a
// name beyond ASCII; one title, and two installs of the first node in states 0 and 1.
inline DatabaseBuilder sampleDatabase() {
    DatabaseBuilder db;
    db.addNode("PC-1", 0, 45000.0);
    db.addNode("pc-1", 0, 45100.0);
    db.addNode("SERVER", 1, 44000.0);
    db.addNullRecord();
    db.addNode("LAPTOP\xE9", 0, 45200.0);
    db.addTitle(1);
    db.addInstall(0, 0);
    db.addInstall(0, 0, 1);
    return db;
}

// Runs command lines in the classic locale, capturing what they print, over a temporary folder.
class CliFixture : public ::testing::Test {
protected:
    CliFixture() { std::locale::global(std::locale::classic()); }

    int run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return cli::runCommandLine(args, out, err);
    }

    TempFolder folder;
    std::ostringstream out;
    std::ostringstream err;
};

}  // namespace kavrin::test
