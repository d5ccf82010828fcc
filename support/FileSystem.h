#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "support/FileBytes.h"

namespace kavrin {

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
    // the removal and the release (POSIX: unlink, then close; Windows: the file, whose holding
    // handle shares its deletion, is deleted before that handle closes, moved aside first where
    // the system would keep the name of a file still open). Only the file
    // held: a name removed by hand and created again by another holder is left alone. Throws
    // KavrinError when the removal fails (the file stays).
    virtual void remove() = 0;
};

// Whether a process holds a file through createExclusive or takeOver.
enum class HoldState {
    Held,     // some process holds it (this one included)
    Free,     // the file is there and no process holds it: its holder has ended
    Unknown,  // nothing is there, or the back end cannot tell (no advisory locks)
};

// Told how far a whole-file read or write has come: `done` of `total` bytes. It may pump the user
// interface, and it may throw to abort the transfer: the back end stops, closes what it opened and
// lets the exception reach the caller unchanged (an aborted write may leave part of the file).
// The figures never go back; a back end that waits with nothing moved (PosixFileSystem: the final
// flush of a durable write) tells the same figures again every few tens of milliseconds meanwhile.
using FileProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

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

// A file about to be replaced by FileSystem::rename(), held open from before the rename
// (FileSystem::holdReplaced) so that its blocks can be freed a slice at a time afterwards, instead
// of all at once inside the rename: seconds for gigabytes. Destroying it closes what it holds.
class ReplacedFile {
public:
    virtual ~ReplacedFile() = default;
    // Frees the blocks of the file held, a slice at a time with a report (done, total bytes)
    // after each, when no name leads to it any more and no other process has it open; otherwise
    // does nothing. Only a hint: no file that a name leads to changes, and nothing is reported as
    // a failure; what `progress` throws passes. Called only once the rename that replaced it was
    // made durable (syncDirectory), so that no crash can find the old name leading to it again.
    virtual void release(const FileProgress& progress) = 0;
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
// Whole-file reads and writes come in two forms: without progress (the form every back end
// implements) and with it. The form with progress is a plain function that calls the protected
// readFileReporting/writeFileReporting, whose default reports once, at the end: no back end and no
// caller had to change for it, and a back end that moves files in blocks overrides those two and
// reports after each block.
// A derived class that overrides readFile or writeFile hides the progress form by name: call it
// through a FileSystem reference, or bring it in with `using FileSystem::readFile;`.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // What is at `path`; exists = false when nothing is there or it cannot be examined (a server
    // that cannot be reached or refuses access included). Never throws of its own: only what a
    // share's credentials prompt throws to end the work passes (ShareAccess.h). modifiedNs is as
    // fine as the back end keeps it (a share: the server's time, in 100 ns steps), and only
    // compared with earlier readings of the same back end.
    virtual FileStatus status(const std::string& path) = 0;

    // Names of the entries of directory `dir`, without "." and "..", in no particular order.
    // "Cannot read directory \"<dir>\". <reason>".
    virtual std::vector<std::string> listDirectory(const std::string& dir) = 0;

    // Reads the whole file. Other programs may go on reading it meanwhile; where the back end can
    // (Windows, a share) it keeps them from writing it, POSIX cannot. A file that shrinks while it
    // is read gives the bytes it still had.
    // "Cannot open file \"<path>\". <reason>" when it cannot be opened (missing, a directory, no
    // right to read); "Cannot read file \"<path>\". <reason>" when reading it fails, with the
    // reason "Not enough memory" for a file larger than the memory the system can give.
    virtual FileBytes readFile(const std::string& path) = 0;
    // The same, calling `progress` (when given) after each block read with the bytes read so far
    // and the file's size, at least once, the last time with both equal.
    FileBytes readFile(const std::string& path, const FileProgress& progress) {
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
    virtual void writeFile(const std::string& path,
                           std::span<const std::span<const std::uint8_t>> parts, bool durable) = 0;
    // The same, calling `progress` (when given) after each block written with the bytes written so
    // far and the total of `parts`, at least once, the last time with both equal.
    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable, const FileProgress& progress) {
        writeFileReporting(path, parts, durable, progress);
    }

    // writeFile for content that is made while it is written and never held whole: creates `path`
    // or empties it, and writes what `produce` gives, `size` bytes, as its whole content, block by
    // block as it comes. The contracts of writeFile hold (durable, the errors, a write that fails
    // or is aborted may leave part of the data); `progress` is told as by writeFile, `size` being
    // the total. An exception `produce` throws ends the write and reaches the caller unchanged.
    // Content of another size than `size` is "Cannot write file \"<path>\". <reason>" after it
    // was written. The default gathers the content in memory and passes it to writeFile; every
    // back end that moves files in blocks overrides it.
    virtual void writeFileInBlocks(const std::string& path, std::uint64_t size,
                                   const FileProducer& produce, bool durable,
                                   const FileProgress& progress = {});

    // Asks the system to drop what it caches of the file at `path`, one slice after another with
    // a report (done, total bytes) after each: a file about to be replaced, whose cached pages
    // would otherwise all be freed inside the rename, seconds of it for gigabytes. Only a hint:
    // nothing on the disk changes, and nothing is reported as a failure. The default does
    // nothing; a back end whose system offers the call overrides it.
    virtual void releaseCache([[maybe_unused]] const std::string& path,
                              [[maybe_unused]] const FileProgress& progress) {}

    // Holds the file at `path`, which rename() is about to replace, for ReplacedFile::release.
    // Only a hint: null, changing nothing, where the back end offers nothing of the kind (the
    // default) or the file cannot be held; the rename then frees it as ever. Never throws.
    virtual std::unique_ptr<ReplacedFile> holdReplaced([[maybe_unused]] const std::string& path) {
        return nullptr;
    }

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

    // --- Claims: one writer at a time, across processes and computers ---------------------
    // A claim is a small file created exclusively and held while it lives. Where the back end
    // has a lock it can test (POSIX: an advisory lock, flock; Windows: a byte-range lock,
    // LockFileEx, on a byte beyond the content, which a server's share keeps for every computer),
    // a holder that died leaves a file no process holds. Where it
    // has none (a share reached through an SMB client library), holdState answers Unknown and the
    // caller judges the file by its content.

    // Creates `path` with `content` as its whole content and holds it. Checking that nothing is
    // there and creating the file are one atomic step for every process and computer that
    // reaches the file (POSIX and SMB: open with O_CREAT | O_EXCL; Windows: CreateFileW with
    // CREATE_NEW). Returns null, creating nothing, when something is at `path` already or
    // another process took the new file over before this one held it. The content need not be
    // flushed; a reader may briefly find the file empty. Throws KavrinError
    // "Cannot create file \"<path>\". <reason>" on any other failure.
    // On a share reached through an SMB client library the file is created empty, then opened again
    // with writing refused to others and filled while it is still empty (of two callers filling one
    // empty file, the first holds it and the other finds its content: null). A call whose
    // connection drops is made once more, the reply to the first attempt perhaps lost after the
    // server had acted. The second attempt takes a file it finds there for this call's own, and
    // holds it, when it has exactly `content` (only a later reply was lost) or is empty (the
    // creation whose reply was lost, not filled yet; it is filled now, as above); any other file is
    // another's (null). So one dropped connection ends with the file held by this call or not
    // created by it, never with an empty file this call left and counts as another's. When the
    // second attempt fails too (the server is gone), the file is removed if it holds `content` or
    // is the empty one this call created; an empty file whose creation's reply was lost may stay,
    // and is judged as a claim that cannot be read.
    [[nodiscard]] virtual std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content) = 0;

    // Whether a process holds the file at `path`, this one included (whether the lock can be
    // taken). Others can always read a held file. Never throws.
    virtual HoldState holdState(const std::string& path) = 0;

    // Takes over the file at `path`, left by a holder that ended: when no process holds it (as
    // far as the back end can tell) and its whole content is still `expected`, gives it the
    // content `content` and holds it, and no other process can take it over meanwhile (the lock
    // taken first). Returns null,
    // changing nothing, when it is held, gone or has other content. Throws KavrinError on any
    // other failure. A back end without locks can only compare the content, remove the file and
    // create it exclusively again. Those three steps are made one at a time among the processes
    // of this computer (the share back end takes an flock on a file in /tmp named after `path`,
    // without regard to case, first), so that of two of them taking over the same file at once
    // exactly one holds it and the other gets null; nothing makes them so across computers,
    // which is why callers take over a file of such a back end only when it is their own
    // computer's and they know its holder has ended (the engine refuses another computer's
    // claim, and after an hour says how to clear it).
    [[nodiscard]] virtual std::unique_ptr<HeldFile> takeOver(
        const std::string& path, std::span<const std::uint8_t> expected,
        std::span<const std::uint8_t> content) = 0;

    // Whether names at `path` compare without regard to letter case: a share and Windows do, so a
    // file is found there under any spelling; POSIX does not, and the caller looks for the
    // spelling itself (locateFile). Asked per path: a routing file system answers for the back end
    // the path goes to.
    virtual bool ignoresCase([[maybe_unused]] const std::string& path) const { return false; }

protected:
    // What the progress forms of readFile and writeFile run. By default the whole transfer is one
    // block: the form without progress, then one report.
    virtual FileBytes readFileReporting(const std::string& path, const FileProgress& progress);
    virtual void writeFileReporting(const std::string& path,
                                    std::span<const std::span<const std::uint8_t>> parts,
                                    bool durable, const FileProgress& progress);
    // writeFileReporting for a back end that writes in blocks: `parts` one after another through
    // writeFileInBlocks, whose reports are its own. Not the default, since the default
    // writeFileInBlocks gathers the content and passes it to writeFile.
    void writePartsInBlocks(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
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
