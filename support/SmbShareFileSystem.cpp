#include "support/SmbShareFileSystem.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/AnsiText.h"
#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/Process.h"
#include "support/ShareAccess.h"

namespace kavrin {

namespace {

// What a file replaced by a rename is called, after its own name and a unique text, until its
// last reader closes it.
constexpr const char* kReplacedSuffix = ".replaced";

// Whole files move in requests of this size: the fastest size over a network measured here, and
// small enough that the window is pumped between requests several times a second.
constexpr std::size_t kBlockSize = 1024 * 1024;
// How long a request may wait for the answer of a server that took the connection. A server that
// is there may be slow to answer: a name or directory service it asks first (a server whose own
// name does not resolve waits for the name server on every new connection), a busy disk. Windows'
// own client waits 60 s for a server's answer before it gives the connection up, and a share
// reached from there is waited for as long; so here, with the window handled and the wait shown
// meanwhile (ShareSettings::waiting). Nobody there fails far sooner: a refused connection at
// once, a request to connect that gets no answer at all within the library's own limit for
// connecting (5 s), which this does not change.
constexpr int kReplyTimeoutMs = 60000;
// How often the program's thread is given back while the library waits, and after how long a
// wait is shown as one.
constexpr auto kWaitTick = std::chrono::milliseconds(100);
constexpr auto kQuietWait = std::chrono::seconds(1);

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

// How long a call refused for a sharing violation is made again, after a first pause doubled
// each time up to the longest: a read refused while the file is removed, a short moment. A rename
// or removal of a file another client reads waits for that reading to end: seconds, over a slow
// link.
constexpr auto kBusyPause = std::chrono::milliseconds(10);
constexpr auto kLongestBusyPause = std::chrono::milliseconds(250);
constexpr auto kBusyPatience = std::chrono::milliseconds(300);
constexpr auto kBusyPatienceToReplace = std::chrono::milliseconds(15000);

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

// The ports a connection to `server` ("name" or "name:port") goes to: the library tries SMB's
// own port, then NetBIOS's, when none is given.
std::set<int> portsOf(const std::string& server) {
    const std::size_t colon = server.rfind(':');
    if (colon != std::string::npos) {
        char* end = nullptr;
        const long port = std::strtol(server.c_str() + colon + 1, &end, 10);
        if (end != server.c_str() + colon + 1 && *end == '\0' && port > 0 && port < 65536) {
            return {static_cast<int>(port)};
        }
    }
    return {445, 139};
}

// The peer port of TCP socket `fd`, and whether it is still connecting; nothing when `fd` is no
// TCP socket or neither connected nor connecting.
struct TcpSocket {
    int peerPort = 0;  // 0 while connecting
};
std::optional<TcpSocket> tcpSocket(int fd) {
    int type = 0;
    socklen_t typeSize = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0 || type != SOCK_STREAM) {
        return std::nullopt;
    }
    sockaddr_storage peer{};
    socklen_t peerSize = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) {
        if (peer.ss_family == AF_INET) {
            return TcpSocket{ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port)};
        }
        if (peer.ss_family == AF_INET6) {
            return TcpSocket{ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port)};
        }
        return std::nullopt;
    }
    tcp_info info{};
    socklen_t infoSize = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoSize) == 0 &&
        info.tcpi_state == TCP_SYN_SENT) {
        return TcpSocket{0};
    }
    return std::nullopt;
}

// The thread every call of the library runs on, one call at a time, while the thread that asked
// waits for it: a call blocks until the server answers, and the program's thread must go on
// handling its window meanwhile. The library itself sees one thread only, as it requires when its
// thread functions are not set up.
class LibraryThread {
public:
    using Tick = std::function<void(std::chrono::milliseconds waited)>;

    LibraryThread() = default;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;
    ~LibraryThread() { stop(); }

    // Whether a call is under way: its caller is waiting for it.
    bool busy() const { return m_busy; }

    // Runs `task` on the library's thread and returns once it has ended. Meanwhile `tick` (when
    // given) is called on this thread every kWaitTick with the time waited so far; the first
    // exception it throws ends the ticks and is thrown here once the task has ended.
    void run(const std::function<void()>& task, const Tick& tick) {
        if (!m_thread.joinable()) {
            start();
        }
        m_busy = true;
        std::unique_lock lock(m_mutex);
        m_task = &task;
        m_done = false;
        m_wake.notify_one();
        const auto started = std::chrono::steady_clock::now();
        std::exception_ptr failure;
        while (!m_finished.wait_for(lock, kWaitTick, [this] { return m_done; })) {
            if (failure || !tick) {
                continue;
            }
            lock.unlock();
            try {
                tick(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started));
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
        }
        m_busy = false;
        if (!failure) {
            failure = std::exchange(m_taskFailure, nullptr);
        }
        lock.unlock();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    // Ends the thread once its task is done; the next run() starts another.
    void stop() {
        if (!m_thread.joinable()) {
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
        m_quit = false;
    }

private:
    void start() {
        // Signals are for the program's threads, as they were before the library had one.
        sigset_t all;
        sigset_t previous;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous);
        m_thread = std::thread([this] { loop(); });
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_task != nullptr || m_quit; });
            if (m_task == nullptr) {
                return;
            }
            const std::function<void()>* task = std::exchange(m_task, nullptr);
            lock.unlock();
            std::exception_ptr failure;
            try {
                (*task)();
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            m_taskFailure = failure;
            m_done = true;
            m_finished.notify_one();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    const std::function<void()>* m_task = nullptr;
    std::exception_ptr m_taskFailure;
    bool m_done = false;
    bool m_quit = false;
    bool m_busy = false;
    std::thread m_thread;
};

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
// path, for the thread that drives the engine. The library is synchronous: every call blocks until
// the server answers or the reply timeout passes, so it runs on a thread of its own
// (LibraryThread) while the caller's thread waits and is given back to the program every
// kWaitTick (ShareSettings::waiting).
class SmbShareFileSystem final : public FileSystem {
public:
    // Calls the library through what `library` gives on the first share path.
    explicit SmbShareFileSystem(std::function<const SmbClient&()> library)
        : m_library(std::move(library)) {}
    SmbShareFileSystem(const SmbShareFileSystem&) = delete;
    SmbShareFileSystem& operator=(const SmbShareFileSystem&) = delete;

    ~SmbShareFileSystem() override {
        if (m_context != nullptr) {
            // The program's settings may be gone by now (at exit): nobody is told of this wait.
            m_thread.run(
                [this] {
                    // The callback is the library's for good: it must not reach this object once
                    // gone.
                    smbc().setLogCallback(m_context, nullptr, [](void*, int, const char*) {});
                    smbc().free_context(m_context, 1);
                },
                {});
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
            if (fstat(c, file, st) != 0) {
                return lastError();
            }
            if (S_ISDIR(st.st_mode)) {
                return EISDIR;
            }
            opening = false;
            if (done > 0 && seek(c, file, done) < 0) {
                return file.failed(lastError());
            }
            for (;;) {
                const ssize_t got = read(c, file, block.get(), kBlockSize);
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
        // The source's size as the first attempt found it: after a dropped connection, a source
        // that is gone and a target of that size are the rename whose reply was lost.
        std::optional<off_t> sourceSize;
        const BusyPatience patience(*this, kBusyPatienceToReplace);
        const int error = perform(to, target, [&](SMBCCTX* c) {
            std::string targetUrl = urlOf(target);
            struct stat st {};
            // The library renames only onto free names (asked to replace, it removes the target
            // and renames, just as this does); the source must be there before the target goes.
            if (stat(c, sourceUrl, st) != 0) {
                const int failure = lastError();
                if (failure == ENOENT && sourceSize && m_replyMayBeLost &&
                    stat(c, targetUrl, st) == 0 && !S_ISDIR(st.st_mode) &&
                    st.st_size == *sourceSize) {
                    return 0;
                }
                return failure;
            }
            if (!sourceSize) {
                sourceSize = st.st_size;
            }
            if (stat(c, targetUrl, st) != 0) {
                return renameAt(c, sourceUrl, targetUrl);
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
            spelled.names.back() = spellingInFolder(c, target, &entries);
            targetUrl = urlOf(spelled);
            SharePath aside = spelled;
            aside.names.back() = spelled.names.back() + "." + uniqueText() + kReplacedSuffix;
            const std::string asideUrl = urlOf(aside);
            if (const int failed = renameAt(c, targetUrl, asideUrl); failed != 0) {
                return failed;
            }
            if (const int failed = renameAt(c, sourceUrl, targetUrl); failed != 0) {
                (void)renameAt(c, asideUrl, targetUrl);  // the target as it was, where it can
                return failed;
            }
            (void)unlinkAt(c, asideUrl);
            // Files put aside by a replacement that was cut short go with the next one.
            const std::string leftPrefix = spelled.names.back() + ".";
            for (const std::string& entry : entries) {
                if (entry.size() > leftPrefix.size() + std::strlen(kReplacedSuffix) &&
                    asciiCompareText(entry.substr(0, leftPrefix.size()), leftPrefix) == 0 &&
                    entry.ends_with(kReplacedSuffix)) {
                    SharePath left = spelled;
                    left.names.back() = entry;
                    (void)unlinkAt(c, urlOf(left));
                }
            }
            return 0;
        });
        if (error != 0) {
            throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(), reason(error).c_str()));
        }
    }

    void remove(const std::string& path) override {
        const SharePath target = parseSharePath(path);
        const std::string url = urlOf(target);
        const BusyPatience patience(*this, kBusyPatienceToReplace);
        const int error = perform(path, target, [&](SMBCCTX* c) {
            if (lib([&] { return smbc().getFunctionUnlink(c)(c, url.c_str()); }) == 0) {
                return 0;
            }
            // After a dropped connection a file that is gone is the removal whose reply was lost.
            const int failure = lastError();
            return failure == ENOENT && m_replyMayBeLost ? 0 : failure;
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
        Creation creation;
        const int error = perform(
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
                    remove(path);
                }
            } catch (const KavrinError&) {
                // the server is out of reach: the file stays as it is
            }
        }
        fail(creation.writing ? "Cannot write file" : "Cannot create file", path, error);
    }

    HoldState holdState(const std::string&) override { return HoldState::Unknown; }

    std::unique_ptr<HeldFile> takeOver(const std::string& path,
                                       std::span<const std::uint8_t> expected,
                                       std::span<const std::uint8_t> content) override {
        // The check, the removal and the creation are three requests: two processes of this
        // computer taking over the same file at once would both pass the check, and one would
        // remove the claim the other has just made. They take turns.
        const TakeOverLock turn(path);
        if (!holds(path, expected)) {
            return nullptr;
        }
        try {
            remove(path);
        } catch (const KavrinError&) {
            if (!status(path).exists) {
                return nullptr;  // gone meanwhile
            }
            throw;
        }
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
                if (fstat(c, file, st) != 0) {
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
            if (done > 0 && seek(c, file, done) < 0) {
                return file.failed(lastError());
            }
            while (done < bytes.size) {
                const ssize_t got =
                    read(c, file, bytes.data.get() + done, std::min(kBlockSize, bytes.size - done));
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
            return m_owner.lib([&] {
                return m_owner.smbc().getFunctionClose(m_context)(m_context, file);
            }) == 0
                       ? 0
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
                    const ssize_t put = m_fs.write(c, *m_file, bytes.data() + offset,
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
                    if (m_written > 0 && m_fs.seek(c, *m_file, m_written) < 0) {
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

    // Runs `work`, calls of the library and nothing of the program's, on the library's thread
    // and returns what it returns, errno as the library left it. Meanwhile this thread is given
    // to the program every kWaitTick (waitTick); what the program throws then to stop waiting
    // is thrown here, once the connection was cut and the call has ended.
    template <typename Work>
    std::invoke_result_t<Work&> lib(Work work) {
        if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
            runOnLibraryThread([&] { work(); });
        } else {
            std::invoke_result_t<Work&> result{};
            runOnLibraryThread([&] { result = work(); });
            return result;
        }
    }

    void runOnLibraryThread(const std::function<void()>& work) {
        int error = 0;
        const std::function<void()> task = [&] {
            errno = 0;
            work();
            error = errno;
        };
        try {
            m_thread.run(task, [this](std::chrono::milliseconds waited) { waitTick(waited); });
        } catch (...) {
            endWait();
            throw;
        }
        endWait();
        errno = error;
    }

    // The program's turn while the library waits: its events are handled, and after a while
    // the wait is shown. What it throws ends the wait: the connection to the server is cut, so
    // that the call ends at once.
    void waitTick(std::chrono::milliseconds waited) {
        // Not while an exception passes (a file closed on the way out), nor while the
        // connections of a wait the program ended are cleaned up: it has had its say.
        if (m_aborted || std::uncaught_exceptions() > 0) {
            return;
        }
        const ShareWaiting waiting = shareSettings().waiting;
        if (!waiting) {
            return;
        }
        m_waitTold = true;
        try {
            waiting(true, waited >= kQuietWait ? m_waitText : std::string());
        } catch (...) {
            m_aborted = true;
            cutConnections();
            throw;
        }
    }

    // A wait the program was told of is over.
    void endWait() {
        if (!std::exchange(m_waitTold, false)) {
            return;
        }
        if (const ShareWaiting waiting = shareSettings().waiting) {
            try {
                waiting(false, {});
            } catch (...) {
                // the answer has come, whatever the view makes of the end of the wait
            }
        }
    }

    // The library's calls this back end makes, each on the library's thread.
    // How long the calls made meanwhile wait out a sharing violation.
    class BusyPatience {
    public:
        BusyPatience(SmbShareFileSystem& fs, std::chrono::milliseconds patience)
            : m_fs(fs), m_before(fs.m_busyPatience) {
            m_fs.m_busyPatience = patience;
        }
        ~BusyPatience() { m_fs.m_busyPatience = m_before; }
        BusyPatience(const BusyPatience&) = delete;
        BusyPatience& operator=(const BusyPatience&) = delete;

    private:
        SmbShareFileSystem& m_fs;
        std::chrono::milliseconds m_before;
    };

    // 0 or the errno.
    int renameAt(SMBCCTX* c, const std::string& from, const std::string& to) {
        return lib([&] { return smbc().getFunctionRename(c)(c, from.c_str(), c, to.c_str()); }) == 0
                   ? 0
                   : lastError();
    }
    int unlinkAt(SMBCCTX* c, const std::string& url) {
        return lib([&] { return smbc().getFunctionUnlink(c)(c, url.c_str()); }) == 0 ? 0
                                                                                     : lastError();
    }
    // Unique among this computer's processes and this process's calls.
    static std::string uniqueText() {
        static std::atomic<unsigned> counter{0};
        return std::to_string(currentProcessId()) + "-" + std::to_string(++counter) + "-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() %
                              1000000);
    }

    int stat(SMBCCTX* c, const std::string& url, struct stat& st) {
        return lib([&] { return smbc().getFunctionStat(c)(c, url.c_str(), &st); });
    }
    int fstat(SMBCCTX* c, const OpenFile& file, struct stat& st) {
        return lib([&] { return smbc().getFunctionFstat(c)(c, file.handle(), &st); });
    }
    off_t seek(SMBCCTX* c, const OpenFile& file, std::uint64_t offset) {
        return lib([&] {
            return smbc().getFunctionLseek(c)(c, file.handle(), static_cast<off_t>(offset),
                                              SEEK_SET);
        });
    }
    ssize_t read(SMBCCTX* c, const OpenFile& file, void* buffer, std::size_t size) {
        return lib([&] { return smbc().getFunctionRead(c)(c, file.handle(), buffer, size); });
    }
    ssize_t write(SMBCCTX* c, const OpenFile& file, const void* data, std::size_t size) {
        return lib([&] { return smbc().getFunctionWrite(c)(c, file.handle(), data, size); });
    }

    // What one createExclusive has learnt so far, over its attempts.
    struct Creation {
        bool created = false;   // the server said it created the file for this call
        bool adopting = false;  // looking at a file found there after a dropped connection
        bool writing = false;   // the step that failed: writing, not creating
        bool foreign = false;   // another's file is there
        // Whether the file there may be this call's: it created it, or a reply was lost.
        bool replyLost = false;
        bool mayBeOurs() const { return created || replyLost; }
    };

    // One attempt of createExclusive: the file is created empty, then filled by adopt(). Runs again
    // after a dropped connection, whose reply may have been lost after the server had acted: then
    // a file found there may be this call's own, and adopt() tells.
    int createHeld(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
                   Creation& creation) {
        creation.foreign = false;
        creation.replyLost = creation.replyLost || m_replyMayBeLost;
        // A file that vanishes between the two looks is created anew; that far, and no further.
        for (int round = 0; round < 3; ++round) {
            if (!creation.created) {
                creation.adopting = false;
                creation.writing = false;
                // Created for reading only, every sharing allowed: a server makes the file before
                // it weighs the other opens, and a client that opens the new name to read it (a
                // claim being looked at, denying writes) in between would make it refuse a
                // creation that asked to write, with the file left behind.
                OpenFile made(*this, c,
                              open(c, url, O_RDONLY | O_CREAT | O_EXCL, SMBC_SHAREMODE_DENY_NONE));
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
    int adopt(SMBCCTX* c, const std::string& url, std::span<const std::uint8_t> content,
              Creation& creation) {
        OpenFile file(*this, c, open(c, url, O_RDWR, SMBC_SHAREMODE_DENY_WRITE));
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
            const ssize_t got = read(c, file, found.data() + done, found.size() - done);
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
    int fill(SMBCCTX* c, OpenFile& file, std::span<const std::uint8_t> content) {
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t put = write(c, file, content.data() + done, content.size() - done);
            if (put <= 0) {
                return file.failed(put < 0 ? lastError() : EIO);
            }
            done += static_cast<std::size_t>(put);
        }
        return file.close();
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
        SMBCCTX* context = nullptr;
        int error = 0;
        const int debugLevel = shareSettings().debugLevel;
        // Made on the library's thread, whose signal mask the library changes (it blocks
        // SIGPIPE), like every other call; without handing this thread to the program meanwhile,
        // while standard output is not its own.
        m_thread.run(
            [&] {
                errno = 0;
                context = smbc().new_context();
                error = lastError();
                if (context == nullptr) {
                    return;
                }
                smbc().setLogCallback(context, this, &logLibraryMessage);
                smbc().setOptionDebugToStderr(context, 1);
                smbc().setDebug(context, debugLevel);
                smbc().setOptionUserData(context, this);
                smbc().setFunctionCheckServer(context, &takeConnectionAsItIs);
                smbc().setFunctionAddCachedServer(context, &addCachedServer);
                smbc().setFunctionGetCachedServer(context, &cachedServer);
                smbc().setFunctionRemoveCachedServer(context, &removeCachedServer);
                smbc().setFunctionPurgeCachedServers(context, &purgeCachedServers);
                smbc().setFunctionAuthDataWithContext(context, &answerCredentials);
                // Without this a refused password on a share that admits guests silently becomes
                // a guest session.
                smbc().setOptionNoAutoAnonymousLogin(context, 1);
                smbc().setOptionFallbackAfterKerberos(context, 1);
                smbc().setTimeout(context, kReplyTimeoutMs);
                if (smbc().init_context(context) == nullptr) {
                    error = lastError();
                    smbc().free_context(context, 1);
                    context = nullptr;
                }
            },
            {});
        m_debugLevel = debugLevel;
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
        m_debugLevel = shareSettings().debugLevel;
        lib([&] {
            smbc().getFunctionPurgeCachedServers(context)(context);
            smbc().setDebug(context, m_debugLevel);
        });
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
        lib([&] { smbc().setOptionUseKerberos(context, credentials.kerberos ? 1 : 0); });
    }

    // Runs `call` on the share of `target` (`path` as the caller wrote it) with the credentials
    // held for its server: once more when the connection was dropped (a server restarted; the
    // reply to the first attempt may have been lost, m_replyMayBeLost), and again with the
    // credentials the prompt gives for as long as the server refuses the ones tried. Returns 0
    // or the errno of the last attempt. What the program throws while it waits (waitTick) or
    // while it is asked for credentials passes.
    int perform(const std::string& path, const SharePath& target, const Call& call) {
        if (!smbc().failure.empty()) {
            return kNoLibrary;
        }
        // Asked from the program's events while another call waits for its server: the library
        // takes one call at a time.
        if (m_thread.busy()) {
            return EALREADY;
        }
        const std::string key = serverKey(target.server);
        m_serverKey = key;
        m_serverPorts = portsOf(target.server);
        m_waitText = "Waiting for the server " + target.server + " to answer";
        m_aborted = false;
        m_replyMayBeLost = false;
        SMBCCTX* context = this->context();
        if (context == nullptr) {
            return m_contextError;
        }
        try {
            return performWith(context, path, target, call);
        } catch (...) {
            // The program stopped the wait: what the cut connection held goes now.
            if (m_aborted) {
                abandonSilentServer(context);
                m_aborted = false;
            }
            throw;
        }
    }

    int performWith(SMBCCTX* context, const std::string& path, const SharePath& target,
                    const Call& call) {
        noticeNewSettings(context);
        const std::string key = m_serverKey;
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
            // The request under way may have reached the server, and the server may have acted
            // on it, before the connection went: the next attempt may find it done.
            m_replyMayBeLost = true;
            // The dead connection goes first (at once: it is closed already), or the library
            // would take it again.
            lib([&] { smbc().getFunctionPurgeCachedServers(context)(context); });
            errno = 0;
            error = call(context);
        }
        // A sharing violation lasts as long as another client has the file open in a way that
        // excludes this use (reading it while it is to be removed; a removal still under way):
        // milliseconds, as a rule.
        auto pause = kBusyPause;
        const auto until = std::chrono::steady_clock::now() + m_busyPatience;
        while (error == EBUSY && std::chrono::steady_clock::now() + pause <= until) {
            std::this_thread::sleep_for(pause);
            pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestBusyPause);
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
        std::lock_guard lock(fs.m_connectionsMutex);
        fs.m_connections.push_back(
            {server, fs.cacheKey(name, share, workgroup, user), fs.unclaimedSockets(false)});
        return 0;
    }
    static SMBCSRV* cachedServer(SMBCCTX* context, const char* name, const char* share,
                                 const char* workgroup, const char* user) {
        SmbShareFileSystem& fs = self(context);
        const std::string key = fs.cacheKey(name, share, workgroup, user);
        std::lock_guard lock(fs.m_connectionsMutex);
        for (const Connection& connection : fs.m_connections) {
            if (connection.key == key) {
                return connection.server;
            }
        }
        return nullptr;
    }
    static int removeCachedServer(SMBCCTX* context, SMBCSRV* server) {
        std::lock_guard lock(self(context).m_connectionsMutex);
        std::erase_if(self(context).m_connections, [server](const Connection& connection) {
            return connection.server == server;
        });
        return 0;
    }
    static int purgeCachedServers(SMBCCTX* context) {
        int kept = 0;
        std::vector<Connection> connections;
        {
            std::lock_guard lock(self(context).m_connectionsMutex);
            connections = self(context).m_connections;
        }
        for (const Connection& connection : connections) {
            // Closes the connection and takes it out of the cache through removeCachedServer.
            kept |= self(context).smbc().getFunctionRemoveUnusedServer(context)(context,
                                                                                connection.server);
        }
        return kept;
    }

    // The TCP sockets of this process toward the server of the call under way that no cached
    // connection claims yet: those of the connection the library has just made, and with
    // `connecting` one it is still making. m_connectionsMutex held.
    std::vector<int> unclaimedSockets(bool connecting) const {
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
            if (claimed) {
                continue;
            }
            const std::optional<TcpSocket> socket = tcpSocket(static_cast<int>(fd));
            if (socket &&
                (socket->peerPort == 0 ? connecting : m_serverPorts.count(socket->peerPort) != 0)) {
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
        const std::vector<SMBCSRV*> silent = cutConnections();
        lib([&] {
            for (SMBCFILE* file : std::exchange(m_filesOfSilentServer, {})) {
                smbc().getFunctionClose(context)(context, file);
            }
            for (SMBCSRV* server : silent) {
                // A failed close may have taken its connection away already.
                bool cached = false;
                {
                    std::lock_guard lock(m_connectionsMutex);
                    cached =
                        std::any_of(m_connections.begin(), m_connections.end(),
                                    [server](const Connection& c) { return c.server == server; });
                }
                if (cached) {
                    smbc().getFunctionRemoveUnusedServer(context)(context, server);
                }
            }
        });
    }

    // Cuts the sockets of the server of the call under way, the connection the library may be
    // making to it included, so that every request waiting on them fails at once; returns its
    // cached connections. Safe on the program's thread while the library's thread waits.
    std::vector<SMBCSRV*> cutConnections() {
        std::lock_guard lock(m_connectionsMutex);
        std::vector<SMBCSRV*> servers;
        for (const Connection& connection : m_connections) {
            if (connection.key.starts_with(m_serverKey + '\n')) {
                for (const int fd : connection.sockets) {
                    ::shutdown(fd, SHUT_RDWR);
                }
                servers.push_back(connection.server);
            }
        }
        for (const int fd : unclaimedSockets(true)) {
            ::shutdown(fd, SHUT_RDWR);
        }
        return servers;
    }

    // Whether the refusal is the share's (no session for these credentials), not one file's.
    bool refusedAtShare(SMBCCTX* context, const SharePath& target) {
        struct stat st {};
        return stat(context, urlOf(target, 0), st) != 0 && isRefusal(lastError());
    }

    int statAt(const std::string& path, const SharePath& target, std::size_t levels,
               struct stat& st) {
        const std::string url = urlOf(target, levels);
        return perform(path, target,
                       [&](SMBCCTX* c) { return stat(c, url, st) == 0 ? 0 : lastError(); });
    }

    int makeDirectory(const std::string& path, const SharePath& target, std::size_t levels) {
        const std::string url = urlOf(target, levels);
        return perform(path, target, [&](SMBCCTX* c) {
            return lib([&] { return smbc().getFunctionMkdir(c)(c, url.c_str(), 0755); }) == 0
                       ? 0
                       : lastError();
        });
    }

    SMBCFILE* open(SMBCCTX* context, const std::string& url, int flags, smbc_share_mode sharing) {
        return lib([&] {
            smbc().setOptionOpenShareMode(context, sharing);
            return smbc().getFunctionOpen(context)(context, url.c_str(), flags, 0644);
        });
    }

    // The entries of folder `url` into `names`; 0 or the errno of the failure.
    int entriesOf(SMBCCTX* context, const std::string& url, std::vector<std::string>& names) {
        names.clear();
        return lib([&] {
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
        });
    }

    // The last name of `target` as its folder spells it; as given when the folder cannot tell.
    // The folder's entries are left in `listed` when given.
    std::string spellingInFolder(SMBCCTX* context, const SharePath& target,
                                 std::vector<std::string>* listed = nullptr) {
        SharePath folder = target;
        folder.names.pop_back();
        std::vector<std::string> own;
        std::vector<std::string>& entries = listed != nullptr ? *listed : own;
        (void)entriesOf(context, urlOf(folder), entries);
        for (const std::string& entry : entries) {
            if (asciiCompareText(entry, target.names.back()) == 0) {
                return entry;
            }
        }
        return target.names.back();
    }

    std::chrono::milliseconds m_busyPatience = kBusyPatience;
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
    // Guards m_connections, which the program's thread reads while the library's thread waits
    // (cutConnections).
    mutable std::mutex m_connectionsMutex;
    std::string m_serverKey;
    std::set<int> m_serverPorts;
    std::string m_waitText;   // "Waiting for the server SRV to answer"
    bool m_waitTold = false;  // the program was told of the wait under way
    bool m_aborted = false;   // the program ended the wait: the connection was cut
    // The call under way was made again after a dropped connection.
    bool m_replyMayBeLost = false;
    // Files of the call under way left open when the server stopped answering.
    std::vector<SMBCFILE*> m_filesOfSilentServer;
    ShareCredentials m_current;  // what the library's callback answers with right now
    // Last: it ends (joined) before anything the library's callbacks reach goes.
    LibraryThread m_thread;
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
