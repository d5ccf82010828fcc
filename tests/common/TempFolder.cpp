#include "common/TempFolder.h"

#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

#include "support/fs/Paths.h"

namespace kavrin::test {

namespace {

// The program's text (UTF-8) of a path of the standard library, and back.
std::string textOf(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path pathOf(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

// The system's temporary folder: $TMPDIR or /tmp; on Windows %TMP%.
TempFolder::TempFolder() : TempFolder(textOf(std::filesystem::temp_directory_path())) {}

TempFolder::TempFolder(const std::string& base) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate =
            pathOf(base) / ("kavrin-test-" + std::to_string(random() % 1000000000000ULL));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = textOf(candidate);
            return;
        }
        if (error) {
            throw std::runtime_error("cannot create a folder in " + base + ": " + error.message());
        }
    }
    throw std::runtime_error("no free folder name in " + base);
}

TempFolder::~TempFolder() {
    // Tests take permissions away to provoke failures; give them back so that removal succeeds.
    const std::filesystem::path root = pathOf(m_path);
    std::error_code error;
    std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, error);
        }
    }
    std::filesystem::remove_all(root, error);
}

std::string TempFolder::file(const std::string& name) const {
    return joinPath(m_path, name);
}

}  // namespace kavrin::test
