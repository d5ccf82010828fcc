// The kernel's own TCP counters: the C library's <netinet/tcp.h> lacks the byte counts.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <mutex>
#include <optional>

#include "support/smb/SmbConnection.h"

namespace kavrin::smb {

std::optional<std::uint64_t> SmbConnection::trafficBytes() const {
    const std::lock_guard<std::mutex> lock(m_connectionsMutex);
    std::optional<std::uint64_t> bytes;
    for (const Connection& connection : m_connections) {
        for (const int fd : connection.sockets) {
            tcp_info info{};
            socklen_t size = sizeof info;
            if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
                size >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
                bytes = bytes.value_or(0) + info.tcpi_bytes_acked + info.tcpi_bytes_received;
            }
        }
    }
    return bytes;
}

}  // namespace kavrin::smb
