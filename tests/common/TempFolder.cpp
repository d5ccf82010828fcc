#include "common/TempFolder.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kavrin::test {

TempFolder::TempFolder()
    : TempFolder([] {
          const char* base = std::getenv("TMPDIR");
          return std::string((base != nullptr && *base != '\0') ? base : "/tmp");
      }()) {}

TempFolder::TempFolder(const std::string& base) {
    std::string pattern = base + "/kavrin-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern + ": " + std::strerror(errno));
    }
    m_path = name.data();
}

TempFolder::~TempFolder() {
    // Tests take permissions away to provoke failures; give them back so that removal succeeds.
    std::error_code error;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, error);
        }
    }
    std::filesystem::remove_all(m_path, error);
}

std::string TempFolder::file(const std::string& name) const {
    return m_path + "/" + name;
}

}  // namespace kavrin::test
