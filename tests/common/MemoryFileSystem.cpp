#include "common/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/Errors.h"

namespace kavrin::test {

std::string MemoryFileSystem::normal(const std::string& path) {
    // Doubled separators name the same place, as on a real disk.
    std::string result;
    for (char c : path) {
        if (c == '/' && !result.empty() && result.back() == '/') {
            continue;
        }
        result += c;
    }
    if (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    if (result.empty() || result[0] != '/') {
        result.insert(result.begin(), '/');
    }
    return result;
}

std::string MemoryFileSystem::parentOf(const std::string& path) {
    const std::string p = normal(path);
    const std::size_t slash = p.rfind('/');
    return slash == 0 ? "/" : p.substr(0, slash);
}

FileStatus MemoryFileSystem::status(const std::string& path) {
    const std::string p = normal(path);
    FileStatus s;
    if (m_dirs.count(p) != 0) {
        s.exists = true;
        s.isDirectory = true;
    } else if (auto it = files.find(p); it != files.end()) {
        s.exists = true;
        s.size = it->second.size();
        s.modifiedNs = m_times[p];
    }
    return s;
}

std::vector<std::string> MemoryFileSystem::listDirectory(const std::string& dir) {
    const std::string d = normal(dir);
    if (m_dirs.count(d) == 0) {
        throw KavrinError("Cannot read directory \"" + dir + "\". No such file or directory");
    }
    std::vector<std::string> names;
    auto collect = [&](const std::string& p) {
        if (p != d && parentOf(p) == d) {
            names.push_back(p.substr(p.rfind('/') + 1));
        }
    };
    for (const auto& [p, bytes] : files) {
        collect(p);
    }
    for (const std::string& p : m_dirs) {
        collect(p);
    }
    return names;
}

FileBytes MemoryFileSystem::readFile(const std::string& path) {
    auto it = files.find(normal(path));
    if (it == files.end()) {
        throw KavrinError("Cannot open file \"" + path + "\". " +
                          (isDirectory(path) ? "Is a directory" : "No such file or directory"));
    }
    FileBytes bytes;
    bytes.size = it->second.size();
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size);
    if (bytes.size > 0) {
        std::memcpy(bytes.data.get(), it->second.data(), bytes.size);
    }
    return bytes;
}

void MemoryFileSystem::writeFile(const std::string& path,
                                 std::span<const std::span<const std::uint8_t>> parts,
                                 bool /*durable*/) {
    const std::string p = normal(path);
    if (m_dirs.count(parentOf(p)) == 0 || m_dirs.count(p) != 0) {
        throw KavrinError("Cannot create file \"" + path + "\". " +
                          (m_dirs.count(p) != 0 ? "Is a directory" : "No such file or directory"));
    }
    std::vector<std::uint8_t>& bytes = files[p];
    bytes.clear();
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    m_times[p] = ++m_clock;
}

void MemoryFileSystem::rename(const std::string& from, const std::string& to) {
    auto it = files.find(normal(from));
    if (it == files.end() || m_dirs.count(parentOf(to)) == 0) {
        throw KavrinError("Cannot rename file \"" + from + "\" to \"" + to +
                          "\". No such file or directory");
    }
    std::vector<std::uint8_t> bytes = std::move(it->second);
    files.erase(it);
    files[normal(to)] = std::move(bytes);
    m_times[normal(to)] = ++m_clock;
}

void MemoryFileSystem::remove(const std::string& path) {
    if (files.erase(normal(path)) == 0) {
        throw KavrinError("Cannot delete file \"" + path + "\". No such file or directory");
    }
}

void MemoryFileSystem::createDirectories(const std::string& path) {
    const std::string p = normal(path);
    if (files.count(p) != 0) {
        throw KavrinError("Cannot create directory \"" + path + "\". File exists");
    }
    if (p != "/" && m_dirs.count(p) == 0) {
        createDirectories(parentOf(p));
        m_dirs.insert(p);
    }
}

bool MemoryFileSystem::createDirectory(const std::string& path) {
    const std::string p = normal(path);
    if (m_dirs.count(p) != 0 || files.count(p) != 0) {
        return false;
    }
    if (m_dirs.count(parentOf(p)) == 0) {
        throw KavrinError("Cannot create directory \"" + path + "\". No such file or directory");
    }
    m_dirs.insert(p);
    return true;
}

void MemoryFileSystem::syncDirectory(const std::string& dir) {
    if (!isDirectory(dir)) {
        throw KavrinError("Cannot flush directory \"" + dir + "\". No such file or directory");
    }
}

class MemoryFileSystem::Held final : public HeldFile {
public:
    Held(MemoryFileSystem& fs, std::string path, int id)
        : m_fs(fs), m_path(std::move(path)), m_id(id) {}
    ~Held() override {
        const auto it = m_fs.m_holds.byPath.find(m_path);
        if (it != m_fs.m_holds.byPath.end() && it->second == m_id) {
            m_fs.m_holds.byPath.erase(it);
        }
    }
    void remove() override {
        const auto it = m_fs.m_holds.byPath.find(m_path);
        if (it != m_fs.m_holds.byPath.end() && it->second == m_id) {
            m_fs.files.erase(m_path);
        }
    }

private:
    MemoryFileSystem& m_fs;
    std::string m_path;
    int m_id;
};

std::unique_ptr<HeldFile> MemoryFileSystem::hold(const std::string& path) {
    const int id = ++m_holds.next;
    m_holds.byPath[path] = id;
    return std::make_unique<Held>(*this, path, id);
}

std::unique_ptr<HeldFile> MemoryFileSystem::createExclusive(const std::string& path,
                                                            std::span<const std::uint8_t> content) {
    const std::string p = normal(path);
    if (files.count(p) != 0 || m_dirs.count(p) != 0) {
        return nullptr;
    }
    const std::span<const std::uint8_t> parts[] = {content};
    writeFile(path, parts, false);
    return hold(p);
}

HoldState MemoryFileSystem::holdState(const std::string& path) {
    const std::string p = normal(path);
    if (!advisoryLocks || files.count(p) == 0) {
        return HoldState::Unknown;
    }
    return m_holds.byPath.count(p) != 0 ? HoldState::Held : HoldState::Free;
}

std::unique_ptr<HeldFile> MemoryFileSystem::takeOver(const std::string& path,
                                                     std::span<const std::uint8_t> expected,
                                                     std::span<const std::uint8_t> content) {
    const std::string p = normal(path);
    const auto it = files.find(p);
    if (it == files.end() || (advisoryLocks && m_holds.byPath.count(p) != 0) ||
        !std::equal(it->second.begin(), it->second.end(), expected.begin(), expected.end())) {
        return nullptr;
    }
    const std::span<const std::uint8_t> parts[] = {content};
    writeFile(path, parts, false);
    return hold(p);
}

}  // namespace kavrin::test
