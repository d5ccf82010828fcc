#include "support/fs/RoutingFileSystem.h"

#include <algorithm>

#include "support/fs/Paths.h"
#include "support/platform/Errors.h"

namespace kavrin {

FileSystem& RoutingFileSystem::backEndFor(const std::string& path) const {
    return isSharePath(path) ? m_share : m_local;
}

FileStatus RoutingFileSystem::status(const std::string& path) {
    return backEndFor(path).status(path);
}

std::vector<FileStatus> RoutingFileSystem::statuses(std::span<const std::string> paths) {
    if (!paths.empty() && std::all_of(paths.begin(), paths.end(), [&](const std::string& path) {
            return &backEndFor(path) == &backEndFor(paths.front());
        })) {
        return backEndFor(paths.front()).statuses(paths);
    }
    return FileSystem::statuses(paths);
}

std::vector<std::string> RoutingFileSystem::listDirectory(const std::string& dir) {
    return backEndFor(dir).listDirectory(dir);
}

FileBytes RoutingFileSystem::readWholeFile(const std::string& path) {
    return backEndFor(path).readFile(path);
}

void RoutingFileSystem::readFileInBlocks(const std::string& path,
                                         const FileBlockConsumer& consume) {
    backEndFor(path).readFileInBlocks(path, consume);
}

FileBytes RoutingFileSystem::readFileReporting(const std::string& path,
                                               const FileProgress& progress) {
    return backEndFor(path).readFile(path, progress);
}

void RoutingFileSystem::writeFileReporting(const std::string& path,
                                           std::span<const std::span<const std::uint8_t>> parts,
                                           bool durable, const FileProgress& progress) {
    backEndFor(path).writeFile(path, parts, durable, progress);
}

void RoutingFileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                          const FileProducer& produce, bool durable,
                                          const FileProgress& progress) {
    backEndFor(path).writeFileInBlocks(path, size, produce, durable, progress);
}

void RoutingFileSystem::Hints::releaseCache(const std::string& path, const FileProgress& progress) {
    m_router.backEndFor(path).cacheHints().releaseCache(path, progress);
}

std::unique_ptr<ReplacedFile> RoutingFileSystem::Hints::holdReplaced(const std::string& path) {
    return m_router.backEndFor(path).cacheHints().holdReplaced(path);
}

void RoutingFileSystem::rename(const std::string& from, const std::string& to) {
    FileSystem& target = backEndFor(from);
    if (&target != &backEndFor(to)) {
        throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                     to.c_str(), "The two paths are on different file systems"));
    }
    target.rename(from, to);
}

FileCopy RoutingFileSystem::copyFile(const std::string& from, const std::string& to, bool durable,
                                     const FileProgress& progress) {
    FileSystem& source = backEndFor(from);
    if (&source == &backEndFor(to)) {
        return source.copyFile(from, to, durable, progress);
    }
    return FileSystem::copyFile(from, to, durable, progress);
}

void RoutingFileSystem::remove(const std::string& path) {
    backEndFor(path).remove(path);
}

void RoutingFileSystem::createDirectories(const std::string& path) {
    backEndFor(path).createDirectories(path);
}

bool RoutingFileSystem::createDirectory(const std::string& path) {
    return backEndFor(path).createDirectory(path);
}

void RoutingFileSystem::syncDirectory(const std::string& dir) {
    backEndFor(dir).syncDirectory(dir);
}

std::unique_ptr<HeldFile> RoutingFileSystem::Claims::createExclusive(
    const std::string& path, std::span<const std::uint8_t> content) {
    return m_router.backEndFor(path).claims().createExclusive(path, content);
}

HoldState RoutingFileSystem::Claims::holdState(const std::string& path) {
    return m_router.backEndFor(path).claims().holdState(path);
}

std::unique_ptr<HeldFile> RoutingFileSystem::Claims::takeOver(
    const std::string& path, std::span<const std::uint8_t> expected,
    std::span<const std::uint8_t> content) {
    return m_router.backEndFor(path).claims().takeOver(path, expected, content);
}

bool RoutingFileSystem::ignoresCase(const std::string& path) const {
    return backEndFor(path).ignoresCase(path);
}

}  // namespace kavrin
