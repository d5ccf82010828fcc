#include "support/smb/SmbClaims.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "support/platform/Errors.h"
#include "support/smb/SmbShareFileSystem.h"

namespace kavrin::smb {

namespace {

// A lock of this computer's own on the take-overs of one share path: flock on a file in the
// machine's temporary folder named after the path (without regard to case, as the share compares
// names). /tmp itself, not $TMPDIR, which may be a folder per user: the processes of every user
// of this computer take the same lock. Held while the object lives; the file goes with it, so
// that take-overs leave nothing behind, and whoever locked a file that went meanwhile locks the
// one the name leads to now.
class TakeOverLock {
public:
    explicit TakeOverLock(const std::string& path) : m_name(lockName(path)) {
        int error = 0;
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            error = lock();
            if (error != 0 && error != ENOENT && error != EEXIST && error != ESTALE) {
                break;
            }
        }
        if (m_fd < 0) {
            throw KavrinError(formatText(
                "Cannot take over file \"%s\". The lock \"%s\" of this computer cannot be "
                "taken: %s",
                path.c_str(), m_name.c_str(), systemErrorText(error).c_str()));
        }
    }
    TakeOverLock(const TakeOverLock&) = delete;
    TakeOverLock& operator=(const TakeOverLock&) = delete;
    // Removed while it is still locked (another user's file stays: /tmp lets only its owner
    // remove it), then unlocked.
    ~TakeOverLock() {
        ::unlink(m_name.c_str());
        ::close(m_fd);
    }

private:
    static std::string lockName(const std::string& path) {
        std::string key = smbUrl(path);
        std::transform(key.begin(), key.end(), key.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a: the same name in every build
        for (const char c : key) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        }
        return formatText("/tmp/kavrin-takeover-%016llx.lock",
                          static_cast<unsigned long long>(hash));
    }

    // One attempt: 0 with m_fd open and locked, or why not (ESTALE: the file locked went
    // meanwhile).
    int lock() {
        // Opened for reading, which is all a lock needs, so that another user's file serves too;
        // never created over one that is there (a system that protects files in a shared folder
        // refuses that), and made readable for all when made here.
        int fd = ::open(m_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(m_name.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::fchmod(fd, 0644);
            }
        }
        if (fd < 0) {
            return errno;
        }
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int error = errno;
                ::close(fd);
                return error;
            }
        }
        struct stat locked {};
        struct stat named {};
        if (::fstat(fd, &locked) != 0 || ::lstat(m_name.c_str(), &named) != 0 ||
            locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
            ::close(fd);
            return ESTALE;
        }
        m_fd = fd;
        return 0;
    }

    std::string m_name;
    int m_fd = -1;
};

// Every function of Samba's client library this back end calls: the library is loaded on the first

}  // namespace

// A claim this program created: it holds no lock, only the knowledge of what it wrote.
class SmbClaims::ShareHeldFile final : public HeldFile {
public:
    ShareHeldFile(SmbClaims& claims, std::string path, std::vector<std::uint8_t> content)
        : m_claims(claims), m_path(std::move(path)), m_content(std::move(content)) {}

    // Only while it still holds what was written: another holder's claim under the same name
    // is left alone.
    void remove() override {
        if (m_claims.holds(m_path, m_content)) {
            m_claims.m_files.remove(m_path);
        }
    }

private:
    SmbClaims& m_claims;
    std::string m_path;
    std::vector<std::uint8_t> m_content;
};

std::unique_ptr<HeldFile> SmbClaims::createExclusive(const std::string& path,
                                                     std::span<const std::uint8_t> content) {
    const SharePath target = parseSharePath(path);
    const std::string url = urlOf(target);
    Creation creation;
    const int error = m_share.perform(
        path, target, [&](SMBCCTX* c) { return createHeld(c, url, content, creation); });
    if (error == 0) {
        return std::make_unique<ShareHeldFile>(
            *this, path, std::vector<std::uint8_t>(content.begin(), content.end()));
    }
    // Another's file, or one found after a dropped connection that another client has open
    // (being written or read) for longer than a sharing violation is waited out.
    if (creation.foreign || (error == EEXIST && !creation.mayBeOurs()) ||
        (error == EBUSY && creation.adopting && !creation.created)) {
        return nullptr;
    }
    if (creation.mayBeOurs()) {
        // What this call may have left goes: a file with its content, or the empty one it
        // created itself. An empty file it cannot tell from another's stays (the engine
        // refuses it as a claim that cannot be read, saying how to clear it).
        try {
            if (holds(path, content) || (creation.created && holds(path, {}))) {
                m_files.remove(path);
            }
        } catch (const KavrinError&) {
            // the server is out of reach: the file stays as it is
        }
    }
    m_share.fail(creation.writing ? "Cannot write file" : "Cannot create file", path, error);
}

std::unique_ptr<HeldFile> SmbClaims::takeOver(const std::string& path,
                                              std::span<const std::uint8_t> expected,
                                              std::span<const std::uint8_t> content) {
    // The check, the removal and the creation are three requests: two processes of this
    // computer taking over the same file at once would both pass the check, and one would
    // remove the claim the other has just made. They take turns.
    const TakeOverLock turn(path);
    if (!holds(path, expected)) {
        return nullptr;
    }
    try {
        m_files.remove(path);
    } catch (const KavrinError&) {
        if (!m_files.status(path).exists) {
            return nullptr;  // gone meanwhile
        }
        throw;
    }
    return createExclusive(path, content);
}

// Whether the file at `path` is there with exactly `content`.
bool SmbClaims::holds(const std::string& path, std::span<const std::uint8_t> content) {
    const FileStatus found = m_files.status(path);
    if (!found.exists || found.isDirectory || found.size != content.size()) {
        return false;
    }
    try {
        const FileBytes bytes = m_files.readFile(path);
        return bytes.size == content.size() &&
               std::equal(content.begin(), content.end(), bytes.data.get());
    } catch (const KavrinError&) {
        return false;  // gone meanwhile
    }
}

// One attempt of createExclusive: the file is created empty, then filled by adopt(). Runs again
// after a dropped connection, whose reply may have been lost after the server had acted: then
// a file found there may be this call's own, and adopt() tells.
int SmbClaims::createHeld(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
                          Creation& creation) {
    creation.foreign = false;
    creation.replyLost = creation.replyLost || m_share.replyMayBeLost();
    // A file that vanishes between the two looks is created anew; that far, and no further.
    for (int round = 0; round < 3; ++round) {
        if (!creation.created) {
            creation.adopting = false;
            creation.writing = false;
            // Created for reading only, every sharing allowed: a server makes the file before
            // it weighs the other opens, and a client that opens the new name to read it (a
            // claim being looked at, denying writes) in between would make it refuse a
            // creation that asked to write, with the file left behind.
            SmbConnection::OpenFile made(
                m_share, c,
                m_share.open(c, url, O_RDONLY | O_CREAT | O_EXCL, SMBC_SHAREMODE_DENY_NONE));
            if (!made.isOpen()) {
                const int failure = lastError();
                if (failure != EEXIST || !creation.replyLost) {
                    return failure;  // a file there, and no reply lost: another's
                }
            } else {
                creation.created = true;
                if (const int failure = made.close(); failure != 0) {
                    return failure;
                }
            }
        }
        creation.adopting = true;
        creation.writing = true;
        const int found = adopt(c, url, content, creation);
        if (found != ENOENT) {
            return found;
        }
        creation.created = false;
    }
    creation.foreign = true;  // others are at work on it
    return EEXIST;
}

// Whether the file at `url`, which this call created or found after a dropped connection,
// is this call's own, which it then holds (0). It is opened with writing refused to every
// other client, which succeeds only while no other client has it open to write, so that
// nobody is writing it: with exactly `content` it is this call's (only replies after the
// filling were lost); empty, it is this call's creation, not filled yet (its reply perhaps
// lost), and is filled here. Whoever fills an empty claim first holds it; every other
// process finds it full of another's content. Anything else is another's (EEXIST,
// creation.foreign); ENOENT when it is gone, EBUSY while another client has it open.
int SmbClaims::adopt(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
                     Creation& creation) {
    SmbConnection::OpenFile file(m_share, c,
                                 m_share.open(c, url, O_RDWR, SMBC_SHAREMODE_DENY_WRITE));
    if (!file.isOpen()) {
        const int failure = lastError();
        if (isRefusal(failure) && !creation.created) {
            creation.foreign = true;  // this user may not write it: not made by this call
            return EEXIST;
        }
        return failure;
    }
    // Read, not asked for its size: the library's fstat reports a dropped connection as
    // EINVAL, which would not be made again. One byte more than `content` tells a longer file.
    std::vector<std::uint8_t> found(content.size() + 1);
    std::size_t done = 0;
    while (done < found.size()) {
        const ssize_t got = m_share.read(c, file, found.data() + done, found.size() - done);
        if (got < 0) {
            return file.failed(lastError());
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (done == 0) {
        return fill(c, file, content);
    }
    if (done == content.size() && std::equal(content.begin(), content.end(), found.begin())) {
        return file.close();
    }
    creation.foreign = true;
    return EEXIST;
}

// Writes `content` into the empty file `file` and closes it; 0 or the errno of the failure.
int SmbClaims::fill(SMBCCTX* c, SmbConnection::OpenFile& file,
                    std::span<const std::uint8_t> content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t put = m_share.write(c, file, content.data() + done, content.size() - done);
        if (put <= 0) {
            return file.failed(put < 0 ? lastError() : EIO);
        }
        done += static_cast<std::size_t>(put);
    }
    return file.close();
}

}  // namespace kavrin::smb
