#pragma once

#include <optional>
#include <string>

#include "support/smb/ShareAccess.h"

namespace kavrin::test {

// The share of the test server that scripts/smbserver.sh runs ("\\127.0.0.1:PORT\Kavrin$", from
// KAVRIN_TEST_SHARE), or nothing when the tests run without one: the tests that need a server
// skip then.
std::optional<std::string> testShare();
// The test server's name as the location field takes it: "127.0.0.1:PORT".
std::string testServer();
// The test user and its password.
ShareCredentials testCredentials();
// Settings for the program's share back end with the test user and no prompt.
void useTestCredentials();
// Whether an entry of the share's root named `name` is the folder of a test (ShareFolder).
bool isTestFolder(const std::string& name);

// A fresh folder on the test share, removed with everything in it when the object goes; with
// `root`, the share itself, whose content but the other tests' folders is removed then (one test
// at a time may use it: see the ServerMode tests). Cleans up through a client context of its own,
// whatever credentials the test left the program with.
class ShareFolder {
public:
    explicit ShareFolder(bool root = false);
    ~ShareFolder();
    ShareFolder(const ShareFolder&) = delete;
    ShareFolder& operator=(const ShareFolder&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "\" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
    bool m_root;
};

}  // namespace kavrin::test
