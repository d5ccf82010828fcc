#pragma once

#include <atomic>
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

private:
    struct State;
    void run();
    // Has the relay thread apply a change and waits until it has.
    void command(int what);

    std::unique_ptr<State> m_state;
    std::thread m_thread;
};

}  // namespace kavrin::test
