#include "common/ShareProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kavrin::test {

namespace {

constexpr const char* kAddress = "127.0.0.3";

enum Command { kNone, kStop, kStart, kDrop, kFreeze, kThaw, kLoseReply, kDelay, kQuit };

using Clock = std::chrono::steady_clock;

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

// Counts the messages of one direction of a connection: each is a 4-byte header (a zero byte and
// a 24-bit big-endian length) and that many bytes.
class MessageCounter {
public:
    // Takes the next `size` bytes; returns how many messages they completed.
    int feed(const char* data, std::size_t size) {
        int completed = 0;
        while (size > 0) {
            if (m_headerBytes < 4) {
                m_header[m_headerBytes++] = static_cast<unsigned char>(*data++);
                --size;
                if (m_headerBytes == 4) {
                    m_remaining = (std::size_t{m_header[1]} << 16) |
                                  (std::size_t{m_header[2]} << 8) | m_header[3];
                }
            } else {
                const std::size_t taken = std::min(size, m_remaining);
                data += taken;
                size -= taken;
                m_remaining -= taken;
            }
            if (m_headerBytes == 4 && m_remaining == 0) {
                ++completed;
                m_headerBytes = 0;
            }
        }
        return completed;
    }

private:
    unsigned char m_header[4] = {};
    int m_headerBytes = 0;
    std::size_t m_remaining = 0;
};

struct Link {
    int client;
    int server;
    Clock::time_point heldUntil;  // nothing from the server reaches the client before
    MessageCounter requests;
    bool loseReply = false;  // the request whose reply is to be lost has reached the server
};

}  // namespace

struct ShareProxy::State {
    std::mutex mutex;
    std::condition_variable applied;
    int command = kNone;
    int argument = 0;
    int wake[2] = {-1, -1};
    int listener = -1;
    int port = 0;
    std::string targetHost;
    int targetPort = 0;
    bool frozen = false;
    std::vector<Link> links;
    int loseReplyTo = 0;  // requests from now until the one whose reply is lost; 0: none
    int repliesLost = 0;
    std::chrono::milliseconds delay{0};

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
        for (const Link& link : links) {
            ::close(link.client);
            ::close(link.server);
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
        links.push_back({client, server, Clock::now() + delay, {}, false});
    }

    // Relays what the client sent; false when either end is gone.
    bool relayRequests(Link& link) {
        char buffer[65536];
        const ssize_t got = ::recv(link.client, buffer, sizeof buffer, 0);
        if (got <= 0 || !sendAll(link.server, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
        const int completed = link.requests.feed(buffer, static_cast<std::size_t>(got));
        if (loseReplyTo > 0 && completed > 0) {
            if (completed >= loseReplyTo) {
                link.loseReply = true;
                loseReplyTo = 0;
            } else {
                loseReplyTo -= completed;
            }
        }
        return true;
    }

    // Relays what the server sent; false when either end is gone, or the reply is to be lost.
    bool relayReplies(Link& link) {
        char buffer[65536];
        const ssize_t got = ::recv(link.server, buffer, sizeof buffer, 0);
        if (got > 0 && link.loseReply) {
            ++repliesLost;
            return false;
        }
        return got > 0 && sendAll(link.client, buffer, static_cast<std::size_t>(got));
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

void ShareProxy::loseReplyTo(int request) {
    command(kLoseReply, request);
}

int ShareProxy::repliesLost() {
    std::lock_guard lock(m_state->mutex);
    return m_state->repliesLost;
}

void ShareProxy::delayReplies(std::chrono::milliseconds delay) {
    command(kDelay, static_cast<int>(delay.count()));
}

void ShareProxy::command(int what, int argument) {
    std::unique_lock lock(m_state->mutex);
    m_state->command = what;
    m_state->argument = argument;
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
        // The earliest moment a held link may relay the server's data; until then its server
        // end is not polled.
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wakeAt;
        if (!s.frozen) {
            for (const Link& link : s.links) {
                const bool held = now < link.heldUntil;
                polled.push_back({link.client, POLLIN, 0});
                polled.push_back({link.server, static_cast<short>(held ? 0 : POLLIN), 0});
                if (held && (!wakeAt || link.heldUntil < *wakeAt)) {
                    wakeAt = link.heldUntil;
                }
            }
        }
        const int timeout =
            wakeAt ? static_cast<int>(
                         std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count())
                   : -1;
        if (::poll(polled.data(), polled.size(), timeout) < 0) {
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
                case kLoseReply:
                    s.loseReplyTo = s.argument;
                    break;
                case kDelay:
                    s.delay = std::chrono::milliseconds(s.argument);
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
        std::lock_guard lock(s.mutex);
        std::vector<Link> kept;
        for (std::size_t i = 0; i < s.links.size(); ++i) {
            Link& link = s.links[i];
            bool alive = true;
            if (firstLink + 2 * i + 1 < polled.size()) {
                constexpr short kReady = POLLIN | POLLHUP | POLLERR;
                if ((polled[firstLink + 2 * i].revents & kReady) != 0) {
                    alive = s.relayRequests(link);
                }
                if (alive && (polled[firstLink + 2 * i + 1].revents & kReady) != 0) {
                    alive = s.relayReplies(link);
                }
            }
            if (alive) {
                kept.push_back(link);
            } else {
                ::close(link.client);
                ::close(link.server);
            }
        }
        s.links = std::move(kept);
    }
}

SilentPort::SilentPort() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = addressOf(kAddress, 0);
    // A queue of one (the system's least), filled by a connection of its own that nobody
    // accepts.
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 0) != 0) {
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(m_filler, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error(std::string("cannot fill the queue: ") + std::strerror(errno));
    }
}

SilentPort::~SilentPort() {
    ::close(m_filler);
    ::close(m_listener);
}

std::string SilentPort::server() const {
    return std::string(kAddress) + ":" + std::to_string(m_port);
}

}  // namespace kavrin::test
