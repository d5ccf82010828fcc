#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/fs/CacheHints.h"
#include "support/fs/FileBytes.h"
#include "support/fs/FileClaims.h"
#include "support/fs/FileProgress.h"

namespace kavrin {

struct FileStatus {
    bool exists = false;
    bool isDirectory = false;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;  // modification time, nanoseconds since the epoch

    bool operator==(const FileStatus&) const = default;
};

// Who moved the bytes of a copy (FileSystem::copyFile).
enum class CopyMethod {
    // This program read them and wrote them again.
    ThroughProgram,
    // The machine's own system, without them passing through the program (copy_file_range,
    // CopyFileExW); a file system that shares blocks between files makes the copy share them.
    InSystem,
    // A local file system that keeps its own times (XFS, Btrfs) made the copy share the source's
    // blocks, in one step that no write to the source can come between: the copy holds the
    // source's bytes as they were at that moment, whole.
    Cloned,
    // The server of a share, within the share, without them crossing the network.
    OnServer,
};

// What copyFile did.
struct FileCopy {
    std::uint64_t size = 0;  // the bytes copied
    CopyMethod method = CopyMethod::ThroughProgram;
    // The CRC-32 of the bytes as they passed through the program: only ThroughProgram knows it.
    std::optional<std::uint32_t> crc;
};

// Given each block of a file read in blocks, in order.
using FileBlockConsumer = std::function<void(std::span<const std::uint8_t> block)>;

// Takes the content of a file written in blocks (FileSystem::writeFileInBlocks), in order.
class FileSink {
public:
    virtual ~FileSink() = default;
    // Appends `bytes` to the file. Throws the file layer's errors.
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
};

// Produces the whole content of a file into the sink, in order. It may be called more than once
// (a test's file layer that tears a write produces it once more), each time from the start.
using FileProducer = std::function<void(FileSink& sink)>;

// A sink that keeps what it is given, for a file layer that writes a file whole.
class GatheringSink final : public FileSink {
public:
    void write(std::span<const std::uint8_t> bytes) override {
        content.insert(content.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> content;
};

// A file open for writing from its start, what a back end that writes in blocks gives
// (FileSystem::createFile). Destroying it closes what it holds.
class FileWriter {
public:
    virtual ~FileWriter() = default;
    // Writes the first bytes of `bytes`, at most a block of the back end's choice and at least
    // one, and returns how many. "Cannot write file \"<path>\". <reason>" (or "Cannot create
    // file" where the file is created by its first write).
    virtual std::size_t writeSome(std::span<const std::uint8_t> bytes) = 0;
    // Ends the file once everything is written: flushed to the disk with `durable`, calling
    // `waiting` (when given) every few tens of milliseconds while the flush keeps it waiting,
    // then closed. "Cannot flush file \"<path>\". <reason>", "Cannot write file ...".
    virtual void finish(bool durable, const std::function<void()>& waiting) = 0;
};

// The narrow file layer everything that touches files goes through. Its back ends: the machine's
// own file calls (nativeFileSystem), server shares (shareFileSystem), and in tests files held in
// memory or made to fail. Every back end keeps the contracts below and proves it by passing the
// same conformance tests.
//
// Paths are the program's texts (UTF-8 bytes on Linux); each back end maps them to its own form.
// Every operation but status() reports a failure as KavrinError
// "<what> \"<path>\". <reason>", <reason> being the system's or the server's own text for it.
//
// Reading and writing whole files is what every caller asks for (readFile, writeFile); a back
// end gives what its system offers: the whole file at once (readWholeFile, writeWholeFile), or a
// file read with reports (readFileReporting) and a file open for writing (createFile), through
// which this class writes every file block by block. Claims (claims()) and hints about replaced
// files (cacheHints()) are interfaces of their own.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // What is at `path`; exists = false when nothing is there or it cannot be examined (a server
    // that cannot be reached or refuses access included). Never throws of its own: only what a
    // share's credentials prompt throws to end the work passes (ShareAccess.h). modifiedNs is as
    // fine as the back end keeps it (a share: the server's time, in 100 ns steps), and only
    // compared with earlier readings of the same back end.
    virtual FileStatus status(const std::string& path) = 0;
    // The status of each of `paths`, as status() gives them one by one, in their order. A back
    // end to which each look is costly (a share: three round trips) may take those of one folder
    // from one listing of it; they are then of no one moment either.
    virtual std::vector<FileStatus> statuses(std::span<const std::string> paths);

    // Names of the entries of directory `dir`, without "." and "..", in no particular order.
    // "Cannot read directory \"<dir>\". <reason>".
    virtual std::vector<std::string> listDirectory(const std::string& dir) = 0;

    // Reads the whole file. Other programs may go on reading it meanwhile; where the back end can
    // (Windows, a share) it keeps them from writing it, POSIX cannot. A file that shrinks while it
    // is read gives the bytes it still had.
    // "Cannot open file \"<path>\". <reason>" when it cannot be opened (missing, a directory, no
    // right to read); "Cannot read file \"<path>\". <reason>" when reading it fails, with the
    // reason "Not enough memory" for a file larger than the memory the system can give.
    // `progress` (when given) is called after each block read with the bytes read so far and the
    // file's size, at least once, the last time with both equal.
    FileBytes readFile(const std::string& path, const FileProgress& progress = {}) {
        return readFileReporting(path, progress);
    }

    // Hands the whole file to `consume` from its start, block by block, each byte once and in
    // order. A back end that reads in blocks holds one block at a time, so that files larger than
    // the memory at hand can be checked (PosixFileSystem: blocks of 1 MiB); the default reads the
    // file whole and hands it over as one block. The errors of readFile; an exception `consume`
    // throws ends the read and reaches the caller unchanged.
    virtual void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume);

    // Creates `path` or empties it, and writes `parts` one after another as its whole content.
    // With `durable`, the data has reached the disk when the call returns; on a share reached
    // through Samba's client library, which has no call to flush a file, the server has all of it
    // and writes it to its disk as its own configuration says. A write that fails or is aborted
    // closes what it opened and may leave `path` holding part of the data: what must never be seen
    // half written is written under a temporary name and then moved over the original with
    // rename(). "Cannot create file \"<path>\". <reason>" when it cannot be created or opened;
    // "Cannot write file \"<path>\". <reason>" and "Cannot flush file \"<path>\". <reason>" after.
    // `progress` (when given) is called after each block written with the bytes written so far
    // and the total of `parts`, at least once, the last time with both equal.
    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable, const FileProgress& progress = {}) {
        writeFileReporting(path, parts, durable, progress);
    }

    // writeFile for content that is made while it is written and never held whole: creates `path`
    // or empties it, and writes what `produce` gives, `size` bytes, as its whole content, block by
    // block as it comes. The contracts of writeFile hold (durable, the errors, a write that fails
    // or is aborted may leave part of the data); `progress` is told as by writeFile, `size` being
    // the total. An exception `produce` throws ends the write and reaches the caller unchanged.
    // Content of another size than `size` is "Cannot write file \"<path>\". <reason>" after it
    // was written. The default writes through createFile, block by block; for a back end that
    // writes files whole it gathers the content in memory and passes it to writeFile.
    virtual void writeFileInBlocks(const std::string& path, std::uint64_t size,
                                   const FileProducer& produce, bool durable,
                                   const FileProgress& progress = {});

    // Renames file `from` to `to` in the same back end, replacing `to` when it is a file. Where the
    // system can (POSIX, Windows) the replacement is atomic: `to` names the old file or the new
    // one at every moment, a crash included. Where it cannot (a share that renames only onto free
    // names) `to` is first renamed aside (to a unique name that the next replacement of `to`
    // removes; its bytes go when the last client reading it closes it) and `from` then renamed to
    // `to`: a failure between the two puts `to` back where it can, and otherwise leaves no `to`
    // and `from` unchanged. Either way the change lasts a crash only after syncDirectory()
    // of the folder; callers that must not lose `to` keep a copy until then.
    // "Cannot rename file \"<from>\" to \"<to>\". <reason>".
    virtual void rename(const std::string& from, const std::string& to) = 0;

    // Creates `to` or empties it, and copies the whole content of file `from` into it, in the
    // same back end; the contracts of writeFile hold for `to` (durable, a copy that fails or is
    // aborted may leave part of the data, `progress` told as the bytes go). The back end copies
    // in its system or on its server where it can, and otherwise through the program; the result
    // says which. The copy holds what `from` held while it was copied: a caller that must know
    // it is what it expects checks it (the CRC-32 of a copy through the program, or `to` read
    // back). "Cannot open file \"<from>\". <reason>" when `from` cannot be opened, "Cannot create
    // file
    // \"<to>\". <reason>" when `to` cannot; "Cannot copy file \"<from>\" to \"<to>\". <reason>"
    // when the system's copy fails, and the errors of readFile and writeFile when the program's
    // does. The default copies through the program, in blocks.
    virtual FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                              const FileProgress& progress = {});

    // Removes a file. "Cannot delete file \"<path>\". <reason>".
    virtual void remove(const std::string& path) = 0;

    // Creates directory `path` with every missing level; an existing directory is no failure.
    // Runs of separators name no level of their own, and a separator at the end is allowed.
    // "Cannot create directory \"<path>\". <reason>", `path` as given, whichever level failed.
    virtual void createDirectories(const std::string& path) = 0;

    // Creates the single directory `path`. Returns false, creating nothing, when something
    // already exists there; throws "Cannot create directory \"<path>\". <reason>" on any other
    // failure (its parent missing included).
    [[nodiscard]] virtual bool createDirectory(const std::string& path) = 0;

    // Makes the changes to the entries of directory `dir` (creations, renames, removals) last a
    // crash. A back end without such a call (Windows, where the file system orders it itself; a
    // share, where the server does) only checks that `dir` is a directory it can reach.
    // "Cannot flush directory \"<dir>\". <reason>".
    virtual void syncDirectory(const std::string& dir) = 0;

    // Whether names at `path` compare without regard to letter case: a share and Windows do, so a
    // file is found there under any spelling; POSIX does not, and the caller looks for the
    // spelling itself (locateFile). Asked per path: a routing file system answers for the back end
    // the path goes to.
    virtual bool ignoresCase([[maybe_unused]] const std::string& path) const { return false; }

    // The claims of this back end's files.
    virtual FileClaims& claims() = 0;

    // The hints this back end takes about files rename() replaces; by default none.
    virtual CacheHints& cacheHints();

protected:
    // copyFile through the program: `from` read through `source` (this file system, or the one a
    // wrapper passes its reads to), written here in blocks, its CRC-32 taken on the way.
    FileCopy copyThroughProgram(FileSystem& source, const std::string& from, const std::string& to,
                                bool durable, const FileProgress& progress);

    // The whole file at `path`, for a back end that reads files whole: the contracts of readFile.
    virtual FileBytes readWholeFile(const std::string& path) = 0;
    // What readFile runs; by default readWholeFile, then one report.
    virtual FileBytes readFileReporting(const std::string& path, const FileProgress& progress);

    // `path` created or emptied, open for writing by writeFile and writeFileInBlocks, which write
    // through it block by block; null (the default) for a back end that writes files whole
    // (writeWholeFile). Throws "Cannot create file \"<path>\". <reason>", or leaves the creation
    // to the first write where the back end creates files as it first writes them.
    virtual std::unique_ptr<FileWriter> createFile(const std::string& path, bool durable);
    // writeFile for a back end that writes files whole (no createFile): the contracts of writeFile.
    virtual void writeWholeFile(const std::string& path,
                                std::span<const std::span<const std::uint8_t>> parts, bool durable);
    // What writeFile runs; by default through createFile, else writeWholeFile and one report.
    virtual void writeFileReporting(const std::string& path,
                                    std::span<const std::span<const std::uint8_t>> parts,
                                    bool durable, const FileProgress& progress);

private:
    // Writes what `produce` gives through `file`, telling `progress` after each block short of
    // `size`, and finishes the file; returns the bytes written.
    static std::uint64_t writeBlocks(FileWriter& file, std::uint64_t size,
                                     const FileProducer& produce, bool durable,
                                     const FileProgress& progress);
};

// What writeFileInBlocks throws when the content it was given was not the size announced:
// "Cannot write file \"<path>\". <written> bytes were written instead of <size>".
[[noreturn]] void throwWrongFileSize(const std::string& path, std::uint64_t written,
                                     std::uint64_t size);

// The file system the program works on, the default of the engine, the window and the command
// line: paths that begin with "\\" go to shareFileSystem(), every other path to nativeFileSystem().
FileSystem& localFileSystem();

// The platform's own file calls, for the machine's own paths (POSIX calls; on Windows the wide
// Win32 API, which takes "\\server\share" paths too). Defined by the back end the build picks.
FileSystem& nativeFileSystem();

// Server shares, paths "\\server\share\...". Where the native calls reach shares themselves
// (Windows) it is nativeFileSystem(); where no share can be reached, a back end that finds nothing
// there.
FileSystem& shareFileSystem();

}  // namespace kavrin
