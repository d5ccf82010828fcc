#include <windows.h>

#include <cstdlib>
#include <random>

#include "common/TestPlatform.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/WideText.h"

namespace kavrin::test {

namespace {

// Removes `path` and everything below it, by the text of the path alone: the standard library's
// paths would turn a share's path into a folder of the current drive.
void removeTree(FileSystem& fs, const std::string& path) {
    std::wstring name;
    if (!toWide(path, name)) {
        return;
    }
    if (fs.status(path).isDirectory) {
        try {
            for (const std::string& entry : fs.listDirectory(path)) {
                removeTree(fs, joinPath(path, entry));
            }
        } catch (const std::exception&) {
            // removed as far as it goes
        }
        RemoveDirectoryW(name.c_str());
    } else {
        DeleteFileW(name.c_str());
    }
}

}  // namespace

std::string forPlatform([[maybe_unused]] const std::string& posix, const std::string& windows) {
    return windows;
}

std::size_t openHandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

bool writersKeepReadersOut() {
    return true;
}

bool permissionsBind() {
    return false;
}

std::shared_ptr<const std::string> testShareFolder() {
    const char* server = std::getenv("KAVRIN_TEST_SERVER");
    if (server == nullptr || *server == '\0') {
        return nullptr;
    }
    const std::string share = UncServerPrefix(server) + "\\Kavrin$";
    FileSystem& fs = localFileSystem();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string folder =
            joinPath(share, "kavrin-test-" + std::to_string(random() % 1000000000000ULL));
        if (fs.createDirectory(folder)) {
            return std::shared_ptr<const std::string>(new std::string(folder),
                                                      [](const std::string* created) {
                                                          removeTree(localFileSystem(), *created);
                                                          delete created;
                                                      });
        }
    }
    return nullptr;
}

}  // namespace kavrin::test
