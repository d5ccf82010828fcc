#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "support/Clock.h"
#include "support/FileSystem.h"

namespace kavrin::cli {

// Runs one command line (the arguments after the program name) and returns the exit code:
// 0 done, 1 the work failed (the message is on `err`), 2 the command line was wrong.
int runCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   FileSystem& fs = localFileSystem(), Clock& clock = systemClock());

// "YYYY-MM-DD" (midnight) or "YYYY-MM-DDTHH:MM:SS" as a DateTimeValue; nothing when malformed.
std::optional<double> parseDateArgument(const std::string& text);

}  // namespace kavrin::cli
