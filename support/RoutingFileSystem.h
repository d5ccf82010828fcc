#pragma once

#include "support/FileSystem.h"

namespace kavrin {

// Sends every path that begins with "\\" (a server share, isSharePath) to one back end and every
// other path to another. The two may be the same back end (Windows, whose own calls take share
// paths), and then nothing needs routing. Both must outlive it.
class RoutingFileSystem final : public FileSystem {
public:
    RoutingFileSystem(FileSystem& local, FileSystem& share) : m_local(local), m_share(share) {}

    // The back end that takes `path`.
    FileSystem& backEndFor(const std::string& path) const;

    FileStatus status(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    FileBytes readFile(const std::string& path) override;
    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override;
    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable) override;
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress = {}) override;
    void releaseCache(const std::string& path, const FileProgress& progress) override;
    std::unique_ptr<ReplacedFile> holdReplaced(const std::string& path) override;
    // A rename between the two back ends would be a copy nobody asked for: it is refused.
    void rename(const std::string& from, const std::string& to) override;
    void remove(const std::string& path) override;
    void createDirectories(const std::string& path) override;
    [[nodiscard]] bool createDirectory(const std::string& path) override;
    void syncDirectory(const std::string& dir) override;
    [[nodiscard]] std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content) override;
    HoldState holdState(const std::string& path) override;
    [[nodiscard]] std::unique_ptr<HeldFile> takeOver(
        const std::string& path, std::span<const std::uint8_t> expected,
        std::span<const std::uint8_t> content) override;
    bool ignoresCase(const std::string& path) const override;

    using FileSystem::readFile;
    using FileSystem::writeFile;

protected:
    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override;
    void writeFileReporting(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
                            const FileProgress& progress) override;

private:
    FileSystem& m_local;
    FileSystem& m_share;
};

}  // namespace kavrin
