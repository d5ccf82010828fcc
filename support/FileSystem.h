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

// A file this process created exclusively and holds (FileSystem::createExclusive, takeOver): a
// claim other processes can see. Destroying the object releases the hold and leaves the file, as
// the death of the process would; remove() first to take the file away.
class HeldFile {
public:
    virtual ~HeldFile() = default;
    // Removes the file while it is still held, so that no other process can take it over between
    // the removal and the release. Throws KavrinError when the removal fails (the file stays).
    virtual void remove() = 0;
};

// Whether a process holds a file through createExclusive or takeOver.
enum class HoldState {
    Held,     // some process holds it (this one included)
    Free,     // the file is there and no process holds it: its holder has ended
    Unknown,  // nothing is there, or the back end cannot tell (no advisory locks)
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

    // --- Claims: one writer at a time, across processes and computers ---------------------
    // A claim is a small file created exclusively and held while it lives. Where the back end
    // has a lock it can test (POSIX: an advisory lock, flock; Windows: the creating handle, held
    // open without write sharing), a holder that died leaves a file no process holds. Where it
    // has none (a share reached through an SMB client library), holdState answers Unknown and the
    // caller judges the file by its content. A back end that cannot create a file exclusively
    // (a read-only view, a test's stand-in) keeps the defaults: every claim through it fails, so
    // that nothing is ever committed without one.

    // Creates `path` with `content` as its whole content and holds it. Checking that nothing is
    // there and creating the file are one atomic step for every process and computer that
    // reaches the file (POSIX and SMB: open with O_CREAT | O_EXCL; Windows: CreateFileW with
    // CREATE_NEW). Returns null, creating nothing, when something is at `path` already or
    // another process took the new file over before this one held it. The content need not be
    // flushed; a reader may briefly find the file empty. Throws KavrinError
    // "Cannot create file \"<path>\". <reason>" on any other failure.
    [[nodiscard]] virtual std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content);

    // Whether a process holds the file at `path`. Never throws.
    virtual HoldState holdState(const std::string& path);

    // Takes over the file at `path`, left by a holder that ended: when no process holds it (as
    // far as the back end can tell) and its whole content is still `expected`, gives it the
    // content `content` and holds it, and no other process can take it over meanwhile (POSIX:
    // the advisory lock taken first; Windows: opening it without sharing). Returns null,
    // changing nothing, when it is held, gone or has other content. Throws KavrinError on any
    // other failure. A back end without locks can only compare the content, remove the file and
    // create it exclusively again: two processes taking over the same file at the same moment
    // may then both succeed, which is why callers take over a file of such a back end only when
    // they know its holder has ended.
    [[nodiscard]] virtual std::unique_ptr<HeldFile> takeOver(const std::string& path,
                                                             std::span<const std::uint8_t> expected,
                                                             std::span<const std::uint8_t> content);
};

// The file system of the machine the program runs on.
FileSystem& localFileSystem();

}  // namespace kavrin
