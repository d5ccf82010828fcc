#pragma once

#include <string>

namespace kavrin {

// The URL Samba's client library takes for the share path "\\server[:port]\share\a\b":
// "smb://server[:port]/share/a/b". '\' and '/' both separate; runs of separators and one at the
// end name no level of their own. Every byte of a name that a URL cannot carry as itself (a '%',
// '?', '#', a blank, anything beyond ASCII) is written %XX, which the library decodes again.
std::string smbUrl(const std::string& path);

}  // namespace kavrin
