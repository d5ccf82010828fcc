#include "support/smb/SmbConnection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>
#include <utility>

#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin::smb {

namespace {

// How long a request may wait for the answer of a server that took the connection. A server that
// is there may be slow to answer: a name or directory service it asks first (a server whose own
// name does not resolve waits for the name server on every new connection), a busy disk. Windows'
// own client waits 60 s for a server's answer before it gives the connection up, and a share
// reached from there is waited for as long; so here, with the window handled and the wait shown
// meanwhile (ShareSettings::waiting). Nobody there fails far sooner: a refused connection at
// once, a request to connect that gets no answer at all within the library's own limit for
// connecting (5 s), which this does not change.
constexpr int kReplyTimeoutMs = 60000;
// After how long a wait is shown as one.
constexpr auto kQuietWait = std::chrono::seconds(1);

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

}  // namespace

SmbConnection::~SmbConnection() {
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

// Why a call failed: the system's text for `error`, or why the library is not there.
std::string SmbConnection::reason(int error) const {
    return error == kNoLibrary ? smbc().failure : systemErrorText(error);
}

void SmbConnection::fail(const char* what, const std::string& path, int error) const {
    throw KavrinError(formatText("%s \"%s\". %s", what, path.c_str(), reason(error).c_str()));
}

void SmbConnection::runOnLibraryThread(const std::function<void()>& work) {
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
void SmbConnection::waitTick(std::chrono::milliseconds waited) {
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
void SmbConnection::endWait() {
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

// 0 or the errno.
int SmbConnection::renameAt(SMBCCTX* c, const std::string& from, const std::string& to) {
    return lib([&] { return smbc().getFunctionRename(c)(c, from.c_str(), c, to.c_str()); }) == 0
               ? 0
               : lastError();
}
int SmbConnection::unlinkAt(SMBCCTX* c, const std::string& url) {
    return lib([&] { return smbc().getFunctionUnlink(c)(c, url.c_str()); }) == 0 ? 0 : lastError();
}

int SmbConnection::stat(SMBCCTX* c, const std::string& url, struct stat& st) {
    return lib([&] { return smbc().getFunctionStat(c)(c, url.c_str(), &st); });
}
int SmbConnection::fstat(SMBCCTX* c, const OpenFile& file, struct stat& st) {
    return lib([&] { return smbc().getFunctionFstat(c)(c, file.handle(), &st); });
}
off_t SmbConnection::seek(SMBCCTX* c, const OpenFile& file, std::uint64_t offset) {
    return lib([&] {
        return smbc().getFunctionLseek(c)(c, file.handle(), static_cast<off_t>(offset), SEEK_SET);
    });
}
ssize_t SmbConnection::read(SMBCCTX* c, const OpenFile& file, void* buffer, std::size_t size) {
    return lib([&] { return smbc().getFunctionRead(c)(c, file.handle(), buffer, size); });
}
ssize_t SmbConnection::write(SMBCCTX* c, const OpenFile& file, const void* data, std::size_t size) {
    return lib([&] { return smbc().getFunctionWrite(c)(c, file.handle(), data, size); });
}

off_t SmbConnection::splice(SMBCCTX* c, const OpenFile& from, const OpenFile& to, off_t count) {
    // The library asks after each part whether to go on: always.
    const auto goOn = [](off_t, void*) { return 1; };
    return lib([&] {
        return smbc().getFunctionSplice(c)(c, from.handle(), to.handle(), count, goOn, nullptr);
    });
}

SMBCFILE* SmbConnection::open(SMBCCTX* context, const std::string& url, int flags,
                              smbc_share_mode sharing) {
    return lib([&] {
        smbc().setOptionOpenShareMode(context, sharing);
        return smbc().getFunctionOpen(context)(context, url.c_str(), flags, 0644);
    });
}

// The entries of folder `url` into `names`; 0 or the errno of the failure.
int SmbConnection::entriesOf(SMBCCTX* context, const std::string& url,
                             std::vector<std::string>& names) {
    names.clear();
    std::vector<std::pair<std::string, struct stat>> entries;
    const int error = entriesWithStatus(context, url, entries);
    for (auto& entry : entries) {
        names.push_back(std::move(entry.first));
    }
    return error;
}

int SmbConnection::entriesWithStatus(SMBCCTX* context, const std::string& url,
                                     std::vector<std::pair<std::string, struct stat>>& entries) {
    entries.clear();
    return lib([&] {
        SMBCFILE* dir = smbc().getFunctionOpendir(context)(context, url.c_str());
        if (dir == nullptr) {
            return lastError();
        }
        struct stat st {};
        while (const libsmb_file_info* entry =
                   smbc().getFunctionReaddirPlus2(context)(context, dir, &st)) {
            const std::string name(entry->name);
            if (name != "." && name != "..") {
                entries.emplace_back(name, st);
            }
            st = {};
        }
        smbc().getFunctionClosedir(context)(context, dir);
        return 0;
    });
}

// The last name of `target` as its folder spells it; as given when the folder cannot tell.
// The folder's entries are left in `listed` when given.
std::string SmbConnection::spellingInFolder(SMBCCTX* context, const SharePath& target,
                                            std::vector<std::string>* listed) {
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

// The context, created on first use; null (m_contextError set) when the library refused.
SMBCCTX* SmbConnection::context() {
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
void SmbConnection::logLibraryMessage(void* self, int, const char* message) {
    if (static_cast<const SmbConnection*>(self)->m_debugLevel > 0 && message != nullptr) {
        std::fprintf(stderr, "%s\n", message);
    }
}

// New settings: new credentials, so the connections made with the old ones go.
void SmbConnection::noticeNewSettings(SMBCCTX* context) {
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
void SmbConnection::answerCredentials(SMBCCTX* context, const char*, const char*, char* workgroup,
                                      int workgroupSize, char* user, int userSize, char* password,
                                      int passwordSize) {
    const auto* self =
        static_cast<const SmbConnection*>(processSmbClient().getOptionUserData(context));
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

void SmbConnection::use(SMBCCTX* context, const ShareCredentials& credentials) {
    m_current = credentials;
    lib([&] { smbc().setOptionUseKerberos(context, credentials.kerberos ? 1 : 0); });
}

// Runs `call` on the share of `target` (`path` as the caller wrote it) with the credentials
// held for its server: once more when the connection was dropped (a server restarted; the
// reply to the first attempt may have been lost, m_replyMayBeLost), and again with the
// credentials the prompt gives for as long as the server refuses the ones tried. Returns 0
// or the errno of the last attempt. What the program throws while it waits (waitTick) or
// while it is asked for credentials passes.
int SmbConnection::perform(const std::string& path, const SharePath& target, const Call& call) {
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

int SmbConnection::performWith(SMBCCTX* context, const std::string& path, const SharePath& target,
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

int SmbConnection::callRetrying(SMBCCTX* context, const Call& call) {
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

// Whether the refusal is the share's (no session for these credentials), not one file's.
bool SmbConnection::refusedAtShare(SMBCCTX* context, const SharePath& target) {
    struct stat st {};
    return stat(context, urlOf(target, 0), st) != 0 && isRefusal(lastError());
}

}  // namespace kavrin::smb
