#include "common/ShareProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace kavrin::test {

namespace {

constexpr const char* kAddress = "127.0.0.3";

enum Command { kNone, kStop, kStart, kDrop, kFreeze, kThaw, kQuit };

sockaddr_in addressOf(const std::string& host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + host);
    }
    return address;
}

// All of `size` bytes to `fd`; false when the peer is gone.
bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

struct ShareProxy::State {
    std::mutex mutex;
    std::condition_variable applied;
    int command = kNone;
    int wake[2] = {-1, -1};
    int listener = -1;
    int port = 0;
    std::string targetHost;
    int targetPort = 0;
    bool frozen = false;
    std::vector<std::pair<int, int>> links;  // client, server

    void listen() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address = addressOf(kAddress, port);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 16) != 0) {
            throw std::runtime_error(std::string("proxy cannot listen: ") + std::strerror(errno));
        }
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }

    void closeLinks() {
        for (const auto& [client, server] : links) {
            ::close(client);
            ::close(server);
        }
        links.clear();
    }

    void accept() {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = addressOf(targetHost, targetPort);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        links.emplace_back(client, server);
    }
};

ShareProxy::ShareProxy(const std::string& server) : m_state(std::make_unique<State>()) {
    const std::size_t colon = server.rfind(':');
    m_state->targetHost = server.substr(0, colon);
    m_state->targetPort = colon == std::string::npos ? 445 : std::stoi(server.substr(colon + 1));
    if (::pipe2(m_state->wake, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    m_state->listen();
    m_thread = std::thread([this] { run(); });
}

ShareProxy::~ShareProxy() {
    command(kQuit);
    m_thread.join();
    ::close(m_state->wake[0]);
    ::close(m_state->wake[1]);
}

std::string ShareProxy::server() const {
    return std::string(kAddress) + ":" + std::to_string(m_state->port);
}

void ShareProxy::stop() {
    command(kStop);
}

void ShareProxy::start() {
    command(kStart);
}

void ShareProxy::dropConnections() {
    command(kDrop);
}

void ShareProxy::freeze(bool frozen) {
    command(frozen ? kFreeze : kThaw);
}

void ShareProxy::command(int what) {
    std::unique_lock lock(m_state->mutex);
    m_state->command = what;
    const char byte = 1;
    if (::write(m_state->wake[1], &byte, 1) != 1) {
        throw std::runtime_error("proxy cannot be woken");
    }
    m_state->applied.wait(lock, [this] { return m_state->command == kNone; });
}

void ShareProxy::run() {
    State& s = *m_state;
    for (;;) {
        std::vector<pollfd> polled = {{s.wake[0], POLLIN, 0}};
        if (s.listener >= 0) {
            polled.push_back({s.listener, POLLIN, 0});
        }
        const std::size_t firstLink = polled.size();
        if (!s.frozen) {
            for (const auto& [client, server] : s.links) {
                polled.push_back({client, POLLIN, 0});
                polled.push_back({server, POLLIN, 0});
            }
        }
        if (::poll(polled.data(), polled.size(), -1) < 0) {
            continue;
        }
        if ((polled[0].revents & POLLIN) != 0) {
            char byte;
            if (::read(s.wake[0], &byte, 1) < 0) {
                continue;
            }
            std::lock_guard lock(s.mutex);
            switch (s.command) {
                case kStop:
                    s.closeLinks();
                    ::close(s.listener);
                    s.listener = -1;
                    break;
                case kStart:
                    if (s.listener < 0) {
                        s.listen();
                    }
                    break;
                case kDrop:
                    s.closeLinks();
                    break;
                case kFreeze:
                    s.frozen = true;
                    break;
                case kThaw:
                    s.frozen = false;
                    break;
                case kQuit:
                    s.closeLinks();
                    if (s.listener >= 0) {
                        ::close(s.listener);
                    }
                    s.command = kNone;
                    s.applied.notify_all();
                    return;
                default:
                    break;
            }
            s.command = kNone;
            s.applied.notify_all();
            continue;  // the sets of sockets changed
        }
        if (s.listener >= 0 && (polled[1].revents & POLLIN) != 0) {
            s.accept();
        }
        // Relay what is waiting; a link whose either end is gone is closed whole.
        std::vector<std::pair<int, int>> kept;
        for (std::size_t i = 0; i < s.links.size(); ++i) {
            const auto [client, server] = s.links[i];
            bool alive = true;
            if (firstLink + 2 * i + 1 < polled.size()) {
                for (const auto& [from, to, at] :
                     {std::tuple{client, server, firstLink + 2 * i},
                      std::tuple{server, client, firstLink + 2 * i + 1}}) {
                    if (!alive || (polled[at].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                        continue;
                    }
                    char buffer[65536];
                    const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
                    alive = got > 0 && sendAll(to, buffer, static_cast<std::size_t>(got));
                }
            }
            if (alive) {
                kept.emplace_back(client, server);
            } else {
                ::close(client);
                ::close(server);
            }
        }
        s.links = std::move(kept);
    }
}

}  // namespace kavrin::test
