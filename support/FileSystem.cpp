#include "support/FileSystem.h"

#include "support/RoutingFileSystem.h"

namespace kavrin {

FileBytes FileSystem::readFileReporting(const std::string& path, const FileProgress& progress) {
    FileBytes bytes = readFile(path);
    if (progress) {
        progress(bytes.size, bytes.size);
    }
    return bytes;
}

void FileSystem::readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) {
    const FileBytes bytes = readFile(path);
    consume(std::span<const std::uint8_t>(bytes.data.get(), bytes.size));
}

void FileSystem::writeFileReporting(const std::string& path,
                                    std::span<const std::span<const std::uint8_t>> parts,
                                    bool durable, const FileProgress& progress) {
    writeFile(path, parts, durable);
    if (progress) {
        std::uint64_t total = 0;
        for (const auto& part : parts) {
            total += part.size();
        }
        progress(total, total);
    }
}

FileSystem& localFileSystem() {
    static RoutingFileSystem fs(nativeFileSystem(), shareFileSystem());
    return fs;
}

}  // namespace kavrin
