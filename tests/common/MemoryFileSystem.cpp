#include "common/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin::test {

namespace {

constexpr const char* kMissing = "No such file or directory";

[[noreturn]] void fail(const char* what, const std::string& path, const char* reason) {
    throw KavrinError(formatText("%s \"%s\". %s", what, path.c_str(), reason));
}

}  // namespace

std::string MemoryFileSystem::normal(const std::string& path) {
    // Doubled separators name the same place, as on a real disk. Where the machine's paths are
    // written with '\\', both separators are, as the engine joins names with its own.
    const bool backslashes = nativeSeparator() == '\\';
    // Nearly every path comes normal already (the engine joins names to a normal folder): it is
    // taken whole rather than rebuilt a character at a time, as the fuzzers ask thousands of
    // times a second.
    const bool alreadyNormal = path.starts_with('/') &&
                               (path.size() == 1 || !path.ends_with('/')) &&
                               path.find("//") == std::string::npos &&
                               (!backslashes || path.find('\\') == std::string::npos);
    if (alreadyNormal) {
        return path;
    }
    std::string result;
    result.reserve(path.size() + 1);
    for (char c : path) {
        if (backslashes && c == '\\') {
            c = '/';
        }
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

std::string MemoryFileSystem::stored(const std::string& path) const {
    const std::string p = normal(path);
    if (m_case == Case::Sensitive || p == "/" || files.count(p) != 0 || m_dirs.count(p) != 0) {
        return p;
    }
    const std::string parent = stored(parentOf(p));
    const std::string name = p.substr(p.rfind('/') + 1);
    const auto sameName = [&](const std::string& key) {
        return parentOf(key) == parent &&
               asciiCompareText(key.substr(key.rfind('/') + 1), name) == 0;
    };
    for (const auto& [key, bytes] : files) {
        if (sameName(key)) {
            return key;
        }
    }
    for (const std::string& key : m_dirs) {
        if (key != "/" && sameName(key)) {
            return key;
        }
    }
    return (parent == "/" ? "/" : parent + "/") + name;
}

FileStatus MemoryFileSystem::status(const std::string& path) {
    const std::string p = stored(path);
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
    const std::string d = stored(dir);
    if (m_dirs.count(d) == 0) {
        fail("Cannot read directory", dir, files.count(d) != 0 ? "Not a directory" : kMissing);
    }
    std::vector<std::string> names;
    // The entries right inside `d`: "<d>/name" with no further separator.
    const std::size_t prefix = d == "/" ? 1 : d.size() + 1;
    auto collect = [&](const std::string& p) {
        if (p.size() > prefix && p.compare(0, d.size(), d) == 0 && p[prefix - 1] == '/' &&
            p.find('/', prefix) == std::string::npos) {
            names.push_back(p.substr(prefix));
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

FileBytes MemoryFileSystem::readWholeFile(const std::string& path) {
    auto it = files.find(stored(path));
    if (it == files.end()) {
        fail("Cannot open file", path, isDirectory(path) ? "Is a directory" : kMissing);
    }
    FileBytes bytes;
    bytes.size = it->second.size();
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size);
    if (bytes.size > 0) {
        std::memcpy(bytes.data.get(), it->second.data(), bytes.size);
    }
    return bytes;
}

void MemoryFileSystem::writeWholeFile(const std::string& path,
                                      std::span<const std::span<const std::uint8_t>> parts,
                                      bool /*durable*/) {
    const std::string p = stored(path);
    if (m_dirs.count(p) != 0) {
        fail("Cannot create file", path, "Is a directory");
    }
    if (m_dirs.count(parentOf(p)) == 0) {
        fail("Cannot create file", path, kMissing);
    }
    std::vector<std::uint8_t>& bytes = files[p];
    bytes.clear();
    std::size_t size = 0;
    for (const auto& part : parts) {
        size += part.size();
    }
    bytes.reserve(size);
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    m_times[p] = ++m_clock;
}

void MemoryFileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                         const FileProducer& produce, bool durable,
                                         const FileProgress& progress) {
    writeFile(path, {}, durable);
    class Sink final : public FileSink {
    public:
        Sink(std::vector<std::uint8_t>& file, std::uint64_t size, const FileProgress& progress)
            : m_file(file), m_size(size), m_progress(progress) {}
        void write(std::span<const std::uint8_t> bytes) override {
            m_file.insert(m_file.end(), bytes.begin(), bytes.end());
            if (m_progress && m_file.size() < m_size) {
                m_progress(m_file.size(), m_size);
            }
        }

    private:
        std::vector<std::uint8_t>& m_file;
        std::uint64_t m_size;
        const FileProgress& m_progress;
    };
    std::vector<std::uint8_t>& file = files[stored(path)];
    Sink sink(file, size, progress);
    produce(sink);
    m_times[stored(path)] = ++m_clock;
    if (file.size() != size) {
        throwWrongFileSize(path, file.size(), size);
    }
    if (progress) {
        progress(size, size);
    }
}

void MemoryFileSystem::rename(const std::string& from, const std::string& to) {
    auto it = files.find(stored(from));
    const std::string target = stored(to);
    const char* reason = nullptr;
    if (it == files.end() || m_dirs.count(parentOf(target)) == 0) {
        reason = kMissing;
    } else if (m_dirs.count(target) != 0) {
        reason = "Is a directory";
    }
    if (reason != nullptr) {
        throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                     to.c_str(), reason));
    }
    std::vector<std::uint8_t> bytes = std::move(it->second);
    files.erase(it);
    files[target] = std::move(bytes);
    m_times[target] = ++m_clock;
}

void MemoryFileSystem::remove(const std::string& path) {
    if (files.erase(stored(path)) == 0) {
        fail("Cannot delete file", path, isDirectory(path) ? "Is a directory" : kMissing);
    }
}

void MemoryFileSystem::createDirectories(const std::string& path) {
    std::vector<std::string> missing;
    for (std::string level = stored(path); level != "/" && m_dirs.count(level) == 0;
         level = parentOf(level)) {
        if (files.count(level) != 0) {
            fail("Cannot create directory", path, "Not a directory");
        }
        missing.push_back(level);
    }
    m_dirs.insert(missing.begin(), missing.end());
}

bool MemoryFileSystem::createDirectory(const std::string& path) {
    const std::string p = stored(path);
    if (m_dirs.count(p) != 0 || files.count(p) != 0) {
        return false;
    }
    if (m_dirs.count(parentOf(p)) == 0) {
        fail("Cannot create directory", path, kMissing);
    }
    m_dirs.insert(p);
    return true;
}

void MemoryFileSystem::syncDirectory(const std::string& dir) {
    if (!isDirectory(dir)) {
        fail("Cannot flush directory", dir, kMissing);
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
    const std::string p = stored(path);
    if (files.count(p) != 0 || m_dirs.count(p) != 0) {
        return nullptr;
    }
    const std::span<const std::uint8_t> parts[] = {content};
    writeFile(path, parts, false);
    return hold(p);
}

HoldState MemoryFileSystem::holdState(const std::string& path) {
    const std::string p = stored(path);
    if (!advisoryLocks || files.count(p) == 0) {
        return HoldState::Unknown;
    }
    return m_holds.byPath.count(p) != 0 ? HoldState::Held : HoldState::Free;
}

std::unique_ptr<HeldFile> MemoryFileSystem::takeOver(const std::string& path,
                                                     std::span<const std::uint8_t> expected,
                                                     std::span<const std::uint8_t> content) {
    const std::string p = stored(path);
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
