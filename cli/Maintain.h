#pragma once

#include "cli/CommandLine.h"

namespace kavrin::cli {

// `maintain CONFIG`: every [[database]] of the configuration in turn, as `commit` with its keys
// would run it; one that fails or goes beyond its limit does not stop the others. A summary line
// per database, or with --json the report; --report FILE writes the report there too. Returns 0
// when every database went through, 3 when a limit stopped one and none failed, 1 when one
// failed, 2 (nothing opened) when the configuration cannot be read or holds a wrong key or value.
int runMaintain(const Invocation& invocation, const Console& console);

// --report FILE, --dry-run and --json.
void addMaintainOptions(CLI::App& command, Invocation& invocation);

}  // namespace kavrin::cli
