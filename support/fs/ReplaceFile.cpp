#include "support/fs/ReplaceFile.h"

#include <exception>

namespace kavrin {

void replaceFile(FileSystem& fs, const std::string& temporary, const std::string& target,
                 std::span<const std::span<const std::uint8_t>> parts) {
    try {
        fs.writeFile(temporary, parts, true);
        fs.rename(temporary, target);
    } catch (const std::exception&) {
        try {
            removeIfThere(fs, temporary);
        } catch (const std::exception&) {
            // Left for whoever cleans up after a failed write (the next commit); the first
            // failure is the one to report.
        }
        throw;
    }
}

bool removeIfThere(FileSystem& fs, const std::string& path) {
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory) {
        return false;
    }
    fs.remove(path);
    return true;
}

}  // namespace kavrin
