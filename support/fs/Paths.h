#pragma once

#include <string>

#include "support/fs/FileSystem.h"

namespace kavrin {

// A location that starts with "\\" is a server share; its paths keep backslashes.
bool isSharePath(const std::string& folder);

// The separator of the machine's own paths: '/' on POSIX, '\' on Windows. Defined by the
// platform's file back end.
char nativeSeparator();

// The folder text with `name` appended after one separator ('\' on a share, the native one
// elsewhere). The folder is not looked at otherwise: a separator already at its end is doubled.
std::string joinPath(const std::string& folder, const std::string& name);

// The database's home compares names without regard to case; a POSIX file system does not. `path`
// when `fs` ignores case there or something exists there, else the one entry of its folder (the
// part before the last '/' or '\\') whose name equals the last part of `path` without regard to
// case, else `path` unchanged.
std::string locateFile(FileSystem& fs, const std::string& path);

}  // namespace kavrin
