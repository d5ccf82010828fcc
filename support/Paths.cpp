#include "support/Paths.h"

#include "support/AnsiText.h"
#include "support/Errors.h"

namespace kavrin {

bool isSharePath(const std::string& folder) {
    return folder.starts_with("\\\\");
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder + (isSharePath(folder) ? '\\' : '/') + name;
}

std::string locateFile(FileSystem& fs, const std::string& path) {
    // A share is reached through a file system that already ignores case.
    if (isSharePath(path) || fs.status(path).exists) {
        return path;
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return path;
    }
    const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
    const std::string listed = slash == std::string::npos ? "." : (parent.empty() ? "/" : parent);

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
    if (match == nullptr) {
        return path;
    }
    return slash == std::string::npos ? *match : parent + '/' + *match;
}

}  // namespace kavrin
