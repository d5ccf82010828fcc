#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kavrin::test {

// A TCP relay in front of the test server, so that a test can make "the server" stop, restart or
// go silent for its own connections alone while other tests go on using the real one. It listens
// on a loopback address of its own (127.0.0.3): the client library keeps one connection per
// server name, never mixing the relay with the server behind it.
class ShareProxy {
public:
    // Relays to `server` ("host:port").
    explicit ShareProxy(const std::string& server);
    ~ShareProxy();
    ShareProxy(const ShareProxy&) = delete;
    ShareProxy& operator=(const ShareProxy&) = delete;

    // "127.0.0.3:PORT", for a share path or the location field.
    std::string server() const;

    // The server stops: every connection is closed and nothing listens any more.
    void stop();
    // The server is back on the same port.
    void start();
    // A restart between two requests: every connection is closed, new ones are taken.
    void dropConnections();
    // While frozen nothing is relayed in either direction: a server that stops answering.
    void freeze(bool frozen);
    // The `request`-th request the client sends from now on (1: the next one) reaches the server,
    // which carries it out, but the connection is closed before the server's reply reaches the
    // client: a reply lost with the connection. Once; 0 disarms.
    void loseReplyTo(int request);
    // How many replies were lost that way so far.
    int repliesLost();
    // Connections made from now on are accepted at once, but nothing the server sends on one
    // reaches the client until `delay` after it was accepted: a server that is there and slow to
    // answer (its first reply is the negotiation's). Zero: relayed as it comes again.
    void delayReplies(std::chrono::milliseconds delay);

private:
    struct State;
    void run();
    // Has the relay thread apply a change and waits until it has.
    void command(int what, int argument = 0);

    std::unique_ptr<State> m_state;
    std::thread m_thread;
};

// A port of 127.0.0.3 on which nothing answers a connection: its listening socket's queue is
// full, so that the system drops every further request to connect unanswered, as from a host
// that is down or behind a firewall that drops them.
class SilentPort {
public:
    SilentPort();
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    // "127.0.0.3:PORT", for a share path.
    std::string server() const;

private:
    int m_listener = -1;
    int m_filler = -1;  // the connection that fills the queue
    int m_port = 0;
};

}  // namespace kavrin::test
