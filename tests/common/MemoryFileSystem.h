#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/FileSystem.h"

namespace kavrin::test {

// A file system held in memory, with '/'-separated paths and "/" as its root: fast and free of
// side effects, for fuzzing and for running the same operation thousands of times.
class MemoryFileSystem final : public FileSystem {
public:
    MemoryFileSystem() { m_dirs.insert("/"); }

    std::map<std::string, std::vector<std::uint8_t>> files;
    // Whether holds can be told (an advisory lock); false answers Unknown, as a share does.
    bool advisoryLocks = true;

    FileStatus status(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    FileBytes readFile(const std::string& path) override;
    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable) override;
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

    bool isDirectory(const std::string& path) const { return m_dirs.count(normal(path)) != 0; }

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

    std::set<std::string> m_dirs;
    std::map<std::string, std::int64_t> m_times;
    std::int64_t m_clock = 0;
    Holds m_holds;
};

}  // namespace kavrin::test
