#pragma once

#include <gtest/gtest.h>

#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "common/TempFolder.h"

namespace kavrin::test {

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
