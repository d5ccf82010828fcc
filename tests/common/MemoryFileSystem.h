#pragma once

#include <cstdint>
#include <map>
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

    bool isDirectory(const std::string& path) const { return m_dirs.count(normal(path)) != 0; }

private:
    static std::string normal(const std::string& path);
    static std::string parentOf(const std::string& path);

    std::set<std::string> m_dirs;
    std::map<std::string, std::int64_t> m_times;
    std::int64_t m_clock = 0;
};

}  // namespace kavrin::test
