#include "support/fs/Paths.h"

#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin {

bool isSharePath(const std::string& folder) {
    return folder.starts_with("\\\\");
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + (isSharePath(folder) ? '\\' : nativeSeparator()) + name;
}

std::string locateFile(FileSystem& fs, const std::string& path) {
    // A back end that ignores case finds the file under any spelling itself.
    if (fs.ignoresCase(path) || fs.status(path).exists) {
        return path;
    }
    const std::size_t separator = path.find_last_of("/\\");
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    if (name.empty()) {
        return path;
    }
    // The folder part as written, its separator kept; a lone separator at the start is the root.
    const std::string folder =
        separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    const std::string listed = separator == std::string::npos ? "."
                               : separator == 0               ? folder
                                                              : path.substr(0, separator);

    std::vector<std::string> entries;
    try {
        entries = fs.listDirectory(listed);
    } catch (const KavrinError&) {
        return path;  // the caller's own access reports why the folder cannot be read
    }
    const std::string* match = nullptr;
    for (const auto& entry : entries) {
        if (asciiCompareText(entry, name) == 0) {
            if (match != nullptr) {
                return path;  // two spellings of one name: neither is more right than the other
            }
            match = &entry;
        }
    }
    return match == nullptr ? path : folder + *match;
}

}  // namespace kavrin
