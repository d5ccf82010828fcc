#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace kavrin::cli {

// A configuration of `maintain` that cannot be used: "FILE:LINE:COLUMN: what is wrong" (FILE
// alone when the file cannot be read).
struct ConfigError {
    std::string message;
};

// One [[database]] of a configuration, [defaults] applied.
struct MaintainDatabase {
    // What `commit` would be given: the location, its order, marking, limit, protection and
    // whether it is a dry run; the credentials of the keys below not yet applied.
    Invocation invocation;
    // Read when the database's turn comes, so that one that cannot be read fails that database
    // alone; then `user` and `workgroup` apply over it.
    std::optional<std::string> authenticationFile;
    std::optional<std::string> user;
    std::optional<std::string> workgroup;
};

// The databases of configuration `text`, read from file `path` (named in errors), in the order
// given. Every key is checked, with its type and value, before anything is returned: throws
// ConfigError for a syntax error, an unknown key, a key of the wrong type or with a wrong value,
// and a [[database]] with both or neither of "folder" and "server".
std::vector<MaintainDatabase> parseMaintainConfig(const std::string& path, const std::string& text);

}  // namespace kavrin::cli
