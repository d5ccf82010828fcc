#include <stdexcept>

#include "common/ShareFolder.h"

namespace kavrin::test {

// A build that reaches no share has no test share: the tests that need one skip.

std::optional<std::string> testShare() {
    return std::nullopt;
}

std::string testServer() {
    return {};
}

ShareCredentials testCredentials() {
    return {};
}

void useTestCredentials() {}

bool isTestFolder(const std::string&) {
    return false;
}

ShareFolder::ShareFolder(bool root) : m_root(root) {
    throw std::runtime_error("this build reaches no share");
}

ShareFolder::~ShareFolder() = default;

std::string ShareFolder::file(const std::string& name) const {
    return m_path + "\\" + name;
}

}  // namespace kavrin::test
