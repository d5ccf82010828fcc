#include "common/FaultyFileSystem.h"

#include <cerrno>
#include <exception>
#include <utility>
#include <vector>

#include "support/platform/Errors.h"

namespace kavrin::test {

namespace {

constexpr const char* kInjected = "Injected fault";
constexpr const char* kLostReply = "Injected fault after the operation took effect";

const char* kindName(FileOp op) {
    switch (op) {
        case FileOp::Status:
            return "status";
        case FileOp::ListDirectory:
            return "listDirectory";
        case FileOp::ReadFile:
            return "readFile";
        case FileOp::WriteFile:
            return "writeFile";
        case FileOp::Rename:
            return "rename";
        case FileOp::Remove:
            return "remove";
        case FileOp::CreateDirectories:
            return "createDirectories";
        case FileOp::CreateDirectory:
            return "createDirectory";
        case FileOp::SyncDirectory:
            return "syncDirectory";
        case FileOp::CreateExclusive:
            return "createExclusive";
        case FileOp::HoldState:
            return "holdState";
        case FileOp::TakeOver:
            return "takeOver";
        case FileOp::RemoveHeld:
            return "removeHeld";
        case FileOp::Any:
            break;
    }
    return "any";
}

}  // namespace

void FaultyFileSystem::failAt(FileOp op, int n) {
    m_failAt[index(op)] = m_calls[index(op)] + n;
}

void FaultyFileSystem::makeReadOnly(const std::string& folder) {
    m_readOnly.push_back(folder);
}

void FaultyFileSystem::crashAfter(int n, bool tearWrite) {
    m_crashAt = m_calls[index(FileOp::Any)] + n;
    m_tearWrite = tearWrite;
}

void FaultyFileSystem::atOperation(int n, std::function<void()> action) {
    m_actionAt = m_calls[index(FileOp::Any)] + n;
    m_action = std::move(action);
}

void FaultyFileSystem::reset() {
    m_crashAt = -1;
    m_actionAt = -1;
    m_action = {};
    m_tearWrite = false;
    m_crashed = false;
    m_calls = {};
    m_failAt = {};
    m_readOnly.clear();
    m_corruptSuffix.clear();
    m_corruptWrites = 0;
    m_journal.clear();
    m_faults = 0;
    m_changes = 0;
    m_effectFailAt = -1;
}

bool FaultyFileSystem::effectFails() {
    if (++m_changes != m_effectFailAt) {
        return false;
    }
    ++m_faults;
    return true;
}

bool FaultyFileSystem::due(FileOp op, const std::string& what, const std::function<void()>& tear) {
    if (m_crashAt >= 0 && (m_crashed || m_calls[index(FileOp::Any)] >= m_crashAt)) {
        if (!m_crashed) {
            m_crashed = true;
            m_journal.push_back(std::string("crash at ") + kindName(op) + " " + what);
            if (m_tearWrite && tear) {
                try {
                    tear();
                } catch (const std::exception&) {
                    // A write that could not even start leaves nothing to tear.
                }
            }
        }
        throw SimulatedCrash{};
    }
    if (m_action && m_calls[index(FileOp::Any)] + 1 == m_actionAt) {
        const std::function<void()> action = std::move(m_action);
        m_action = {};
        action();
    }
    m_journal.push_back(std::string(kindName(op)) + " " + what);
    const int own = ++m_calls[index(op)];
    const int any = ++m_calls[index(FileOp::Any)];
    return own == m_failAt[index(op)] || any == m_failAt[index(FileOp::Any)];
}

bool FaultyFileSystem::readOnly(const std::string& path) const {
    for (const std::string& folder : m_readOnly) {
        if (path == folder || (path.starts_with(folder) && path.size() > folder.size() &&
                               (path[folder.size()] == '/' || path[folder.size()] == '\\'))) {
            return true;
        }
    }
    return false;
}

void FaultyFileSystem::fail(const char* verb, const std::string& path, const std::string& reason) {
    ++m_faults;
    throw KavrinError(formatText("%s \"%s\". %s", verb, path.c_str(), reason.c_str()));
}

FileStatus FaultyFileSystem::status(const std::string& path) {
    if (due(FileOp::Status, path)) {
        ++m_faults;
        return {};
    }
    return m_inner.status(path);
}

std::vector<std::string> FaultyFileSystem::listDirectory(const std::string& dir) {
    if (due(FileOp::ListDirectory, dir)) {
        fail("Cannot read directory", dir, kInjected);
    }
    return m_inner.listDirectory(dir);
}

FileBytes FaultyFileSystem::readWholeFile(const std::string& path) {
    return readFileReporting(path, {});
}

FileBytes FaultyFileSystem::readFileReporting(const std::string& path,
                                              const FileProgress& progress) {
    if (due(FileOp::ReadFile, path)) {
        fail("Cannot open file", path, kInjected);
    }
    return m_inner.readFile(path, progress);
}

void FaultyFileSystem::readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) {
    if (due(FileOp::ReadFile, path + " (in blocks)")) {
        fail("Cannot open file", path, kInjected);
    }
    m_inner.readFileInBlocks(path, consume);
}

void FaultyFileSystem::writeWholeFile(const std::string& path,
                                      std::span<const std::span<const std::uint8_t>> parts,
                                      bool durable) {
    writeFileReporting(path, parts, durable, {});
}

void FaultyFileSystem::writeFileReporting(const std::string& path,
                                          std::span<const std::span<const std::uint8_t>> parts,
                                          bool durable, const FileProgress& progress) {
    const auto content = [parts] {
        std::vector<std::uint8_t> bytes;
        for (const auto& part : parts) {
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        return bytes;
    };
    if (!writeDone(path, durable, content, progress)) {
        m_inner.writeFile(path, parts, durable, progress);
    }
    if (effectFails()) {
        throw KavrinError("Cannot write file \"" + path + "\". " + kLostReply);
    }
}

void FaultyFileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                         const FileProducer& produce, bool durable,
                                         const FileProgress& progress) {
    const auto content = [&produce] {
        GatheringSink gather;
        produce(gather);
        return std::move(gather.content);
    };
    if (!writeDone(path, durable, content, progress)) {
        m_inner.writeFileInBlocks(path, size, produce, durable, progress);
    }
    if (effectFails()) {
        throw KavrinError("Cannot write file \"" + path + "\". " + kLostReply);
    }
}

FileCopy FaultyFileSystem::copyFile(const std::string& from, const std::string& to, bool durable,
                                    const FileProgress& progress) {
    FileCopy copy = copyThroughProgram(m_inner, from, to, durable, progress);
    if (m_copiesAs) {
        copy.method = *m_copiesAs;
        copy.crc.reset();
    }
    return copy;
}

bool FaultyFileSystem::writeDone(const std::string& path, bool durable,
                                 const std::function<std::vector<std::uint8_t>()>& content,
                                 const FileProgress& progress) {
    const auto tear = [&] {
        const std::vector<std::uint8_t> bytes = content();
        const std::span<const std::uint8_t> half[] = {
            std::span<const std::uint8_t>(bytes).first(bytes.size() / 2)};
        m_inner.writeFile(path, half, false);
    };
    if (due(FileOp::WriteFile, durable ? path + " (durable)" : path, tear)) {
        fail("Cannot create file", path, kInjected);
    }
    // Creating a file needs the right to write its folder; rewriting one that exists does not.
    if (readOnly(path) && !m_inner.status(path).exists) {
        const std::size_t slash = path.find_last_of("/\\");
        if (slash != std::string::npos && m_inner.status(path.substr(0, slash)).isDirectory) {
            fail("Cannot create file", path, systemErrorText(EACCES));
        }
    }
    if (m_corruptWrites > 0 && path.ends_with(m_corruptSuffix)) {
        --m_corruptWrites;
        std::vector<std::uint8_t> bytes = content();
        if (!bytes.empty()) {
            bytes.back() ^= 0x5A;
        }
        const std::span<const std::uint8_t> damaged[] = {bytes};
        m_inner.writeFile(path, damaged, durable, progress);
        return true;
    }
    return false;
}

void FaultyFileSystem::rename(const std::string& from, const std::string& to) {
    if (m_twoStepReplace) {
        const FileStatus target = m_inner.status(to);
        if (target.exists && !target.isDirectory && m_inner.status(from).exists) {
            remove(to);
        }
    }
    if (due(FileOp::Rename, from + " -> " + to)) {
        fail("Cannot rename file", from, kInjected);
    }
    if (readOnly(from) || readOnly(to)) {
        fail("Cannot rename file", from, systemErrorText(EACCES));
    }
    m_inner.rename(from, to);
    if (effectFails()) {
        throw KavrinError("Cannot rename file \"" + from + "\" to \"" + to + "\". " + kLostReply);
    }
}

void FaultyFileSystem::remove(const std::string& path) {
    if (due(FileOp::Remove, path)) {
        fail("Cannot delete file", path, kInjected);
    }
    if (readOnly(path)) {
        fail("Cannot delete file", path, systemErrorText(EACCES));
    }
    m_inner.remove(path);
    if (effectFails()) {
        throw KavrinError("Cannot delete file \"" + path + "\". " + kLostReply);
    }
}

void FaultyFileSystem::createDirectories(const std::string& path) {
    if (due(FileOp::CreateDirectories, path)) {
        fail("Cannot create directory", path, kInjected);
    }
    // Only a level that is missing needs the right to write.
    if (readOnly(path) && !m_inner.status(path).isDirectory) {
        fail("Cannot create directory", path, systemErrorText(EACCES));
    }
    m_inner.createDirectories(path);
    if (effectFails()) {
        throw KavrinError("Cannot create directory \"" + path + "\". " + kLostReply);
    }
}

bool FaultyFileSystem::createDirectory(const std::string& path) {
    if (due(FileOp::CreateDirectory, path)) {
        fail("Cannot create directory", path, kInjected);
    }
    if (readOnly(path)) {
        if (m_inner.status(path).exists) {
            return false;
        }
        fail("Cannot create directory", path, systemErrorText(EACCES));
    }
    const bool created = m_inner.createDirectory(path);
    return effectFails() ? false : created;
}

void FaultyFileSystem::syncDirectory(const std::string& dir) {
    if (due(FileOp::SyncDirectory, dir)) {
        fail("Cannot flush directory", dir, kInjected);
    }
    m_inner.syncDirectory(dir);
    if (effectFails()) {
        throw KavrinError("Cannot flush directory \"" + dir + "\". " + kLostReply);
    }
}

class FaultyFileSystem::Held final : public HeldFile {
public:
    Held(FaultyFileSystem& fs, std::string path, std::unique_ptr<HeldFile> inner)
        : m_fs(fs), m_path(std::move(path)), m_inner(std::move(inner)) {}
    void remove() override {
        if (m_fs.due(FileOp::RemoveHeld, m_path)) {
            m_fs.fail("Cannot delete file", m_path, kInjected);
        }
        if (m_fs.readOnly(m_path)) {
            m_fs.fail("Cannot delete file", m_path, systemErrorText(EACCES));
        }
        m_inner->remove();
        if (m_fs.effectFails()) {
            throw KavrinError("Cannot delete file \"" + m_path + "\". " + kLostReply);
        }
    }

private:
    FaultyFileSystem& m_fs;
    std::string m_path;
    std::unique_ptr<HeldFile> m_inner;
};

std::unique_ptr<HeldFile> FaultyFileSystem::createExclusive(const std::string& path,
                                                            std::span<const std::uint8_t> content) {
    if (due(FileOp::CreateExclusive, path)) {
        fail("Cannot create file", path, kInjected);
    }
    if (readOnly(path) && !m_inner.status(path).exists) {
        fail("Cannot create file", path, systemErrorText(EACCES));
    }
    std::unique_ptr<HeldFile> held = m_inner.claims().createExclusive(path, content);
    if (held && effectFails()) {
        return nullptr;  // made, and let go as the holder that never learnt of it would
    }
    return held ? std::make_unique<Held>(*this, path, std::move(held)) : nullptr;
}

HoldState FaultyFileSystem::holdState(const std::string& path) {
    if (due(FileOp::HoldState, path)) {
        ++m_faults;
        return HoldState::Unknown;
    }
    return m_inner.claims().holdState(path);
}

std::unique_ptr<HeldFile> FaultyFileSystem::takeOver(const std::string& path,
                                                     std::span<const std::uint8_t> expected,
                                                     std::span<const std::uint8_t> content) {
    if (due(FileOp::TakeOver, path)) {
        fail("Cannot open file", path, kInjected);
    }
    if (readOnly(path)) {
        fail("Cannot open file", path, systemErrorText(EACCES));
    }
    std::unique_ptr<HeldFile> held = m_inner.claims().takeOver(path, expected, content);
    if (held && effectFails()) {
        return nullptr;
    }
    return held ? std::make_unique<Held>(*this, path, std::move(held)) : nullptr;
}

}  // namespace kavrin::test
