#include "support/FileSystem.h"

#include <vector>

#include "support/Errors.h"
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

void FileSystem::writePartsInBlocks(const std::string& path,
                                    std::span<const std::span<const std::uint8_t>> parts,
                                    bool durable, const FileProgress& progress) {
    std::uint64_t total = 0;
    for (const auto& part : parts) {
        total += part.size();
    }
    writeFileInBlocks(
        path, total,
        [parts](FileSink& sink) {
            for (const auto& part : parts) {
                sink.write(part);
            }
        },
        durable, progress);
}

void FileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                   const FileProducer& produce, bool durable,
                                   const FileProgress& progress) {
    GatheringSink gather;
    produce(gather);
    const std::span<const std::uint8_t> parts[] = {gather.content};
    writeFile(path, parts, durable, progress);
    if (gather.content.size() != size) {
        throwWrongFileSize(path, gather.content.size(), size);
    }
}

void throwWrongFileSize(const std::string& path, std::uint64_t written, std::uint64_t size) {
    throw KavrinError(formatText(
        "Cannot write file \"%s\". %llu bytes were written instead of %llu", path.c_str(),
        static_cast<unsigned long long>(written), static_cast<unsigned long long>(size)));
}

FileSystem& localFileSystem() {
    static RoutingFileSystem fs(nativeFileSystem(), shareFileSystem());
    return fs;
}

}  // namespace kavrin
