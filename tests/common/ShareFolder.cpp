#include "common/ShareFolder.h"

#include <fcntl.h>
#include <libsmbclient.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/smb/SmbShareFileSystem.h"

namespace kavrin::test {

namespace {

// The folders of the tests, each below the share's root.
constexpr const char* kFolderPrefix = "kavrin-test-";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void answer(SMBCCTX*, const char*, const char*, char*, int, char* user, int userSize,
            char* password, int passwordSize) {
    const ShareCredentials credentials = testCredentials();
    std::snprintf(user, static_cast<std::size_t>(userSize), "%s", credentials.user.c_str());
    std::snprintf(password, static_cast<std::size_t>(passwordSize), "%s",
                  credentials.password.c_str());
}

// A client context of the test kit's own, logged on as the test user.
SMBCCTX* context() {
    static SMBCCTX* instance = [] {
        SMBCCTX* c = smbc_new_context();
        if (c == nullptr) {
            throw std::runtime_error("smbc_new_context failed");
        }
        smbc_setFunctionAuthDataWithContext(c, &answer);
        smbc_setOptionNoAutoAnonymousLogin(c, 1);
        // The test server is there: a loaded machine may keep it from answering for a while,
        // which is no reason to fail the test that only wanted a folder. The back end's wait.
        smbc_setTimeout(c, 60000);
        if (smbc_init_context(c) == nullptr) {
            throw std::runtime_error("smbc_init_context failed");
        }
        return c;
    }();
    return instance;
}

// Removes everything below the folder `path`, and the folder itself unless `keep`.
void removeTree(const std::string& path, bool keep) {
    SMBCCTX* c = context();
    const std::string url = smbUrl(path);
    std::vector<std::pair<std::string, bool>> entries;
    if (SMBCFILE* dir = smbc_getFunctionOpendir(c)(c, url.c_str())) {
        while (const smbc_dirent* entry = smbc_getFunctionReaddir(c)(c, dir)) {
            const std::string name = entry->name;
            if (name != "." && name != "..") {
                entries.emplace_back(name, entry->smbc_type == SMBC_DIR);
            }
        }
        smbc_getFunctionClosedir(c)(c, dir);
    }
    for (const auto& [name, isDirectory] : entries) {
        if (keep && isTestFolder(name)) {
            continue;  // the share's root: other tests' folders are theirs to remove
        }
        const std::string below = path + "\\" + name;
        if (isDirectory) {
            removeTree(below, false);
        } else {
            smbc_getFunctionUnlink(c)(c, smbUrl(below).c_str());
        }
    }
    if (!keep) {
        smbc_getFunctionRmdir(c)(c, url.c_str());
    }
}

}  // namespace

std::optional<std::string> testShare() {
    const std::string share = environment("KAVRIN_TEST_SHARE");
    if (share.empty()) {
        return std::nullopt;
    }
    return share;
}

std::string testServer() {
    const std::string share = testShare().value_or("");
    const std::size_t end = share.find('\\', 2);
    return share.substr(2, end == std::string::npos ? std::string::npos : end - 2);
}

ShareCredentials testCredentials() {
    ShareCredentials credentials;
    credentials.user = environment("KAVRIN_TEST_SHARE_USER");
    credentials.password = environment("KAVRIN_TEST_SHARE_PASSWORD");
    return credentials;
}

void useTestCredentials() {
    ShareSettings settings;
    settings.credentials = testCredentials();
    setShareSettings(std::move(settings));
}

bool isTestFolder(const std::string& name) {
    return name.starts_with(kFolderPrefix);
}

ShareFolder::ShareFolder(bool root) : m_root(root) {
    const std::optional<std::string> share = testShare();
    if (!share) {
        throw std::runtime_error("no test share (KAVRIN_TEST_SHARE)");
    }
    if (root) {
        m_path = *share;
        return;
    }
    static int counter = 0;
    m_path = *share + "\\" + kFolderPrefix + std::to_string(::getpid()) + "-" +
             std::to_string(++counter);
    SMBCCTX* c = context();
    if (smbc_getFunctionMkdir(c)(c, smbUrl(m_path).c_str(), 0777) != 0) {
        throw std::runtime_error("cannot create " + m_path + ": " + std::strerror(errno));
    }
}

ShareFolder::~ShareFolder() {
    try {
        removeTree(m_path, m_root);
    } catch (const std::exception&) {
        // a test folder left on a temporary share goes with the server's folder
    }
}

std::string ShareFolder::file(const std::string& name) const {
    return m_path + "\\" + name;
}

}  // namespace kavrin::test
