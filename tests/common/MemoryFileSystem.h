#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/fs/FileSystem.h"

namespace kavrin::test {

// A file system held in memory, with '/'-separated paths and "/" as its root: fast and free of
// side effects, for fuzzing and for running the same operation thousands of times. By default it
// compares names with regard to case, as a POSIX disk does; made with Case::Ignored it finds every
// name under any spelling of its ASCII letters and keeps the spelling it was created with, as a
// share does.
class MemoryFileSystem final : public FileSystem, public FileClaims {
public:
    enum class Case { Sensitive, Ignored };

    MemoryFileSystem() : MemoryFileSystem(Case::Sensitive) {}
    explicit MemoryFileSystem(Case names) : m_case(names) { m_dirs.insert("/"); }

    // Contents by normal path ('/' first, no doubled or trailing separator).
    std::map<std::string, std::vector<std::uint8_t>> files;
    // Whether holds can be told (an advisory lock); false answers Unknown, as a share does.
    bool advisoryLocks = true;

    FileStatus status(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    FileBytes readWholeFile(const std::string& path) override;
    void writeWholeFile(const std::string& path,
                        std::span<const std::span<const std::uint8_t>> parts,
                        bool durable) override;
    // Block by block into the file, which holds what came when the producer throws.
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress = {}) override;
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
    bool ignoresCase(const std::string&) const override { return m_case == Case::Ignored; }

    FileClaims& claims() override { return *this; }

    bool isDirectory(const std::string& path) const { return m_dirs.count(stored(path)) != 0; }

private:
    class Held;
    // The files held, each by a numbered hold. Holds belong to the processes of the moment: a
    // copy of the file system is the disk after they have all ended, and holds none.
    struct Holds {
        std::map<std::string, int> byPath;
        int next = 0;
        Holds() = default;
        Holds(const Holds&) {}
        Holds& operator=(const Holds&) {
            byPath.clear();
            return *this;
        }
    };

    std::unique_ptr<HeldFile> hold(const std::string& path);

    static std::string normal(const std::string& path);
    static std::string parentOf(const std::string& path);
    // The key of `path` in `files` or the folders: its normal form, in the spelling of what is
    // already there where names ignore case.
    std::string stored(const std::string& path) const;

    Case m_case;
    std::set<std::string> m_dirs;
    std::map<std::string, std::int64_t> m_times;
    std::int64_t m_clock = 0;
    Holds m_holds;
};

}  // namespace kavrin::test
