#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "support/Clock.h"
#include "support/FileSystem.h"

namespace kavrin::cli {

// Runs one command line (the arguments after the program name) and returns the exit code:
// 0 done, 1 the work failed (the message is on `err`), 2 the command line was wrong.
int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   FileSystem& fs = localFileSystem(), Clock& clock = systemClock());

}  // namespace kavrin::cli
