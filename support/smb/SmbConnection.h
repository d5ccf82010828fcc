#pragma once

// The connection to the servers' shares through Samba's client library. Internal to support/smb.

#include <libsmbclient.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "support/smb/LibraryThread.h"
#include "support/smb/ShareAccess.h"
#include "support/smb/SharePath.h"
#include "support/smb/SmbLibrary.h"

namespace kavrin::smb {

// How long a call refused for a sharing violation is made again, after a first pause doubled
// each time up to the longest: a read refused while the file is removed, a short moment. A rename
// or removal of a file another client reads waits for that reading to end: seconds, over a slow
// link.
inline constexpr auto kBusyPause = std::chrono::milliseconds(10);
inline constexpr auto kLongestBusyPause = std::chrono::milliseconds(250);
inline constexpr auto kBusyPatience = std::chrono::milliseconds(300);
inline constexpr auto kBusyPatienceToReplace = std::chrono::milliseconds(15000);

// One client context of the library, created on the first share path, for the thread that
// drives the engine. The library is synchronous: every call blocks until the server answers or
// the reply timeout passes, so it runs on a thread of its own (LibraryThread) while the caller's
// thread waits and is given back to the program every kWaitTick (ShareSettings::waiting). The
// context's connections are kept here, not in the library's own cache, so that those of a server
// that went silent can be cut.
class SmbConnection {
public:
    using Call = std::function<int(SMBCCTX* context)>;

    // Calls the library through what `library` gives on the first share path.
    explicit SmbConnection(std::function<const SmbClient&()> library)
        : m_library(std::move(library)) {}
    SmbConnection(const SmbConnection&) = delete;
    SmbConnection& operator=(const SmbConnection&) = delete;
    ~SmbConnection();

    // The library's functions; loaded on the first share path.
    const SmbClient& smbc() const { return m_library(); }

    // Why a call failed: the system's text for `error`, or why the library is not there.
    std::string reason(int error) const;
    [[noreturn]] void fail(const char* what, const std::string& path, int error) const;

    // Runs `call` on the share of `target` (`path` as the caller wrote it) with the credentials
    // held for its server: once more when the connection was dropped (a server restarted; the
    // reply to the first attempt may have been lost, replyMayBeLost()), and again with the
    // credentials the prompt gives for as long as the server refuses the ones tried. Returns 0
    // or the errno of the last attempt. What the program throws while it waits (waitTick) or
    // while it is asked for credentials passes.
    int perform(const std::string& path, const SharePath& target, const Call& call);

    // The call under way was made again after a dropped connection.
    bool replyMayBeLost() const { return m_replyMayBeLost; }

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

    // How long the calls made meanwhile wait out a sharing violation.
    class BusyPatience {
    public:
        BusyPatience(SmbConnection& share, std::chrono::milliseconds patience)
            : m_share(share), m_before(share.m_busyPatience) {
            m_share.m_busyPatience = patience;
        }
        ~BusyPatience() { m_share.m_busyPatience = m_before; }
        BusyPatience(const BusyPatience&) = delete;
        BusyPatience& operator=(const BusyPatience&) = delete;

    private:
        SmbConnection& m_share;
        std::chrono::milliseconds m_before;
    };

    // A file the library opened, closed on every path. After the server failed to answer in time
    // it is closed only once the connection has been cut (abandonSilentServer), or closing would
    // wait as long again.
    class OpenFile {
    public:
        OpenFile(SmbConnection& owner, SMBCCTX* context, SMBCFILE* file)
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
        SmbConnection& m_owner;
        SMBCCTX* m_context;
        SMBCFILE* m_file;
    };

    // The library's calls, each on the library's thread: what the call returns, errno as the
    // library left it; those that give an int errno say "0 or the errno".
    int renameAt(SMBCCTX* c, const std::string& from, const std::string& to);
    int unlinkAt(SMBCCTX* c, const std::string& url);
    int stat(SMBCCTX* c, const std::string& url, struct stat& st);
    int fstat(SMBCCTX* c, const OpenFile& file, struct stat& st);
    off_t seek(SMBCCTX* c, const OpenFile& file, std::uint64_t offset);
    ssize_t read(SMBCCTX* c, const OpenFile& file, void* buffer, std::size_t size);
    ssize_t write(SMBCCTX* c, const OpenFile& file, const void* data, std::size_t size);
    // Copies `count` bytes from where `from` stands to where `to` stands, both on one share, by
    // the server's own copy where it offers one (the library then copies through this program
    // without saying so); the bytes copied, or -1.
    off_t splice(SMBCCTX* c, const OpenFile& from, const OpenFile& to, off_t count);
    SMBCFILE* open(SMBCCTX* context, const std::string& url, int flags, smbc_share_mode sharing);
    // The bytes this process has sent and received on the library's connections, as the system
    // counts them (SmbTraffic.cpp); nothing where it does not.
    std::optional<std::uint64_t> trafficBytes() const;
    // The entries of folder `url` into `names`; 0 or the errno of the failure.
    int entriesOf(SMBCCTX* context, const std::string& url, std::vector<std::string>& names);
    // The entries of folder `url` with their status, from one listing; 0 or the errno of the
    // failure.
    int entriesWithStatus(SMBCCTX* context, const std::string& url,
                          std::vector<std::pair<std::string, struct stat>>& entries);
    // The last name of `target` as its folder spells it; as given when the folder cannot tell.
    // The folder's entries are left in `listed` when given.
    std::string spellingInFolder(SMBCCTX* context, const SharePath& target,
                                 std::vector<std::string>* listed = nullptr);

private:
    // Servers that failed slowly a moment ago, with the failure each gives until then.
    struct Unreachable {
        int error;
        std::chrono::steady_clock::time_point until;
    };
    // An open connection of the library.
    struct Connection {
        SMBCSRV* server;
        std::string key;
        std::vector<int> sockets;
    };

    // The waits (SmbConnection.cpp).
    void runOnLibraryThread(const std::function<void()>& work);
    void waitTick(std::chrono::milliseconds waited);
    void endWait();

    // The context and the credentials (SmbConnection.cpp).
    SMBCCTX* context();
    static void logLibraryMessage(void* self, int, const char* message);
    void noticeNewSettings(SMBCCTX* context);
    static void answerCredentials(SMBCCTX* context, const char*, const char*, char* workgroup,
                                  int workgroupSize, char* user, int userSize, char* password,
                                  int passwordSize);
    void use(SMBCCTX* context, const ShareCredentials& credentials);
    int performWith(SMBCCTX* context, const std::string& path, const SharePath& target,
                    const Call& call);
    int callRetrying(SMBCCTX* context, const Call& call);
    bool refusedAtShare(SMBCCTX* context, const SharePath& target);

    // The cache of connections and the cut of a silent server's (SmbConnectionCache.cpp).
    static int takeConnectionAsItIs(SMBCCTX*, SMBCSRV*) { return 0; }
    static SmbConnection& self(SMBCCTX* context);
    std::string cacheKey(const char* server, const char* share, const char* workgroup,
                         const char* user) const;
    static int addCachedServer(SMBCCTX* context, SMBCSRV* server, const char* name,
                               const char* share, const char* workgroup, const char* user);
    static SMBCSRV* cachedServer(SMBCCTX* context, const char* name, const char* share,
                                 const char* workgroup, const char* user);
    static int removeCachedServer(SMBCCTX* context, SMBCSRV* server);
    static int purgeCachedServers(SMBCCTX* context);
    std::vector<int> unclaimedSockets(bool connecting) const;
    void abandonSilentServer(SMBCCTX* context);
    std::vector<SMBCSRV*> cutConnections();

    std::chrono::milliseconds m_busyPatience = kBusyPatience;
    std::function<const SmbClient&()> m_library;
    SMBCCTX* m_context = nullptr;
    int m_contextError = 0;
    int m_debugLevel = 0;
    unsigned m_generation = 0;
    // Credentials a prompt gave and the server accepted, by server, while the program runs.
    std::map<std::string, ShareCredentials> m_accepted;
    std::map<std::string, Unreachable> m_unreachable;
    // The library's open connections, and the server of the call under way.
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

}  // namespace kavrin::smb
