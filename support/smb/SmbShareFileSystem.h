#pragma once

#include <memory>
#include <string>

#include "support/fs/FileSystem.h"

namespace kavrin {

// The file Samba's client library is loaded from, on the first share path: a program that opens
// only local folders never maps it.
inline constexpr char kSmbClientLibrary[] = "libsmbclient.so.0";

// The URL Samba's client library takes for the share path "\\server[:port]\share\a\b":
// "smb://server[:port]/share/a/b". '\' and '/' both separate; runs of separators and one at the
// end name no level of their own. Every byte of a name that a URL cannot carry as itself (a '%',
// '?', '#', a blank, anything beyond ASCII) is written %XX, which the library decodes again.
std::string smbUrl(const std::string& path);

// A share back end of its own that loads the library from `library` instead, for the tests of a
// library that cannot be loaded or lacks a function the back end calls. The library's callbacks
// always find their context through the library of shareFileSystem().
std::unique_ptr<FileSystem> makeShareFileSystem(const char* library);

}  // namespace kavrin
