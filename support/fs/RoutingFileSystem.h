#pragma once

#include "support/fs/CacheHints.h"
#include "support/fs/FileSystem.h"

namespace kavrin {

// Sends every path that begins with "\\" (a server share, isSharePath) to one back end and every
// other path to another. The two may be the same back end (Windows, whose own calls take share
// paths), and then nothing needs routing. Both must outlive it.
class RoutingFileSystem final : public FileSystem {
public:
    RoutingFileSystem(FileSystem& local, FileSystem& share)
        : m_local(local), m_share(share), m_claims(*this), m_hints(*this) {}

    // The back end that takes `path`.
    FileSystem& backEndFor(const std::string& path) const;

    FileStatus status(const std::string& path) override;
    std::vector<FileStatus> statuses(std::span<const std::string> paths) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override;
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress = {}) override;
    // A rename between the two back ends would be a copy nobody asked for: it is refused.
    void rename(const std::string& from, const std::string& to) override;
    // Within one back end, that back end's copy; between the two, through the program.
    FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                      const FileProgress& progress = {}) override;
    void remove(const std::string& path) override;
    void createDirectories(const std::string& path) override;
    [[nodiscard]] bool createDirectory(const std::string& path) override;
    void syncDirectory(const std::string& dir) override;
    bool ignoresCase(const std::string& path) const override;
    FileClaims& claims() override { return m_claims; }
    CacheHints& cacheHints() override { return m_hints; }

protected:
    FileBytes readWholeFile(const std::string& path) override;
    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override;
    void writeFileReporting(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
                            const FileProgress& progress) override;

private:
    class Claims final : public FileClaims {
    public:
        explicit Claims(RoutingFileSystem& router) : m_router(router) {}
        [[nodiscard]] std::unique_ptr<HeldFile> createExclusive(
            const std::string& path, std::span<const std::uint8_t> content) override;
        HoldState holdState(const std::string& path) override;
        [[nodiscard]] std::unique_ptr<HeldFile> takeOver(
            const std::string& path, std::span<const std::uint8_t> expected,
            std::span<const std::uint8_t> content) override;

    private:
        RoutingFileSystem& m_router;
    };
    class Hints final : public CacheHints {
    public:
        explicit Hints(RoutingFileSystem& router) : m_router(router) {}
        void releaseCache(const std::string& path, const FileProgress& progress) override;
        std::unique_ptr<ReplacedFile> holdReplaced(const std::string& path) override;

    private:
        RoutingFileSystem& m_router;
    };

    FileSystem& m_local;
    FileSystem& m_share;
    Claims m_claims;
    Hints m_hints;
};

}  // namespace kavrin
