#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kavrin {

// The bytes of a whole file, in memory allocated without initialisation (the read fills it).
struct FileBytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

// `size` bytes for a whole file or body, not initialised, in huge pages where the system gives
// them: on virtual machines the first touch of each small page of hundreds of fresh megabytes
// costs more than filling them. Throws std::bad_alloc.
FileBytes allocateFileBytes(std::size_t size);

struct FileStatus {
    bool exists = false;
    bool isDirectory = false;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch

    bool operator==(const FileStatus&) const = default;
};

// The narrow file layer everything that touches the disk goes through, so that tests can put an
// in-memory or failing file system in its place. Paths are native (UTF-8 bytes on Linux).
// Every operation that fails throws KavrinError with a message naming the path and the system's
// reason; status() never throws.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // What is at `path`; exists = false when nothing is there or it cannot be examined.
    virtual FileStatus status(const std::string& path) = 0;

    // Names of the entries of directory `dir`, without "." and "..".
    virtual std::vector<std::string> listDirectory(const std::string& dir) = 0;

    // Reads the whole file. A file that cannot be opened throws
    // "Cannot open file \"<path>\". <reason>".
    virtual FileBytes readFile(const std::string& path) = 0;

    // Creates or empties `path` and writes `parts` one after another as its whole content.
    // With `durable`, the data is flushed to the disk before the call returns.
    // A file that cannot be created throws "Cannot create file \"<path>\". <reason>".
    virtual void writeFile(const std::string& path,
                           std::span<const std::span<const std::uint8_t>> parts, bool durable) = 0;

    // Renames `from` to `to`, replacing `to` atomically when it exists.
    virtual void rename(const std::string& from, const std::string& to) = 0;

    // Removes a file.
    virtual void remove(const std::string& path) = 0;

    // Creates directory `path` with every missing level; an existing directory is no failure.
    virtual void createDirectories(const std::string& path) = 0;

    // Creates the single directory `path`. Returns false, creating nothing, when something
    // already exists there; throws on any other failure.
    [[nodiscard]] virtual bool createDirectory(const std::string& path) = 0;

    // Makes the entries of directory `dir` (creations, renames, removals) durable.
    virtual void syncDirectory(const std::string& dir) = 0;
};

// The file system of the machine the program runs on.
FileSystem& localFileSystem();

}  // namespace kavrin
