#pragma once

#include "cli/CommandLine.h"

namespace kavrin::cli {

// The protect command: adds, removes or lists the rules of a database's Kavrin.protect
// (engine/marking/Protection.h) without opening the database.
// --add PATTERN [--reason TEXT], --remove PATTERN, --list: exactly one of them.
void addProtectOptions(CLI::App& command, Invocation& invocation);
// 0 done; 1 the file could not be read, used or replaced, a commit holds the claim, the
// location holds no database, or --remove names no rule (the message on console.err). Throws
// UsageError when none or several of the three are given, or --reason without --add.
int runProtect(const Invocation& invocation, const Console& console);

}  // namespace kavrin::cli
