#pragma once

// Share paths and the URLs the library takes for them. Internal to support/smb.

#include <cstddef>
#include <string>
#include <vector>

namespace kavrin::smb {

// A share path taken apart: "\\server\share\a\b".
struct SharePath {
    std::string server;  // "name" or "name:port", as written
    std::string share;
    std::vector<std::string> names;
};

SharePath parseSharePath(const std::string& path);

// The URL of the first `levels` names of `path` (the share itself for 0).
std::string urlOf(const SharePath& path, std::size_t levels);
std::string urlOf(const SharePath& path);

}  // namespace kavrin::smb
