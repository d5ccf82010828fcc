#include <stdexcept>

#include "common/ShareProxy.h"

namespace kavrin::test {

// The tests that stop or silence a server run against the Samba server of Linux builds; on
// Windows there is none to put a relay in front of.

struct ShareProxy::State {};

ShareProxy::ShareProxy(const std::string&) {
    throw std::runtime_error("no relay on Windows: the test server is Linux's");
}

ShareProxy::~ShareProxy() = default;

std::string ShareProxy::server() const {
    return {};
}

void ShareProxy::stop() {}
void ShareProxy::start() {}
void ShareProxy::dropConnections() {}
void ShareProxy::freeze(bool) {}
void ShareProxy::run() {}
void ShareProxy::loseReplyTo(int) {}
int ShareProxy::repliesLost() {
    return 0;
}
void ShareProxy::delayReplies(std::chrono::milliseconds) {}
void ShareProxy::command(int, int) {}

SilentPort::SilentPort() {
    throw std::runtime_error("no silent port on Windows: the test server is Linux's");
}

SilentPort::~SilentPort() = default;

std::string SilentPort::server() const {
    return {};
}

}  // namespace kavrin::test
