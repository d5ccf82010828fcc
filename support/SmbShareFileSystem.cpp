#include "support/SmbShareFileSystem.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "support/AnsiText.h"
#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/ShareAccess.h"

namespace kavrin {

namespace {

// Whole files move in requests of this size: the fastest size over a network measured here, and
// small enough that the window is pumped between requests several times a second.
constexpr std::size_t kBlockSize = 1024 * 1024;
// How long a request may wait for the server's answer. The library gives a connection attempt
// 5 s of its own.
constexpr int kReplyTimeoutMs = 5000;

// A share path taken apart: "\\server\share\a\b".
struct SharePath {
    std::string server;  // "name" or "name:port", as written
    std::string share;
    std::vector<std::string> names;
};

SharePath parseSharePath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path) {
        if (c == '\\' || c == '/') {
            if (!part.empty()) {
                parts.push_back(std::move(part));
                part.clear();
            }
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(std::move(part));
    }
    SharePath result;
    if (!parts.empty()) {
        result.server = parts[0];
    }
    if (parts.size() > 1) {
        result.share = parts[1];
        result.names.assign(parts.begin() + 2, parts.end());
    }
    return result;
}

void appendEncoded(std::string& url, const std::string& text, bool isServer) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~' || byte == '$' || (isServer && byte == ':');
        if (plain) {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 0x0F];
        }
    }
}

// The URL of the first `levels` names of `path` (the share itself for 0).
std::string urlOf(const SharePath& path, std::size_t levels) {
    std::string url = "smb://";
    appendEncoded(url, path.server, true);
    url += '/';
    appendEncoded(url, path.share, false);
    url += '/';
    for (std::size_t i = 0; i < levels && i < path.names.size(); ++i) {
        if (i > 0) {
            url += '/';
        }
        appendEncoded(url, path.names[i], false);
    }
    return url;
}

std::string urlOf(const SharePath& path) {
    return urlOf(path, path.names.size());
}

// The library's errno, never 0 for a call that failed.
int lastError() {
    return errno != 0 ? errno : EIO;
}

bool isRefusal(int error) {
    return error == EACCES || error == EPERM;
}

// What a connection the server (or the network) dropped reports; the library connects anew on the
// next call.
bool isDropped(int error) {
    return error == ECONNABORTED || error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}

// Whether the server answered the request itself (with success or about the file), so that the
// credentials it was sent with were accepted.
bool serverAnswered(int error) {
    return error == 0 || error == ENOENT || error == EEXIST || error == ENOTDIR ||
           error == EISDIR || error == ENOTEMPTY || error == EBUSY;
}

// What a server that cannot be reached reports, after up to the library's 5 s connect limit or
// the reply timeout.
bool isUnreachable(int error) {
    return error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH ||
           error == EHOSTDOWN;
}

// How often, and after how long a first pause (doubled each time), a call refused for a sharing
// violation is made again.
constexpr int kBusyAttempts = 6;
constexpr auto kBusyPause = std::chrono::milliseconds(10);

// A server that took this long to fail is not asked again for a while: an open asks several
// questions in a row, and each would wait as long again.
constexpr auto kSlowFailure = std::chrono::seconds(1);
constexpr auto kUnreachableFor = std::chrono::seconds(2);

void copyInto(char* buffer, int size, const std::string& text) {
    if (buffer != nullptr && size > 0) {
        std::snprintf(buffer, static_cast<std::size_t>(size), "%s", text.c_str());
    }
}

// The server part of a share path as the key of what it accepted: names compare without regard
// to case.
std::string serverKey(const std::string& server) {
    std::string key = server;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return key;
}

// Every function of Samba's client library this back end calls: the library is loaded on the first
// share path, so that a program that opens only local folders never maps it and the forty
// libraries it needs (13 MB).
#define KAVRIN_SMBC_FUNCTIONS(X)      \
    X(free_context)                   \
    X(getFunctionClose)               \
    X(getFunctionClosedir)            \
    X(getFunctionFstat)               \
    X(getFunctionLseek)               \
    X(getFunctionMkdir)               \
    X(getFunctionOpen)                \
    X(getFunctionOpendir)             \
    X(getFunctionPurgeCachedServers)  \
    X(getFunctionRead)                \
    X(getFunctionReaddir)             \
    X(getFunctionRemoveUnusedServer)  \
    X(getFunctionRename)              \
    X(getFunctionStat)                \
    X(getFunctionUnlink)              \
    X(getFunctionWrite)               \
    X(getOptionUserData)              \
    X(init_context)                   \
    X(new_context)                    \
    X(setDebug)                       \
    X(setFunctionAddCachedServer)     \
    X(setFunctionAuthDataWithContext) \
    X(setFunctionCheckServer)         \
    X(setFunctionGetCachedServer)     \
    X(setFunctionPurgeCachedServers)  \
    X(setFunctionRemoveCachedServer)  \
    X(setLogCallback)                 \
    X(setOptionDebugToStderr)         \
    X(setOptionFallbackAfterKerberos) \
    X(setOptionNoAutoAnonymousLogin)  \
    X(setOptionOpenShareMode)         \
    X(setOptionUseKerberos)           \
    X(setOptionUserData)              \
    X(setTimeout)

// The library's functions, typed as its header declares them; `failure` says why they are not
// there (and then none is).
struct SmbClient {
#define KAVRIN_SMBC_POINTER(name) decltype(&::smbc_##name) name = nullptr;
    KAVRIN_SMBC_FUNCTIONS(KAVRIN_SMBC_POINTER)
#undef KAVRIN_SMBC_POINTER
    std::string failure;
};

// Loads `library` and looks up every function; it stays loaded while the process runs.
SmbClient loadSmbClient(const char* library) {
    SmbClient smbc;
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    const auto why = [&] {
        const char* text = ::dlerror();
        return formatText("Samba's client library (%s) could not be loaded: %s", library,
                          text != nullptr ? text : "unknown reason");
    };
    if (handle == nullptr) {
        smbc.failure = why();
        return smbc;
    }
#define KAVRIN_SMBC_RESOLVE(name)                                                      \
    smbc.name = reinterpret_cast<decltype(smbc.name)>(::dlsym(handle, "smbc_" #name)); \
    if (smbc.name == nullptr) {                                                        \
        SmbClient none;                                                                \
        none.failure = why();                                                          \
        return none;                                                                   \
    }
    KAVRIN_SMBC_FUNCTIONS(KAVRIN_SMBC_RESOLVE)
#undef KAVRIN_SMBC_RESOLVE
    return smbc;
}

// The process's library, loaded by the first caller (others wait for it). The table is never
// destroyed: the back end, made before it, frees its context through it at exit.
const SmbClient& processSmbClient() {
    static const SmbClient* const smbc = new SmbClient(loadSmbClient(kSmbClientLibrary));
    return *smbc;
}

// What perform() returns when the library could not be loaded; never an errno.
constexpr int kNoLibrary = -1;

// Server shares through Samba's client library: one client context, created on the first share
// path and used only on the thread that drives the engine. The library is synchronous; every call
// blocks until the server answers or the reply timeout passes.
class SmbShareFileSystem final : public FileSystem {
public:
    // Calls the library through what `library` gives on the first share path.
    explicit SmbShareFileSystem(std::function<const SmbClient&()> library)
        : m_library(std::move(library)) {}
    SmbShareFileSystem(const SmbShareFileSystem&) = delete;
    SmbShareFileSystem& operator=(const SmbShareFileSystem&) = delete;

    ~SmbShareFileSystem() override {
        if (m_context != nullptr) {
            // The callback is the library's for good: it must not reach this object once gone.
            smbc().setLogCallback(m_context, nullptr, [](void*, int, const char*) {});
            smbc().free_context(m_context, 1);
        }
    }

    FileStatus status(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        struct stat st {};
        if (statAt(path, target, target.names.size(), st) != 0) {
            return {};
        }
        FileStatus result;
        result.exists = true;
        result.isDirectory = S_ISDIR(st.st_mode);
        result.size =
            !result.isDirectory && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        result.modifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        return result;
    }

    std::vector<std::string> listDirectory(const std::string& dir) override {
        const SharePath target = parseSharePath(dir);
        std::vector<std::string> names;
        const int error =
            perform(dir, target, [&](SMBCCTX* c) { return entriesOf(c, urlOf(target), names); });
        if (error != 0) {
            fail("Cannot read directory", dir, error);
        }
        return names;
    }

    FileBytes readFile(const std::string& path) override { return readFileReporting(path, {}); }

    // One request's worth at a time, so that a check of a file on the share holds one block, not
    // the file.
    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlockSize]);
        std::uint64_t done = 0;
        bool opening = true;  // the step that failed: opening, or reading after it
        // What the consumer threw leaves the library's call first, and is thrown again here.
        std::exception_ptr consumerFailure;
        // Runs again after a dropped connection: it opens anew and goes on where it was.
        const int error = perform(path, target, [&](SMBCCTX* c) {
            opening = true;
            OpenFile file(*this, c, open(c, url, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE));
            if (!file.isOpen()) {
                return lastError();
            }
            struct stat st {};
            if (smbc().getFunctionFstat(c)(c, file.handle(), &st) != 0) {
                return lastError();
            }
            if (S_ISDIR(st.st_mode)) {
                return EISDIR;
            }
            opening = false;
            if (done > 0 && smbc().getFunctionLseek(c)(c, file.handle(), static_cast<off_t>(done),
                                                       SEEK_SET) < 0) {
                return file.failed(lastError());
            }
            for (;;) {
                const ssize_t got =
                    smbc().getFunctionRead(c)(c, file.handle(), block.get(), kBlockSize);
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
            fail(opening ? "Cannot open file" : "Cannot read file", path, error);
        }
    }

    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable) override {
        writeFileReporting(path, parts, durable, {});
    }

    void rename(const std::string& from, const std::string& to) override {
        const SharePath source = parseSharePath(from);
        const SharePath target = parseSharePath(to);
        const std::string sourceUrl = urlOf(source);
        const int error = perform(to, target, [&](SMBCCTX* c) {
            std::string targetUrl = urlOf(target);
            struct stat st {};
            if (smbc().getFunctionStat(c)(c, targetUrl.c_str(), &st) == 0) {
                if (S_ISDIR(st.st_mode)) {
                    return EISDIR;
                }
                // The library renames only onto free names (asked to replace, it removes the
                // target and renames, just as this does); the source must be there before the
                // target goes.
                if (smbc().getFunctionStat(c)(c, sourceUrl.c_str(), &st) != 0) {
                    return lastError();
                }
                // The replacement keeps the name the folder spells the file with.
                SharePath spelled = target;
                spelled.names.back() = spellingInFolder(c, target);
                targetUrl = urlOf(spelled);
                if (smbc().getFunctionUnlink(c)(c, targetUrl.c_str()) != 0) {
                    return lastError();
                }
            }
            return smbc().getFunctionRename(c)(c, sourceUrl.c_str(), c, targetUrl.c_str()) == 0
                       ? 0
                       : lastError();
        });
        if (error != 0) {
            throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(), reason(error).c_str()));
        }
    }

    void remove(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        const int error = perform(path, target, [&](SMBCCTX* c) {
            return smbc().getFunctionUnlink(c)(c, url.c_str()) == 0 ? 0 : lastError();
        });
        if (error != 0) {
            fail("Cannot delete file", path, error);
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
            fail("Cannot create directory", path, ENOTDIR);
        }
        if (target.names.empty()) {
            fail("Cannot create directory", path, error);  // the share itself is not there
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
                fail("Cannot create directory", path, error);
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
            fail("Cannot create directory", path, error);
        }
        const int error = makeDirectory(path, target, target.names.size());
        if (error == EEXIST) {
            return false;
        }
        if (error != 0) {
            fail("Cannot create directory", path, error);
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
            fail("Cannot flush directory", dir, error);
        }
    }

    bool ignoresCase(const std::string&) const override { return true; }

    // Claims: the library has no lock another client could test, so a claim on a share is the
    // file alone, created exclusively; its content and the caller's rules say whether its holder
    // has ended.
    std::unique_ptr<HeldFile> createExclusive(const std::string& path,
                                              std::span<const std::uint8_t> content) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        bool created = false;
        bool writing = false;
        // Created empty with read access and every sharing allowed, so that another client
        // reading the name the moment it appears cannot make the server refuse the creation
        // after the file is made; then filled. Runs again after a dropped connection or a
        // sharing violation: the file it created is then its own to fill.
        const int error = perform(path, target, [&](SMBCCTX* c) {
            if (!created) {
                OpenFile made(*this, c,
                              open(c, url, O_RDONLY | O_CREAT | O_EXCL, SMBC_SHAREMODE_DENY_NONE));
                if (!made.isOpen()) {
                    return lastError();
                }
                created = true;
            }
            writing = true;
            OpenFile file(*this, c, open(c, url, O_WRONLY | O_TRUNC, SMBC_SHAREMODE_DENY_WRITE));
            if (!file.isOpen()) {
                return lastError();
            }
            if (!content.empty() &&
                smbc().getFunctionWrite(c)(c, file.handle(), content.data(), content.size()) !=
                    static_cast<ssize_t>(content.size())) {
                return file.failed(lastError());
            }
            return file.close();
        });
        if (error == EEXIST && !created) {
            return nullptr;
        }
        if (error != 0) {
            if (writing) {
                try {
                    remove(path);
                } catch (const KavrinError&) {
                    // the claim stays unreadable; its holder's rules deal with it
                }
            }
            fail(writing ? "Cannot write file" : "Cannot create file", path, error);
        }
        return std::make_unique<ShareHeldFile>(
            *this, path, std::vector<std::uint8_t>(content.begin(), content.end()));
    }

    HoldState holdState(const std::string&) override { return HoldState::Unknown; }

    std::unique_ptr<HeldFile> takeOver(const std::string& path,
                                       std::span<const std::uint8_t> expected,
                                       std::span<const std::uint8_t> content) override {
        if (!holds(path, expected)) {
            return nullptr;
        }
        remove(path);
        return createExclusive(path, content);
    }

protected:
    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        FileBytes bytes;
        bool sized = false;
        std::size_t done = 0;
        bool opening = true;  // the step that failed: opening, or reading after it
        // Runs again after a dropped connection: it opens anew and goes on where it was.
        const int error = perform(path, target, [&](SMBCCTX* c) {
            opening = true;
            OpenFile file(*this, c, open(c, url, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE));
            if (!file.isOpen()) {
                return lastError();
            }
            if (!sized) {
                struct stat st {};
                if (smbc().getFunctionFstat(c)(c, file.handle(), &st) != 0) {
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
            if (done > 0 && smbc().getFunctionLseek(c)(c, file.handle(), static_cast<off_t>(done),
                                                       SEEK_SET) < 0) {
                return file.failed(lastError());
            }
            while (done < bytes.size) {
                const ssize_t got =
                    smbc().getFunctionRead(c)(c, file.handle(), bytes.data.get() + done,
                                              std::min(kBlockSize, bytes.size - done));
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
            fail(opening ? "Cannot open file" : "Cannot read file", path, error);
        }
        bytes.size = done;
        if (progress) {
            progress(done, done);
        }
        return bytes;
    }

    void writeFileReporting(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
                            const FileProgress& progress) override {
        writePartsInBlocks(path, parts, durable, progress);
    }

public:
    // `durable` cannot be honoured further: the library has no call that asks the server to
    // flush a file. When this returns, the server has every byte, and a crash of this program
    // loses none of them; the server writes them to its disk as its own configuration says.
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool, const FileProgress& progress) override {
        ShareWriter writer(*this, path, size, progress);
        produce(writer);
        writer.finish();
        if (writer.written() != size) {
            throwWrongFileSize(path, writer.written(), size);
        }
        if (progress) {
            progress(size, size);
        }
    }

private:
    // A claim this program created: it holds no lock, only the knowledge of what it wrote.
    class ShareHeldFile final : public HeldFile {
    public:
        ShareHeldFile(SmbShareFileSystem& fs, std::string path, std::vector<std::uint8_t> content)
            : m_fs(fs), m_path(std::move(path)), m_content(std::move(content)) {}

        // Only while it still holds what was written: another holder's claim under the same name
        // is left alone.
        void remove() override {
            if (m_fs.holds(m_path, m_content)) {
                m_fs.remove(m_path);
            }
        }

    private:
        SmbShareFileSystem& m_fs;
        std::string m_path;
        std::vector<std::uint8_t> m_content;
    };

    // Whether the file at `path` is there with exactly `content`.
    bool holds(const std::string& path, std::span<const std::uint8_t> content) {
        const FileStatus found = status(path);
        if (!found.exists || found.isDirectory || found.size != content.size()) {
            return false;
        }
        try {
            const FileBytes bytes = readFile(path);
            return bytes.size == content.size() &&
                   std::equal(content.begin(), content.end(), bytes.data.get());
        } catch (const KavrinError&) {
            return false;  // gone meanwhile
        }
    }

    // A file the library opened, closed on every path. After the server failed to answer in time
    // it is closed only once the connection has been cut (abandonSilentServer), or closing would
    // wait as long again.
    class OpenFile {
    public:
        OpenFile(SmbShareFileSystem& owner, SMBCCTX* context, SMBCFILE* file)
            : m_owner(owner), m_context(context), m_file(file) {}
        OpenFile(const OpenFile&) = delete;
        OpenFile& operator=(const OpenFile&) = delete;
        ~OpenFile() { close(); }

        bool isOpen() const { return m_file != nullptr; }
        SMBCFILE* handle() const { return m_file; }
        // Passes `error` on; a file on a server that went silent is left to the clean-up.
        int failed(int error) {
            if (error == ETIMEDOUT && m_file != nullptr) {
                m_owner.m_filesOfSilentServer.push_back(m_file);
                m_file = nullptr;
            }
            return error;
        }
        // 0 or the errno of the close.
        int close() {
            if (m_file == nullptr) {
                return 0;
            }
            SMBCFILE* file = m_file;
            m_file = nullptr;
            return m_owner.smbc().getFunctionClose(m_context)(m_context, file) == 0 ? 0
                                                                                    : lastError();
        }

    private:
        SmbShareFileSystem& m_owner;
        SMBCCTX* m_context;
        SMBCFILE* m_file;
    };

    using Call = std::function<int(SMBCCTX* context)>;

    // A file on a share written block by block as the blocks come, kept open between them. After
    // a dropped connection it opens the file it created again and goes on where the server's last
    // acknowledgement left it: the block under way is still at hand.
    class ShareWriter final : public FileSink {
    public:
        ShareWriter(SmbShareFileSystem& fs, const std::string& path, std::uint64_t size,
                    const FileProgress& progress)
            : m_fs(fs),
              m_path(path),
              m_target(parseSharePath(path)),
              m_url(urlOf(m_target)),
              m_size(size),
              m_progress(progress) {}

        void write(std::span<const std::uint8_t> bytes) override {
            std::size_t offset = 0;  // of `bytes`, acknowledged by the server
            perform([&](SMBCCTX* c) {
                while (offset < bytes.size()) {
                    const ssize_t put = m_fs.smbc().getFunctionWrite(c)(
                        c, m_file->handle(), bytes.data() + offset,
                        std::min(kBlockSize, bytes.size() - offset));
                    if (put <= 0) {
                        return put < 0 ? lastError() : EIO;
                    }
                    offset += static_cast<std::size_t>(put);
                    m_written += static_cast<std::uint64_t>(put);
                    if (m_progress && m_written < m_size) {
                        m_progress(m_written, m_size);
                    }
                }
                return 0;
            });
        }

        // Creates the file when nothing was written, and closes it.
        void finish() {
            perform([&](SMBCCTX*) { return m_file->close(); });
            m_file.reset();
        }

        std::uint64_t written() const { return m_written; }

    private:
        // Runs `step` on the open file, opening it first (created the first time); a step that
        // fails leaves the file to be opened anew by the next attempt.
        void perform(const Call& step) {
            const int error = m_fs.perform(m_path, m_target, [&](SMBCCTX* c) {
                m_creating = !m_created;
                if (!m_file) {
                    m_file.emplace(
                        m_fs, c,
                        m_fs.open(c, m_url, m_created ? O_WRONLY : (O_WRONLY | O_CREAT | O_TRUNC),
                                  SMBC_SHAREMODE_DENY_ALL));
                    if (!m_file->isOpen()) {
                        m_file.reset();
                        return lastError();
                    }
                    m_created = true;
                    if (m_written > 0 &&
                        m_fs.smbc().getFunctionLseek(c)(
                            c, m_file->handle(), static_cast<off_t>(m_written), SEEK_SET) < 0) {
                        const int failure = m_file->failed(lastError());
                        m_file.reset();
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
                m_fs.fail(m_creating ? "Cannot create file" : "Cannot write file", m_path, error);
            }
        }

        SmbShareFileSystem& m_fs;
        const std::string& m_path;
        SharePath m_target;
        std::string m_url;
        std::uint64_t m_size;
        const FileProgress& m_progress;
        std::optional<OpenFile> m_file;
        std::uint64_t m_written = 0;
        bool m_created = false;
        bool m_creating = true;  // the step that failed: creating, or writing after it
    };

    // The library's functions; loaded on the first share path.
    const SmbClient& smbc() const { return m_library(); }

    // Why a call failed: the system's text for `error`, or why the library is not there.
    std::string reason(int error) const {
        return error == kNoLibrary ? smbc().failure : systemErrorText(error);
    }

    [[noreturn]] void fail(const char* what, const std::string& path, int error) const {
        throw KavrinError(formatText("%s \"%s\". %s", what, path.c_str(), reason(error).c_str()));
    }

    // The context, created on first use; null (m_contextError set) when the library refused.
    SMBCCTX* context() {
        if (m_context != nullptr || m_contextError != 0) {
            return m_context;
        }
        // Creating the first context reads the user's client configuration, and what that asks
        // the library to print goes to standard output before anything can be set: standard
        // output is a command's data, so it is standard error for that moment.
        std::cout.flush();
        std::fflush(stdout);
        const int savedOutput = ::dup(STDOUT_FILENO);
        if (savedOutput >= 0) {
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
        }
        errno = 0;
        SMBCCTX* context = smbc().new_context();
        int error = lastError();
        if (context != nullptr) {
            m_debugLevel = shareSettings().debugLevel;
            smbc().setLogCallback(context, this, &logLibraryMessage);
            smbc().setOptionDebugToStderr(context, 1);
            smbc().setDebug(context, m_debugLevel);
            smbc().setOptionUserData(context, this);
            smbc().setFunctionCheckServer(context, &takeConnectionAsItIs);
            smbc().setFunctionAddCachedServer(context, &addCachedServer);
            smbc().setFunctionGetCachedServer(context, &cachedServer);
            smbc().setFunctionRemoveCachedServer(context, &removeCachedServer);
            smbc().setFunctionPurgeCachedServers(context, &purgeCachedServers);
            smbc().setFunctionAuthDataWithContext(context, &answerCredentials);
            // Without this a refused password on a share that admits guests silently becomes a
            // guest session.
            smbc().setOptionNoAutoAnonymousLogin(context, 1);
            smbc().setOptionFallbackAfterKerberos(context, 1);
            smbc().setTimeout(context, kReplyTimeoutMs);
            if (smbc().init_context(context) == nullptr) {
                error = lastError();
                smbc().free_context(context, 1);
                context = nullptr;
            }
        }
        std::fflush(stdout);
        if (savedOutput >= 0) {
            ::dup2(savedOutput, STDOUT_FILENO);
            ::close(savedOutput);
        }
        m_context = context;
        m_contextError = context != nullptr ? 0 : error;
        m_generation = shareSettingsGeneration();
        return m_context;
    }

    // The library's diagnostics, one message per call and without its line end: to standard
    // error when they were asked for, else nowhere. It may speak while this object is destroyed,
    // after the settings are gone: the level is kept here.
    static void logLibraryMessage(void* self, int, const char* message) {
        if (static_cast<const SmbShareFileSystem*>(self)->m_debugLevel > 0 && message != nullptr) {
            std::fprintf(stderr, "%s\n", message);
        }
    }

    // New settings: new credentials, so the connections made with the old ones go.
    void noticeNewSettings(SMBCCTX* context) {
        if (m_generation == shareSettingsGeneration()) {
            return;
        }
        m_generation = shareSettingsGeneration();
        m_accepted.clear();
        smbc().getFunctionPurgeCachedServers(context)(context);
        m_debugLevel = shareSettings().debugLevel;
        smbc().setDebug(context, m_debugLevel);
    }

    // The library asks before every operation (the connection may be new); it gets what this
    // program holds for the server at that moment and is never made to wait for a person.
    static void answerCredentials(SMBCCTX* context, const char*, const char*, char* workgroup,
                                  int workgroupSize, char* user, int userSize, char* password,
                                  int passwordSize) {
        const auto* self =
            static_cast<const SmbShareFileSystem*>(processSmbClient().getOptionUserData(context));
        const ShareCredentials& credentials = self->m_current;
        if (!credentials.domain.empty()) {
            copyInto(workgroup, workgroupSize, credentials.domain);
        }
        // Kerberos without a user name takes the principal of the ticket cache.
        if (!credentials.user.empty() || !credentials.kerberos) {
            copyInto(user, userSize, credentials.user);
        }
        copyInto(password, passwordSize, credentials.password);
    }

    void use(SMBCCTX* context, const ShareCredentials& credentials) {
        m_current = credentials;
        smbc().setOptionUseKerberos(context, credentials.kerberos ? 1 : 0);
    }

    // Runs `call` on the share of `target` (`path` as the caller wrote it) with the credentials
    // held for its server: once more when the connection was dropped (a server restarted), and
    // again with the credentials the prompt gives for as long as the server refuses the ones
    // tried. Returns 0 or the errno of the last attempt.
    int perform(const std::string& path, const SharePath& target, const Call& call) {
        if (!smbc().failure.empty()) {
            return kNoLibrary;
        }
        SMBCCTX* context = this->context();
        if (context == nullptr) {
            return m_contextError;
        }
        noticeNewSettings(context);
        const std::string key = serverKey(target.server);
        m_serverKey = key;
        const auto started = std::chrono::steady_clock::now();
        if (const auto down = m_unreachable.find(key); down != m_unreachable.end()) {
            if (started < down->second.until) {
                return down->second.error;
            }
            m_unreachable.erase(down);
        }
        const auto accepted = m_accepted.find(key);
        ShareCredentials trying =
            accepted != m_accepted.end() ? accepted->second : shareSettings().credentials;
        use(context, trying);
        int error = callRetrying(context, call);
        bool prompted = false;
        while (isRefusal(error) && refusedAtShare(context, target)) {
            const ShareCredentialsPrompt prompt = shareSettings().prompt;
            if (!prompt) {
                break;
            }
            std::optional<ShareCredentials> next =
                prompt(shareOf(path), trying, systemErrorText(error));
            if (!next) {
                break;
            }
            trying = std::move(*next);
            use(context, trying);
            prompted = true;
            error = callRetrying(context, call);
        }
        if (prompted && serverAnswered(error)) {
            m_accepted[key] = trying;  // the server took them, whatever it said of the file
        }
        if (error == ETIMEDOUT) {
            abandonSilentServer(context);
        }
        const auto now = std::chrono::steady_clock::now();
        if (isUnreachable(error) && now - started >= kSlowFailure) {
            m_unreachable[key] = {error, now + kUnreachableFor};
        }
        return error;
    }

    int callRetrying(SMBCCTX* context, const Call& call) {
        errno = 0;
        int error = call(context);
        if (isDropped(error)) {
            // The dead connection goes first (at once: it is closed already), or the library
            // would take it again.
            smbc().getFunctionPurgeCachedServers(context)(context);
            errno = 0;
            error = call(context);
        }
        // A sharing violation lasts as long as another client has the file open in a way that
        // excludes this use (reading it while it is to be removed; a removal still under way):
        // milliseconds, as a rule.
        auto pause = kBusyPause;
        for (int attempt = 1; error == EBUSY && attempt < kBusyAttempts; ++attempt) {
            std::this_thread::sleep_for(pause);
            pause *= 2;
            errno = 0;
            error = call(context);
        }
        return error;
    }

    // A cached connection is taken as it is. The library's own check sends an echo before using
    // a connection idle for the reply timeout; a server that went silent would make it wait that
    // long, then as long again to disconnect, then to connect anew. A connection the server
    // dropped fails the call at once instead, and perform() connects anew.
    static int takeConnectionAsItIs(SMBCCTX*, SMBCSRV*) { return 0; }

    // The library's cache of connections is kept here: its own is keyed without the port (two
    // servers on one host would share a connection), and a connection to a server that went
    // silent must be dropped without the tree disconnect the library would wait for.
    static SmbShareFileSystem& self(SMBCCTX* context) {
        return *static_cast<SmbShareFileSystem*>(processSmbClient().getOptionUserData(context));
    }
    std::string cacheKey(const char* server, const char* share, const char* workgroup,
                         const char* user) const {
        std::string key = m_serverKey;
        for (const char* part : {server, share, workgroup, user}) {
            key += '\n';
            key += part != nullptr ? part : "";
        }
        return key;
    }
    static int addCachedServer(SMBCCTX* context, SMBCSRV* server, const char* name,
                               const char* share, const char* workgroup, const char* user) {
        SmbShareFileSystem& fs = self(context);
        fs.m_connections.push_back(
            {server, fs.cacheKey(name, share, workgroup, user), fs.unclaimedSockets()});
        return 0;
    }
    static SMBCSRV* cachedServer(SMBCCTX* context, const char* name, const char* share,
                                 const char* workgroup, const char* user) {
        SmbShareFileSystem& fs = self(context);
        const std::string key = fs.cacheKey(name, share, workgroup, user);
        for (const Connection& connection : fs.m_connections) {
            if (connection.key == key) {
                return connection.server;
            }
        }
        return nullptr;
    }
    static int removeCachedServer(SMBCCTX* context, SMBCSRV* server) {
        std::erase_if(self(context).m_connections, [server](const Connection& connection) {
            return connection.server == server;
        });
        return 0;
    }
    static int purgeCachedServers(SMBCCTX* context) {
        int kept = 0;
        for (const Connection& connection : std::vector(self(context).m_connections)) {
            // Closes the connection and takes it out of the cache through removeCachedServer.
            kept |= self(context).smbc().getFunctionRemoveUnusedServer(context)(context,
                                                                                connection.server);
        }
        return kept;
    }

    // The TCP sockets of this process that no cached connection claims yet: those of the
    // connection the library has just made.
    std::vector<int> unclaimedSockets() const {
        std::vector<int> sockets;
        const std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), &::closedir);
        if (!fds) {
            return sockets;
        }
        while (const dirent* entry = ::readdir(fds.get())) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end == entry->d_name || *end != '\0') {
                continue;
            }
            const bool claimed = std::any_of(
                m_connections.begin(), m_connections.end(), [fd](const Connection& connection) {
                    return std::find(connection.sockets.begin(), connection.sockets.end(), fd) !=
                           connection.sockets.end();
                });
            int type = 0;
            socklen_t typeSize = sizeof type;
            sockaddr_storage peer{};
            socklen_t peerSize = sizeof peer;
            if (!claimed &&
                ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &typeSize) == 0 &&
                type == SOCK_STREAM &&
                ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer),
                              &peerSize) == 0 &&
                (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)) {
                sockets.push_back(static_cast<int>(fd));
            }
        }
        return sockets;
    }

    // The server of the call under way stopped answering. Every request on its connections,
    // closing them included, would wait for it again: their sockets are cut first, so that the
    // files left open and the connections go at once, and the server, when it answers again,
    // finds them gone too instead of keeping the files open for a session nobody uses.
    void abandonSilentServer(SMBCCTX* context) {
        std::vector<SMBCSRV*> silent;
        for (const Connection& connection : m_connections) {
            if (connection.key.starts_with(m_serverKey + '\n')) {
                for (const int fd : connection.sockets) {
                    ::shutdown(fd, SHUT_RDWR);
                }
                silent.push_back(connection.server);
            }
        }
        for (SMBCFILE* file : std::exchange(m_filesOfSilentServer, {})) {
            smbc().getFunctionClose(context)(context, file);
        }
        for (SMBCSRV* server : silent) {
            // A failed close may have taken its connection away already.
            if (std::any_of(m_connections.begin(), m_connections.end(),
                            [server](const Connection& c) { return c.server == server; })) {
                smbc().getFunctionRemoveUnusedServer(context)(context, server);
            }
        }
    }

    // Whether the refusal is the share's (no session for these credentials), not one file's.
    bool refusedAtShare(SMBCCTX* context, const SharePath& target) {
        struct stat st {};
        errno = 0;
        return smbc().getFunctionStat(context)(context, urlOf(target, 0).c_str(), &st) != 0 &&
               isRefusal(lastError());
    }

    int statAt(const std::string& path, const SharePath& target, std::size_t levels,
               struct stat& st) {
        const std::string url = urlOf(target, levels);
        return perform(path, target, [&](SMBCCTX* c) {
            return smbc().getFunctionStat(c)(c, url.c_str(), &st) == 0 ? 0 : lastError();
        });
    }

    int makeDirectory(const std::string& path, const SharePath& target, std::size_t levels) {
        const std::string url = urlOf(target, levels);
        return perform(path, target, [&](SMBCCTX* c) {
            return smbc().getFunctionMkdir(c)(c, url.c_str(), 0755) == 0 ? 0 : lastError();
        });
    }

    SMBCFILE* open(SMBCCTX* context, const std::string& url, int flags, smbc_share_mode sharing) {
        smbc().setOptionOpenShareMode(context, sharing);
        return smbc().getFunctionOpen(context)(context, url.c_str(), flags, 0644);
    }

    // The entries of folder `url` into `names`; 0 or the errno of the failure.
    int entriesOf(SMBCCTX* context, const std::string& url, std::vector<std::string>& names) {
        names.clear();
        SMBCFILE* dir = smbc().getFunctionOpendir(context)(context, url.c_str());
        if (dir == nullptr) {
            return lastError();
        }
        while (const smbc_dirent* entry = smbc().getFunctionReaddir(context)(context, dir)) {
            const std::string name(entry->name);
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        smbc().getFunctionClosedir(context)(context, dir);
        return 0;
    }

    // The last name of `target` as its folder spells it; as given when the folder cannot tell.
    std::string spellingInFolder(SMBCCTX* context, const SharePath& target) {
        SharePath folder = target;
        folder.names.pop_back();
        std::vector<std::string> entries;
        (void)entriesOf(context, urlOf(folder), entries);
        for (const std::string& entry : entries) {
            if (asciiCompareText(entry, target.names.back()) == 0) {
                return entry;
            }
        }
        return target.names.back();
    }

    std::function<const SmbClient&()> m_library;
    SMBCCTX* m_context = nullptr;
    int m_contextError = 0;
    int m_debugLevel = 0;
    unsigned m_generation = 0;
    // Credentials a prompt gave and the server accepted, by server, while the program runs.
    std::map<std::string, ShareCredentials> m_accepted;
    // Servers that failed slowly a moment ago, with the failure each gives until then.
    struct Unreachable {
        int error;
        std::chrono::steady_clock::time_point until;
    };
    std::map<std::string, Unreachable> m_unreachable;
    // The library's open connections, and the server of the call under way.
    struct Connection {
        SMBCSRV* server;
        std::string key;
        std::vector<int> sockets;
    };
    std::vector<Connection> m_connections;
    std::string m_serverKey;
    // Files of the call under way left open when the server stopped answering.
    std::vector<SMBCFILE*> m_filesOfSilentServer;
    ShareCredentials m_current;  // what the library's callback answers with right now
};

}  // namespace

std::string smbUrl(const std::string& path) {
    return urlOf(parseSharePath(path));
}

std::unique_ptr<FileSystem> makeShareFileSystem(const char* library) {
    auto smbc = std::make_shared<const SmbClient>(loadSmbClient(library));
    return std::make_unique<SmbShareFileSystem>(
        [smbc = std::move(smbc)]() -> const SmbClient& { return *smbc; });
}

FileSystem& shareFileSystem() {
    static SmbShareFileSystem fs(&processSmbClient);
    return fs;
}

}  // namespace kavrin
