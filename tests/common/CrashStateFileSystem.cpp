#include "common/CrashStateFileSystem.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin::test {

namespace {

std::string normal(const std::string& path) {
    // Where the machine's paths are written with '\\', both separators are, as the engine joins
    // names with its own.
    const bool backslashes = nativeSeparator() == '\\';
    std::string result;
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

std::string parentOf(const std::string& p) {
    const std::size_t slash = p.rfind('/');
    return slash == 0 ? "/" : p.substr(0, slash);
}

std::string nameOf(const std::string& p) {
    return p.substr(p.rfind('/') + 1);
}

std::string childOf(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

CrashStateFileSystem::CrashStateFileSystem() {
    m_model.live["/"];
    m_model.durable["/"];
}

const CrashStateFileSystem::Entry* CrashStateFileSystem::find(const std::string& path) const {
    static const Entry root{true, 0};
    const std::string p = normal(path);
    if (p == "/") {
        return &root;
    }
    const auto folder = m_model.live.find(parentOf(p));
    if (folder == m_model.live.end()) {
        return nullptr;
    }
    const auto entry = folder->second.find(nameOf(p));
    return entry == folder->second.end() ? nullptr : &entry->second;
}

FileStatus CrashStateFileSystem::status(const std::string& path) {
    FileStatus s;
    if (const Entry* entry = find(path)) {
        s.exists = true;
        s.isDirectory = entry->directory;
        if (!entry->directory) {
            const Inode& inode = m_model.inodes[entry->inode];
            s.size = inode.data.size();
            s.modifiedNs = inode.time;
        }
    }
    return s;
}

std::vector<std::string> CrashStateFileSystem::listDirectory(const std::string& dir) {
    const auto folder = m_model.live.find(normal(dir));
    if (folder == m_model.live.end()) {
        throw KavrinError("Cannot read directory \"" + dir + "\". No such file or directory");
    }
    std::vector<std::string> names;
    for (const auto& [name, entry] : folder->second) {
        names.push_back(name);
    }
    return names;
}

FileBytes CrashStateFileSystem::readWholeFile(const std::string& path) {
    const Entry* entry = find(path);
    if (entry == nullptr || entry->directory) {
        throw KavrinError("Cannot open file \"" + path + "\". " +
                          (entry ? "Is a directory" : "No such file or directory"));
    }
    const std::vector<std::uint8_t>& data = m_model.inodes[entry->inode].data;
    FileBytes bytes;
    bytes.size = data.size();
    bytes.data = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size);
    if (bytes.size > 0) {
        std::memcpy(bytes.data.get(), data.data(), bytes.size);
    }
    return bytes;
}

void CrashStateFileSystem::writeWholeFile(const std::string& path,
                                          std::span<const std::span<const std::uint8_t>> parts,
                                          bool durable) {
    const std::string p = normal(path);
    const Entry* entry = find(p);
    if (m_model.live.count(parentOf(p)) == 0 || (entry != nullptr && entry->directory)) {
        throw KavrinError("Cannot create file \"" + path + "\". " +
                          (entry ? "Is a directory" : "No such file or directory"));
    }
    Step step{Step::Write, p, {}, {}};
    for (const auto& part : parts) {
        step.bytes.insert(step.bytes.end(), part.begin(), part.end());
    }
    record(std::move(step));
    if (durable) {
        record({Step::Flush, p, {}, {}});
    }
}

void CrashStateFileSystem::writeFileInBlocks(const std::string& path, std::uint64_t size,
                                             const FileProducer& produce, bool durable,
                                             const FileProgress& progress) {
    GatheringSink gather;
    try {
        produce(gather);
    } catch (...) {
        const std::span<const std::uint8_t> part[] = {gather.content};
        writeFile(path, part, false);
        throw;
    }
    const std::span<const std::uint8_t> whole[] = {gather.content};
    writeFile(path, whole, durable);
    if (gather.content.size() != size) {
        throwWrongFileSize(path, gather.content.size(), size);
    }
    if (progress) {
        progress(size, size);
    }
}

void CrashStateFileSystem::rename(const std::string& from, const std::string& to) {
    const std::string f = normal(from);
    const std::string t = normal(to);
    const Entry* source = find(f);
    const Entry* target = find(t);
    if (source == nullptr || source->directory || m_model.live.count(parentOf(t)) == 0 ||
        (target != nullptr && target->directory)) {
        throw KavrinError("Cannot rename file \"" + from + "\" to \"" + to +
                          "\". No such file or directory");
    }
    if (parentOf(f) != parentOf(t)) {
        // Which folder's flush makes such a rename durable differs between systems; the code
        // under test renames only within a folder.
        throw std::logic_error("a rename between folders is not modelled: " + from + " -> " + to);
    }
    record({Step::Rename, f, t, {}});
}

void CrashStateFileSystem::remove(const std::string& path) {
    const Entry* entry = find(path);
    if (entry == nullptr || entry->directory) {
        throw KavrinError("Cannot delete file \"" + path + "\". " +
                          (entry ? "Is a directory" : "No such file or directory"));
    }
    record({Step::Remove, normal(path), {}, {}});
}

void CrashStateFileSystem::createDirectories(const std::string& path) {
    const std::string p = normal(path);
    if (const Entry* entry = find(p); entry != nullptr) {
        if (!entry->directory) {
            throw KavrinError("Cannot create directory \"" + path + "\". File exists");
        }
        return;
    }
    createDirectories(parentOf(p));
    record({Step::MakeDirectory, p, {}, {}});
}

bool CrashStateFileSystem::createDirectory(const std::string& path) {
    const std::string p = normal(path);
    if (find(p) != nullptr) {
        return false;
    }
    const Entry* parent = find(parentOf(p));
    if (parent == nullptr || !parent->directory) {
        throw KavrinError("Cannot create directory \"" + path + "\". No such file or directory");
    }
    record({Step::MakeDirectory, p, {}, {}});
    return true;
}

void CrashStateFileSystem::syncDirectory(const std::string& dir) {
    const Entry* entry = find(dir);
    if (entry == nullptr || !entry->directory) {
        throw KavrinError("Cannot flush directory \"" + dir + "\". No such file or directory");
    }
    record({Step::SyncDirectory, normal(dir), {}, {}});
}

class CrashStateFileSystem::Held final : public HeldFile {
public:
    Held(CrashStateFileSystem& fs, std::string path, int id)
        : m_fs(fs), m_path(std::move(path)), m_id(id) {}
    ~Held() override {
        if (ours()) {
            m_fs.m_holds.byPath.erase(m_path);
        }
    }
    void remove() override {
        if (ours() && m_fs.find(m_path) != nullptr) {
            m_fs.record({Step::Remove, m_path, {}, {}});
        }
    }

private:
    bool ours() const {
        const auto it = m_fs.m_holds.byPath.find(m_path);
        return it != m_fs.m_holds.byPath.end() && it->second == m_id;
    }

    CrashStateFileSystem& m_fs;
    std::string m_path;
    int m_id;
};

std::unique_ptr<HeldFile> CrashStateFileSystem::createExclusive(
    const std::string& path, std::span<const std::uint8_t> content) {
    if (find(path) != nullptr) {
        return nullptr;
    }
    const std::span<const std::uint8_t> parts[] = {content};
    writeFile(path, parts, false);
    const int id = ++m_holds.next;
    m_holds.byPath[normal(path)] = id;
    return std::make_unique<Held>(*this, normal(path), id);
}

HoldState CrashStateFileSystem::holdState(const std::string& path) {
    const Entry* entry = find(path);
    if (entry == nullptr || entry->directory) {
        return HoldState::Unknown;
    }
    return m_holds.byPath.count(normal(path)) != 0 ? HoldState::Held : HoldState::Free;
}

std::unique_ptr<HeldFile> CrashStateFileSystem::takeOver(const std::string& path,
                                                         std::span<const std::uint8_t> expected,
                                                         std::span<const std::uint8_t> content) {
    const Entry* entry = find(path);
    if (entry == nullptr || entry->directory || m_holds.byPath.count(normal(path)) != 0) {
        return nullptr;
    }
    const std::vector<std::uint8_t>& data = m_model.inodes[entry->inode].data;
    if (!std::equal(data.begin(), data.end(), expected.begin(), expected.end())) {
        return nullptr;
    }
    const std::span<const std::uint8_t> parts[] = {content};
    writeFile(path, parts, false);
    const int id = ++m_holds.next;
    m_holds.byPath[normal(path)] = id;
    return std::make_unique<Held>(*this, normal(path), id);
}

void CrashStateFileSystem::record(Step step) {
    if (m_steps.empty()) {
        m_base = m_model;  // the disk at the last settle(), kept once something changes it
    }
    apply(m_model, step);
    m_steps.push_back(std::move(step));
}

namespace {

// Applies one folder operation to a folder's entries when its premise holds there.
template <typename Entries, typename Op>
bool applyOp(Entries& entries, const Op& op) {
    const auto it = entries.find(op.name);
    switch (op.kind) {
        case Op::Link:
            if (it != entries.end()) {
                return false;
            }
            entries[op.name] = op.entry;
            return true;
        case Op::Unlink:
            if (it == entries.end() || !(it->second == op.entry)) {
                return false;
            }
            entries.erase(it);
            return true;
        case Op::Rename:
            if (it == entries.end() || !(it->second == op.entry)) {
                return false;
            }
            entries.erase(it);
            entries[op.to] = op.entry;
            return true;
    }
    return false;
}

}  // namespace

void CrashStateFileSystem::apply(Model& model, const Step& step) {
    const std::string folder = parentOf(step.path);
    const std::string name = nameOf(step.path);
    switch (step.kind) {
        case Step::Write: {
            Entries& entries = model.live[folder];
            const auto it = entries.find(name);
            if (it != entries.end()) {
                Inode& inode = model.inodes[it->second.inode];  // emptied and written again
                inode.data = step.bytes;
                inode.time = ++model.clock;
                return;
            }
            const Entry entry{false, model.inodes.size()};
            model.inodes.push_back({step.bytes, {}, ++model.clock, 0});
            entries[name] = entry;
            model.pending.push_back({FolderOp::Link, folder, name, {}, entry});
            return;
        }
        case Step::Flush: {
            Inode& inode = model.inodes[model.live[folder].at(name).inode];
            inode.durable = inode.data;
            inode.durableTime = inode.time;
            return;
        }
        case Step::Rename: {
            Entries& entries = model.live[folder];
            const Entry entry = entries.at(name);
            entries.erase(name);
            entries[nameOf(step.to)] = entry;
            model.pending.push_back({FolderOp::Rename, folder, name, nameOf(step.to), entry});
            return;
        }
        case Step::Remove: {
            Entries& entries = model.live[folder];
            const Entry entry = entries.at(name);
            entries.erase(name);
            model.pending.push_back({FolderOp::Unlink, folder, name, {}, entry});
            return;
        }
        case Step::MakeDirectory: {
            const Entry entry{true, 0};
            model.live[folder][name] = entry;
            model.live[step.path];
            model.durable[step.path];
            model.pending.push_back({FolderOp::Link, folder, name, {}, entry});
            return;
        }
        case Step::SyncDirectory: {
            std::vector<FolderOp> rest;
            for (const FolderOp& op : model.pending) {
                if (op.folder == step.path) {
                    applyOp(model.durable[op.folder], op);
                } else {
                    rest.push_back(op);
                }
            }
            model.pending = std::move(rest);
            return;
        }
    }
}

void CrashStateFileSystem::settle() {
    CrashStateFileSystem::Model& m = m_model;
    m.durable = m.live;
    m.pending.clear();
    for (Inode& inode : m.inodes) {
        inode.durable = inode.data;
        inode.durableTime = inode.time;
    }
    m_steps.clear();
}

std::string CrashStateFileSystem::describeStep(std::size_t n) const {
    const Step& step = m_steps.at(n - 1);
    switch (step.kind) {
        case Step::Write:
            return "writeFile " + step.path;
        case Step::Flush:
            return "flush " + step.path;
        case Step::Rename:
            return "rename " + step.path + " -> " + step.to;
        case Step::Remove:
            return "remove " + step.path;
        case Step::MakeDirectory:
            return "createDirectory " + step.path;
        case Step::SyncDirectory:
            return "syncDirectory " + step.path;
    }
    return {};
}

// What a file holds after a crash when its content was `variant`: 0 lost (the durable content),
// 1 kept, 2 torn (its first half), 3 empty.
CrashStateFileSystem::Inode CrashStateFileSystem::surviving(const Inode& inode, int variant) {
    Inode result = inode;
    switch (variant) {
        case 0:
            result.data = inode.durable;
            result.time = inode.durableTime;
            break;
        case 1:
            break;
        case 2:
            result.data.resize(inode.data.size() / 2);
            break;
        default:
            result.data.clear();
            break;
    }
    result.durable = result.data;
    result.durableTime = result.time;
    return result;
}

std::vector<CrashStateFileSystem> CrashStateFileSystem::crashStates(std::size_t n,
                                                                    Coverage* coverage) const {
    Model model = m_steps.empty() ? m_model : m_base;
    for (std::size_t i = 0; i < n && i < m_steps.size(); ++i) {
        apply(model, m_steps[i]);
    }

    // The contents not yet durable of files that some entry, durable or not, names.
    std::set<std::size_t> named;
    for (const auto* folders : {&model.live, &model.durable}) {
        for (const auto& [folder, entries] : *folders) {
            for (const auto& [name, entry] : entries) {
                if (!entry.directory) {
                    named.insert(entry.inode);
                }
            }
        }
    }
    for (const FolderOp& op : model.pending) {
        if (!op.entry.directory) {
            named.insert(op.entry.inode);
        }
    }
    std::vector<std::size_t> contents;
    for (const std::size_t inode : named) {
        const Inode& i = model.inodes[inode];
        if (i.data != i.durable || i.time != i.durableTime) {
            contents.push_back(inode);
        }
    }

    std::vector<int> radix(model.pending.size(), 2);
    radix.resize(model.pending.size() + contents.size(), 4);
    std::size_t combinations = 1;
    for (const int r : radix) {
        combinations = combinations > kExhaustive ? combinations : combinations * r;
    }

    std::vector<std::vector<int>> choices;
    if (combinations <= kExhaustive) {
        std::vector<int> choice(radix.size(), 0);
        for (std::size_t c = 0; c < combinations; ++c) {
            choices.push_back(choice);
            for (std::size_t i = 0; i < choice.size() && ++choice[i] == radix[i]; ++i) {
                choice[i] = 0;
            }
        }
    } else {
        std::set<std::vector<int>> picked;
        const std::vector<int> lost(radix.size(), 0);
        const std::vector<int> kept(radix.size(), 1);
        for (const auto& from : {lost, kept}) {
            picked.insert(from);
            for (std::size_t i = 0; i < radix.size(); ++i) {
                std::vector<int> flipped = from;
                flipped[i] = from[i] == 0 ? 1 : 0;
                picked.insert(flipped);
            }
        }
        std::mt19937 random(static_cast<std::uint32_t>(n));
        for (std::size_t attempt = 0; picked.size() < kSampled && attempt < 8 * kSampled;
             ++attempt) {
            std::vector<int> choice(radix.size());
            for (std::size_t i = 0; i < choice.size(); ++i) {
                choice[i] = static_cast<int>(random() % static_cast<std::uint32_t>(radix[i]));
            }
            picked.insert(choice);
        }
        choices.assign(picked.begin(), picked.end());
    }
    if (coverage != nullptr) {
        double possible = 1;
        for (const int r : radix) {
            possible *= r;
        }
        coverage->possible += possible;
        coverage->built += choices.size();
        coverage->points += 1;
        coverage->sampledPoints += combinations > kExhaustive ? 1 : 0;
    }

    // Each combination is told by a signature of its files first; only new ones are built.
    std::map<std::pair<std::size_t, int>, std::string> described;  // (inode, variant) -> text
    const auto describe = [&](std::size_t inode, int variant) -> const std::string& {
        auto [it, added] = described.try_emplace({inode, variant});
        if (added) {
            it->second = contentText(surviving(model.inodes[inode], variant));
        }
        return it->second;
    };
    std::vector<CrashStateFileSystem> states;
    std::set<std::string> seen;
    for (const std::vector<int>& choice : choices) {
        std::map<std::string, Entries> entries = model.durable;
        for (std::size_t i = 0; i < model.pending.size(); ++i) {
            if (choice[i] == 1) {
                applyOp(entries[model.pending[i].folder], model.pending[i]);
            }
        }
        std::map<std::size_t, int> variants;  // a file not listed kept its durable content
        for (std::size_t j = 0; j < contents.size(); ++j) {
            variants[contents[j]] = choice[model.pending.size() + j];
        }
        const auto variantOf = [&](std::size_t inode) {
            const auto it = variants.find(inode);
            return it == variants.end() ? 0 : it->second;
        };
        // Only folders whose own entry survived are there.
        std::set<std::string> folders;
        for (std::vector<std::string> next = {"/"}; !next.empty();) {
            const std::string folder = next.back();
            next.pop_back();
            folders.insert(folder);
            for (const auto& [name, entry] : entries[folder]) {
                if (entry.directory) {
                    next.push_back(childOf(folder, name));
                }
            }
        }
        std::string signature;
        for (const std::string& folder : folders) {
            signature += "D " + folder + "\n";
            for (const auto& [name, entry] : entries[folder]) {
                if (!entry.directory) {
                    signature += "F " + name + " " + describe(entry.inode, variantOf(entry.inode));
                }
            }
        }
        if (!seen.insert(signature).second) {
            continue;
        }
        Model state;
        state.clock = model.clock;
        std::map<std::size_t, std::size_t> renumbered;  // inode of `model` -> of the state
        for (const std::string& folder : folders) {
            Entries found = entries[folder];
            for (auto& [name, entry] : found) {
                if (entry.directory) {
                    continue;
                }
                auto [it, added] = renumbered.try_emplace(entry.inode, state.inodes.size());
                if (added) {
                    state.inodes.push_back(
                        surviving(model.inodes[entry.inode], variantOf(entry.inode)));
                }
                entry.inode = it->second;
            }
            state.live[folder] = found;
            state.durable[folder] = std::move(found);
        }
        states.emplace_back();
        states.back().m_model = std::move(state);
    }
    return states;
}

std::optional<std::vector<std::uint8_t>> CrashStateFileSystem::contents(
    const std::string& path) const {
    const Entry* entry = find(path);
    if (entry == nullptr || entry->directory) {
        return std::nullopt;
    }
    return m_model.inodes[entry->inode].data;
}

std::string CrashStateFileSystem::fingerprint() const {
    return fingerprintOf(m_model);
}

// Time, size and two hashes of a file's content: equal for equal files, and short, as it is
// taken of every combination a crash point has.
std::string CrashStateFileSystem::contentText(const Inode& inode) {
    const std::string_view bytes(reinterpret_cast<const char*>(inode.data.data()),
                                 inode.data.size());
    return std::to_string(inode.time) + " " + std::to_string(inode.data.size()) + " " +
           std::to_string(crc32(inode.data)) + " " +
           std::to_string(std::hash<std::string_view>{}(bytes)) + "\n";
}

std::string CrashStateFileSystem::fingerprintOf(const Model& model) {
    std::string text;
    for (const auto& [folder, entries] : model.live) {
        text += "D " + folder + "\n";
        for (const auto& [name, entry] : entries) {
            if (!entry.directory) {
                text += "F " + name + " " + contentText(model.inodes[entry.inode]);
            }
        }
    }
    return text;
}

}  // namespace kavrin::test
