#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kavrin {

// A file this process created exclusively and holds (FileClaims::createExclusive, takeOver): a
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

// Claims: one writer at a time, across processes and computers; each file back end has its own
// (FileSystem::claims()), with the paths and errors of its files. A claim is a small file created
// exclusively and held while it lives. Where the back end has a lock it can test (POSIX: an
// advisory lock, flock; Windows: a byte-range lock, LockFileEx, on a byte beyond the content,
// which a server's share keeps for every computer), a holder that died leaves a file no process
// holds. Where it has none (a share reached through an SMB client library), holdState answers
// Unknown and the caller judges the file by its content.
class FileClaims {
public:
    virtual ~FileClaims() = default;

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
};

}  // namespace kavrin
