#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Credentials.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"

namespace kavrin::cli {

// A commit or a restore that could neither finish nor undo its replacement (the disk or the
// server went away): the database folder holds its journal, and the next open makes it whole.
constexpr int kExitUnsettled = 4;

// Runs one command line (the arguments after the program name) and returns the exit code:
// 0 done, 1 the work failed (the message is on `err`), 2 the command line was wrong,
// kExitUnsettled as above. With
// `progressLine` (`err` is a terminal) the long operations keep one line of progress on `err`.
// What the command line leaves out of the credentials of a share is asked for on `terminal`.
int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   FileSystem& fs = localFileSystem(), Clock& clock = systemClock(),
                   bool progressLine = false, Terminal& terminal = processTerminal());

// Every command of the program.
std::span<const CommandSpec> commandTable();

}  // namespace kavrin::cli
