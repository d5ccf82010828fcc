#include "support/smb/SmbShareFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "support/fs/FileClaims.h"
#include "support/platform/Errors.h"
#include "support/platform/Process.h"
#include "support/smb/CallSize.h"
#include "support/smb/SharePath.h"
#include "support/smb/SmbClaims.h"
#include "support/smb/SmbConnection.h"
#include "support/text/AnsiText.h"

namespace kavrin::smb {

namespace {

// What a file replaced by a rename is called, after its own name and a unique text, until its
// last reader closes it.
constexpr const char* kReplacedSuffix = ".replaced";

// Reads pipeline up to this much (CallSize.h): in blocks, the block a reader holds; into a
// whole file's memory, further, since each call that ends leaves the link idle for a round
// trip. Writes go in requests up to the most a server takes by default (Samba: 8 MiB), smaller
// blocks gathered to it.
constexpr std::size_t kReadWindow = 16 * 1024 * 1024;
constexpr std::size_t kWholeReadWindow = 64 * 1024 * 1024;
constexpr std::size_t kWriteSize = 8 * 1024 * 1024;

// A copy on the server goes in steps of this size: each takes a moment on the server, and
// progress is told between them.
constexpr std::uint64_t kCopyStep = 64 * 1024 * 1024;

// Both paths on one share of one server: names of servers and shares compare without regard to
// case.
bool sameShare(const SharePath& a, const SharePath& b) {
    const auto same = [](const std::string& x, const std::string& y) {
        return x.size() == y.size() &&
               std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
                   return std::tolower(static_cast<unsigned char>(p)) ==
                          std::tolower(static_cast<unsigned char>(q));
               });
    };
    return same(a.server, b.server) && same(a.share, b.share);
}

// Unique among this computer's processes and this process's calls.
std::string uniqueText() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(currentProcessId()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000);
}

// A file on a share written block by block as the blocks come, kept open between them and created
// by the first write (or by finish(), for an empty file). After a dropped connection it opens the
// file it created again and goes on where the server's last acknowledgement left it: the block
// under way is still at hand.
class ShareWriter final : public FileWriter {
public:
    ShareWriter(SmbConnection& share, const std::string& path)
        : m_share(share), m_path(path), m_target(parseSharePath(path)), m_url(urlOf(m_target)) {}

    std::size_t writeSome(std::span<const std::uint8_t> bytes) override {
        const std::size_t size = m_callSize.size();
        if (m_pending.empty() && bytes.size() >= size) {
            return send(bytes.first(size));
        }
        if (m_pending.capacity() < size) {
            m_pending.reserve(size);
        }
        const std::size_t taken = std::min(bytes.size(), size - std::min(size, m_pending.size()));
        m_pending.insert(m_pending.end(), bytes.begin(),
                         bytes.begin() + static_cast<std::ptrdiff_t>(taken));
        if (m_pending.size() >= size) {
            sendPending();
        }
        return taken;
    }

    // `durable` cannot be honoured further: the library has no call that asks the server to
    // flush a file. When this returns, the server has every byte, and a crash of this program
    // loses none of them; the server writes them to its disk as its own configuration says.
    void finish(bool, const std::function<void()>&) override {
        sendPending();
        perform([&](SMBCCTX*) { return m_file->close(); });
        m_file.reset();
    }

private:
    // Runs `step` on the open file, opening it first (created the first time); a step that
    // fails leaves the file to be opened anew by the next attempt.
    void perform(const SmbConnection::Call& step) {
        const int error = m_share.perform(m_path, m_target, [&](SMBCCTX* c) {
            m_creating = !m_created;
            if (!m_file) {
                if (const int failure = open(c); failure != 0) {
                    return failure;
                }
            }
            m_creating = false;
            const int failure = step(c);
            if (failure != 0) {
                m_file->failed(failure);
                m_file.reset();
            }
            return failure;
        });
        if (error != 0) {
            m_share.fail(m_creating ? "Cannot create file" : "Cannot write file", m_path, error);
        }
    }

    // Sends all of `bytes`, a call for what the last one left, and tells the call size how long
    // it took; returns their size.
    std::size_t send(std::span<const std::uint8_t> bytes) {
        const auto start = std::chrono::steady_clock::now();
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            perform([&](SMBCCTX* c) {
                const ssize_t n =
                    m_share.write(c, *m_file, bytes.data() + sent, bytes.size() - sent);
                if (n <= 0) {
                    return n < 0 ? lastError() : EIO;
                }
                sent += static_cast<std::size_t>(n);
                m_written += static_cast<std::uint64_t>(n);
                return 0;
            });
        }
        m_callSize.tookFor(bytes.size(), sent, std::chrono::steady_clock::now() - start);
        return sent;
    }

    void sendPending() {
        if (!m_pending.empty()) {
            send(m_pending);
            m_pending.clear();
        }
    }

    // Opens the file, created the first time, where the last write left it; 0 or the errno.
    int open(SMBCCTX* c) {
        m_file.emplace(m_share, c,
                       m_share.open(c, m_url, m_created ? O_WRONLY : (O_WRONLY | O_CREAT | O_TRUNC),
                                    SMBC_SHAREMODE_DENY_ALL));
        if (!m_file->isOpen()) {
            m_file.reset();
            return lastError();
        }
        m_created = true;
        if (m_written > 0 && m_share.seek(c, *m_file, m_written) < 0) {
            const int failure = m_file->failed(lastError());
            m_file.reset();
            return failure;
        }
        return 0;
    }

    SmbConnection& m_share;
    std::string m_path;
    SharePath m_target;
    std::string m_url;
    std::optional<SmbConnection::OpenFile> m_file;
    std::uint64_t m_written = 0;          // acknowledged by the server
    std::vector<std::uint8_t> m_pending;  // taken, to go in the next request
    CallSize m_callSize{kWriteSize};
    bool m_created = false;
    bool m_creating = true;  // the step that failed: creating, or writing after it
};

// Server shares through Samba's client library, one connection (SmbConnection) for every share.
class SmbShareFileSystem final : public FileSystem {
public:
    // Calls the library through what `library` gives on the first share path.
    explicit SmbShareFileSystem(std::function<const SmbClient&()> library)
        : m_share(std::move(library)), m_claims(*this, m_share) {}

    FileStatus status(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        struct stat st {};
        if (statAt(path, target, target.names.size(), st) != 0) {
            return {};
        }
        return statusOf(st);
    }

    // Files of one folder from one listing of it (opened, listed, closed: three or four round
    // trips), where each status costs three.
    std::vector<FileStatus> statuses(std::span<const std::string> paths) override {
        if (paths.size() < 2) {
            return FileSystem::statuses(paths);
        }
        std::vector<SharePath> targets;
        std::string folderUrl;
        for (const std::string& path : paths) {
            const SharePath& target = targets.emplace_back(parseSharePath(path));
            if (target.names.empty()) {
                return FileSystem::statuses(paths);
            }
            const std::string url = urlOf(target, target.names.size() - 1);
            if (folderUrl.empty()) {
                folderUrl = url;
            } else if (url != folderUrl) {
                return FileSystem::statuses(paths);
            }
        }
        SharePath folder = targets.front();
        folder.names.pop_back();
        std::vector<std::pair<std::string, struct stat>> entries;
        if (m_share.perform(paths.front(), folder, [&](SMBCCTX* c) {
                return m_share.entriesWithStatus(c, folderUrl, entries);
            }) != 0) {
            return FileSystem::statuses(paths);
        }
        std::vector<FileStatus> found(paths.size());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            for (const auto& [name, st] : entries) {
                if (asciiCompareText(name, targets[i].names.back()) == 0) {
                    found[i] = statusOf(st);
                    break;
                }
            }
        }
        return found;
    }

    std::vector<std::string> listDirectory(const std::string& dir) override {
        const SharePath target = parseSharePath(dir);
        std::vector<std::string> names;
        const int error = m_share.perform(
            dir, target, [&](SMBCCTX* c) { return m_share.entriesOf(c, urlOf(target), names); });
        if (error != 0) {
            m_share.fail("Cannot read directory", dir, error);
        }
        return names;
    }

    // One read window at a time, so that a check of a file on the share holds one block, not
    // the file.
    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kReadWindow]);
        CallSize window(kReadWindow);
        std::uint64_t done = 0;
        bool opening = true;  // the step that failed: opening, or reading after it
        // What the consumer threw leaves the library's call first, and is thrown again here.
        std::exception_ptr consumerFailure;
        // Runs again after a dropped connection: it opens anew and goes on where it was.
        const int error = m_share.perform(path, target, [&](SMBCCTX* c) {
            opening = true;
            SmbConnection::OpenFile file(m_share, c,
                                         m_share.open(c, url, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE));
            if (!file.isOpen()) {
                return lastError();
            }
            struct stat st {};
            if (m_share.fstat(c, file, st) != 0) {
                return lastError();
            }
            if (S_ISDIR(st.st_mode)) {
                return EISDIR;
            }
            opening = false;
            if (done > 0 && m_share.seek(c, file, done) < 0) {
                return file.failed(lastError());
            }
            for (;;) {
                const ssize_t got = window.time(
                    [&](std::size_t size) { return m_share.read(c, file, block.get(), size); });
                if (got < 0) {
                    return file.failed(lastError());
                }
                if (got == 0) {
                    break;
                }
                done += static_cast<std::uint64_t>(got);
                try {
                    consume(
                        std::span<const std::uint8_t>(block.get(), static_cast<std::size_t>(got)));
                } catch (...) {
                    consumerFailure = std::current_exception();
                    return 0;
                }
            }
            file.close();  // everything is read: what closing says changes nothing
            return 0;
        });
        if (consumerFailure) {
            std::rethrow_exception(consumerFailure);
        }
        if (error != 0) {
            m_share.fail(opening ? "Cannot open file" : "Cannot read file", path, error);
        }
    }

    void rename(const std::string& from, const std::string& to) override {
        const SharePath source = parseSharePath(from);
        const SharePath target = parseSharePath(to);
        const std::string sourceUrl = urlOf(source);
        // The source's size as the first attempt found it: after a dropped connection, a source
        // that is gone and a target of that size are the rename whose reply was lost.
        std::optional<off_t> sourceSize;
        const SmbConnection::BusyPatience patience(m_share, kBusyPatienceToReplace);
        const int error = m_share.perform(to, target, [&](SMBCCTX* c) {
            std::string targetUrl = urlOf(target);
            struct stat st {};
            // The library renames only onto free names (asked to replace, it removes the target
            // and renames, just as this does); the source must be there before the target goes.
            if (m_share.stat(c, sourceUrl, st) != 0) {
                const int failure = lastError();
                if (failure == ENOENT && sourceSize && m_share.replyMayBeLost() &&
                    m_share.stat(c, targetUrl, st) == 0 && !S_ISDIR(st.st_mode) &&
                    st.st_size == *sourceSize) {
                    return 0;
                }
                return failure;
            }
            if (!sourceSize) {
                sourceSize = st.st_size;
            }
            if (m_share.stat(c, targetUrl, st) != 0) {
                return m_share.renameAt(c, sourceUrl, targetUrl);
            }
            if (S_ISDIR(st.st_mode)) {
                return EISDIR;
            }
            // The file replaced is renamed aside, not removed: a file another client has open
            // (a reader, the server itself) is removed only when that client closes it, and its
            // name stays taken until then. Aside, it frees the name at once, and goes when its
            // last reader closes it. The replacement keeps the name the folder spells the file
            // with.
            SharePath spelled = target;
            std::vector<std::string> entries;
            spelled.names.back() = m_share.spellingInFolder(c, target, &entries);
            targetUrl = urlOf(spelled);
            SharePath aside = spelled;
            aside.names.back() = spelled.names.back() + "." + uniqueText() + kReplacedSuffix;
            const std::string asideUrl = urlOf(aside);
            if (const int failed = m_share.renameAt(c, targetUrl, asideUrl); failed != 0) {
                return failed;
            }
            if (const int failed = m_share.renameAt(c, sourceUrl, targetUrl); failed != 0) {
                (void)m_share.renameAt(c, asideUrl,
                                       targetUrl);  // the target as it was, where it can
                return failed;
            }
            (void)m_share.unlinkAt(c, asideUrl);
            // Files put aside by a replacement that was cut short go with the next one.
            const std::string leftPrefix = spelled.names.back() + ".";
            for (const std::string& entry : entries) {
                if (entry.size() > leftPrefix.size() + std::strlen(kReplacedSuffix) &&
                    asciiCompareText(entry.substr(0, leftPrefix.size()), leftPrefix) == 0 &&
                    entry.ends_with(kReplacedSuffix)) {
                    SharePath left = spelled;
                    left.names.back() = entry;
                    (void)m_share.unlinkAt(c, urlOf(left));
                }
            }
            return 0;
        });
        if (error != 0) {
            throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(), m_share.reason(error).c_str()));
        }
    }

    // Within one share the server copies (the library's splice: SMB2 copy-chunk), in steps so
    // that progress is told and the window pumped between them. The library falls back silently
    // to a copy through this program when the server refuses; what crossed the network while it
    // copied tells which. Between shares, through the program.
    FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                      const FileProgress& progress) override {
        const SharePath source = parseSharePath(from);
        const SharePath target = parseSharePath(to);
        if (!sameShare(source, target)) {
            return FileSystem::copyFile(from, to, durable, progress);
        }
        const std::string sourceUrl = urlOf(source);
        const std::string targetUrl = urlOf(target);
        const std::optional<std::uint64_t> trafficBefore = m_share.trafficBytes();
        std::uint64_t done = 0;
        enum class Step { Opening, Creating, Copying } step = Step::Opening;
        std::exception_ptr progressFailure;
        // Runs again after a dropped connection: the copy starts again from the beginning.
        const int error = m_share.perform(from, source, [&](SMBCCTX* c) {
            step = Step::Opening;
            done = 0;
            SmbConnection::OpenFile in(
                m_share, c, m_share.open(c, sourceUrl, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE));
            struct stat st {};
            if (!in.isOpen() || m_share.fstat(c, in, st) != 0) {
                return lastError();
            }
            if (S_ISDIR(st.st_mode)) {
                return EISDIR;
            }
            step = Step::Creating;
            SmbConnection::OpenFile out(
                m_share, c,
                m_share.open(c, targetUrl, O_WRONLY | O_CREAT | O_TRUNC, SMBC_SHAREMODE_DENY_ALL));
            if (!out.isOpen()) {
                return lastError();
            }
            step = Step::Copying;
            const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
            while (done < size) {
                const off_t count =
                    static_cast<off_t>(std::min<std::uint64_t>(kCopyStep, size - done));
                const off_t copied = m_share.splice(c, in, out, count);
                if (copied <= 0) {
                    return in.failed(copied < 0 ? lastError() : EIO);
                }
                done += static_cast<std::uint64_t>(copied);
                if (progress && done < size) {
                    try {
                        progress(done, size);
                    } catch (...) {
                        progressFailure = std::current_exception();
                        return 0;
                    }
                }
            }
            return out.close();
        });
        if (progressFailure) {
            std::rethrow_exception(progressFailure);
        }
        if (error != 0) {
            if (step == Step::Opening) {
                m_share.fail("Cannot open file", from, error);
            }
            if (step == Step::Creating) {
                m_share.fail("Cannot create file", to, error);
            }
            throw KavrinError(formatText("Cannot copy file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(), m_share.reason(error).c_str()));
        }
        if (progress) {
            progress(done, done);
        }
        // A copy on the server moves a few hundred bytes per step; through this program, every
        // byte twice. Where the system does not count, the copy is taken as one through the
        // program, which the caller then proves by reading it back.
        const std::optional<std::uint64_t> trafficAfter = m_share.trafficBytes();
        const bool onServer = trafficBefore && trafficAfter &&
                              *trafficAfter - *trafficBefore < std::max<std::uint64_t>(done / 2, 1);
        return {done, onServer ? CopyMethod::OnServer : CopyMethod::ThroughProgram, std::nullopt};
    }

    void remove(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        const SmbConnection::BusyPatience patience(m_share, kBusyPatienceToReplace);
        const int error = m_share.perform(path, target, [&](SMBCCTX* c) {
            if (m_share.lib([&] { return m_share.smbc().getFunctionUnlink(c)(c, url.c_str()); }) ==
                0) {
                return 0;
            }
            // After a dropped connection a file that is gone is the removal whose reply was lost.
            const int failure = lastError();
            return failure == ENOENT && m_share.replyMayBeLost() ? 0 : failure;
        });
        if (error != 0) {
            m_share.fail("Cannot delete file", path, error);
        }
    }

    void createDirectories(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        struct stat st {};
        int error = statAt(path, target, target.names.size(), st);
        if (error == 0) {
            if (S_ISDIR(st.st_mode)) {
                return;
            }
            m_share.fail("Cannot create directory", path, ENOTDIR);
        }
        if (target.names.empty()) {
            m_share.fail("Cannot create directory", path, error);  // the share itself is not there
        }
        for (std::size_t level = 1; level <= target.names.size(); ++level) {
            error = makeDirectory(path, target, level);
            if (error == EEXIST) {
                error = statAt(path, target, level, st);
                if (error == 0 && !S_ISDIR(st.st_mode)) {
                    error = ENOTDIR;
                }
            }
            if (error != 0) {
                m_share.fail("Cannot create directory", path, error);
            }
        }
    }

    bool createDirectory(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        if (target.names.empty()) {
            struct stat st {};
            const int error = statAt(path, target, 0, st);
            if (error == 0) {
                return false;
            }
            m_share.fail("Cannot create directory", path, error);
        }
        const int error = makeDirectory(path, target, target.names.size());
        if (error == EEXIST) {
            return false;
        }
        if (error != 0) {
            m_share.fail("Cannot create directory", path, error);
        }
        return true;
    }

    // The server orders its own disk; what can be checked is that the folder is there.
    void syncDirectory(const std::string& dir) override {
        const SharePath target = parseSharePath(dir);
        struct stat st {};
        int error = statAt(dir, target, target.names.size(), st);
        if (error == 0 && !S_ISDIR(st.st_mode)) {
            error = ENOTDIR;
        }
        if (error != 0) {
            m_share.fail("Cannot flush directory", dir, error);
        }
    }

    bool ignoresCase(const std::string&) const override { return true; }
    FileClaims& claims() override { return m_claims; }

protected:
    FileBytes readWholeFile(const std::string& path) override {
        return readFileReporting(path, {});
    }

    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        CallSize window(kWholeReadWindow);
        FileBytes bytes;
        bool sized = false;
        std::size_t done = 0;
        bool opening = true;  // the step that failed: opening, or reading after it
        // Runs again after a dropped connection: it opens anew and goes on where it was.
        const int error = m_share.perform(path, target, [&](SMBCCTX* c) {
            opening = true;
            SmbConnection::OpenFile file(m_share, c,
                                         m_share.open(c, url, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE));
            if (!file.isOpen()) {
                return lastError();
            }
            if (!sized) {
                struct stat st {};
                if (m_share.fstat(c, file, st) != 0) {
                    return lastError();
                }
                if (S_ISDIR(st.st_mode)) {
                    return EISDIR;
                }
                bytes = allocateFileBytesFor(
                    path, st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0);
                sized = true;
            }
            opening = false;
            if (done > 0 && m_share.seek(c, file, done) < 0) {
                return file.failed(lastError());
            }
            while (done < bytes.size) {
                const ssize_t got = window.time([&](std::size_t size) {
                    return m_share.read(c, file, bytes.data.get() + done,
                                        std::min(size, bytes.size - done));
                });
                if (got < 0) {
                    return file.failed(lastError());
                }
                if (got == 0) {
                    break;  // the file shrank since it was opened
                }
                done += static_cast<std::size_t>(got);
                if (progress && done < bytes.size) {
                    progress(done, bytes.size);
                }
            }
            file.close();  // everything is read: what closing says changes nothing
            return 0;
        });
        if (error != 0) {
            m_share.fail(opening ? "Cannot open file" : "Cannot read file", path, error);
        }
        bytes.size = done;
        if (progress) {
            progress(done, done);
        }
        return bytes;
    }

    std::unique_ptr<FileWriter> createFile(const std::string& path, bool) override {
        return std::make_unique<ShareWriter>(m_share, path);
    }

private:
    static FileStatus statusOf(const struct stat& st) {
        FileStatus result;
        result.exists = true;
        result.isDirectory = S_ISDIR(st.st_mode);
        result.size =
            !result.isDirectory && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        result.modifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        return result;
    }

    int statAt(const std::string& path, const SharePath& target, std::size_t levels,
               struct stat& st) {
        const std::string url = urlOf(target, levels);
        return m_share.perform(path, target, [&](SMBCCTX* c) {
            return m_share.stat(c, url, st) == 0 ? 0 : lastError();
        });
    }

    int makeDirectory(const std::string& path, const SharePath& target, std::size_t levels) {
        const std::string url = urlOf(target, levels);
        return m_share.perform(path, target, [&](SMBCCTX* c) {
            return m_share.lib([&] {
                return m_share.smbc().getFunctionMkdir(c)(c, url.c_str(), 0755);
            }) == 0
                       ? 0
                       : lastError();
        });
    }

    SmbConnection m_share;
    SmbClaims m_claims;
};

}  // namespace

}  // namespace kavrin::smb

namespace kavrin {

std::unique_ptr<FileSystem> makeShareFileSystem(const char* library) {
    auto smbc = std::make_shared<const smb::SmbClient>(smb::loadSmbClient(library));
    return std::make_unique<smb::SmbShareFileSystem>(
        [smbc = std::move(smbc)]() -> const smb::SmbClient& { return *smbc; });
}

FileSystem& shareFileSystem() {
    static smb::SmbShareFileSystem fs(&smb::processSmbClient);
    return fs;
}

}  // namespace kavrin
