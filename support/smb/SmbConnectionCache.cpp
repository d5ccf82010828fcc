#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include "support/smb/SmbConnection.h"

namespace kavrin::smb {

namespace {

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

}  // namespace

// The library's cache of connections is kept here: its own is keyed without the port (two
// servers on one host would share a connection), and a connection to a server that went
// silent must be dropped without the tree disconnect the library would wait for.
SmbConnection& SmbConnection::self(SMBCCTX* context) {
    return *static_cast<SmbConnection*>(processSmbClient().getOptionUserData(context));
}
std::string SmbConnection::cacheKey(const char* server, const char* share, const char* workgroup,
                                    const char* user) const {
    std::string key = m_serverKey;
    for (const char* part : {server, share, workgroup, user}) {
        key += '\n';
        key += part != nullptr ? part : "";
    }
    return key;
}
int SmbConnection::addCachedServer(SMBCCTX* context, SMBCSRV* server, const char* name,
                                   const char* share, const char* workgroup, const char* user) {
    SmbConnection& fs = self(context);
    std::lock_guard lock(fs.m_connectionsMutex);
    fs.m_connections.push_back(
        {server, fs.cacheKey(name, share, workgroup, user), fs.unclaimedSockets(false)});
    return 0;
}
SMBCSRV* SmbConnection::cachedServer(SMBCCTX* context, const char* name, const char* share,
                                     const char* workgroup, const char* user) {
    SmbConnection& fs = self(context);
    const std::string key = fs.cacheKey(name, share, workgroup, user);
    std::lock_guard lock(fs.m_connectionsMutex);
    for (const Connection& connection : fs.m_connections) {
        if (connection.key == key) {
            return connection.server;
        }
    }
    return nullptr;
}
int SmbConnection::removeCachedServer(SMBCCTX* context, SMBCSRV* server) {
    std::lock_guard lock(self(context).m_connectionsMutex);
    std::erase_if(self(context).m_connections,
                  [server](const Connection& connection) { return connection.server == server; });
    return 0;
}
int SmbConnection::purgeCachedServers(SMBCCTX* context) {
    int kept = 0;
    std::vector<Connection> connections;
    {
        std::lock_guard lock(self(context).m_connectionsMutex);
        connections = self(context).m_connections;
    }
    for (const Connection& connection : connections) {
        // Closes the connection and takes it out of the cache through removeCachedServer.
        kept |=
            self(context).smbc().getFunctionRemoveUnusedServer(context)(context, connection.server);
    }
    return kept;
}

// The TCP sockets of this process toward the server of the call under way that no cached
// connection claims yet: those of the connection the library has just made, and with
// `connecting` one it is still making. m_connectionsMutex held.
std::vector<int> SmbConnection::unclaimedSockets(bool connecting) const {
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
void SmbConnection::abandonSilentServer(SMBCCTX* context) {
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
                cached = std::any_of(m_connections.begin(), m_connections.end(),
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
std::vector<SMBCSRV*> SmbConnection::cutConnections() {
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

}  // namespace kavrin::smb
