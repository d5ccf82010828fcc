#include "engine/commit/OpenedFiles.h"

#include <chrono>
#include <vector>

#include "dbformat/Layout.h"
#include "engine/commit/Journal.h"
#include "support/platform/Errors.h"

namespace kavrin {

FileImages openedFiles(const DatabaseContext& ctx) {
    return {FileImage{&ctx.Header, &ctx.NodesMS}, FileImage{&ctx.InstallHeader, &ctx.InstallsMS},
            FileImage{&ctx.TitleHeader, &ctx.TitlesMS}};
}

std::array<std::span<const std::uint8_t>, 2> fileParts(const FileImage& file) {
    return {std::span<const std::uint8_t>(file.header->bytes.data(), file.header->bytes.size()),
            file.body->span()};
}

NewFile newFileOf(const FileImage& image) {
    return {header::kSize + image.body->size(), [image](FileSink& sink) {
                for (const auto& part : fileParts(image)) {
                    sink.write(part);
                }
            }};
}

OldContent oldContentOf(const FileImages& images) {
    return [images](std::size_t file, FileSink& sink) {
        for (const auto& part : fileParts(images[file])) {
            sink.write(part);
        }
    };
}

void requireUnchanged(FileSystem& fs, const std::array<std::string, 3>& paths,
                      const std::array<FileStatus, 3>& opened) {
    const auto changed = [](const std::string& path) {
        return KavrinError("The database file \"" + path +
                           "\" has changed on disk since the database was opened; open the "
                           "database again before committing. The database files were left as "
                           "they are.");
    };
    for (const std::string& path : paths) {
        if (path.empty()) {
            throw changed(path);
        }
    }
    const std::vector<FileStatus> now = fs.statuses(paths);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (now[i] != opened[i]) {
            throw changed(paths[i]);
        }
    }
}

void requireNoJournal(FileSystem& fs, const std::string& folder) {
    if (fs.status(journalPath(folder)).exists) {
        throw KavrinError("The database folder holds the journal \"" + journalPath(folder) +
                          "\" of a commit that has not finished. Open the database again, which "
                          "finishes or undoes that commit, before committing. The database files "
                          "were left as they are.");
    }
}

std::int64_t wallClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool statusProvesContent(const FileStatus& status, std::int64_t readSinceNs) {
    // Wide enough for a clock ticking in seconds and for this one stepping back a little.
    constexpr std::int64_t kTickNs = 2'000'000'000;
    return status.exists && status.modifiedNs < readSinceNs - kTickNs;
}

}  // namespace kavrin
