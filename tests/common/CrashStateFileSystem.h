#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fs/FileSystem.h"

namespace kavrin::test {

// A file system in memory that knows what a loss of power would keep, for exploring the states
// a crash may leave (paths '/'-separated from the root "/", as in MemoryFileSystem).
//
// What is durable follows the rules a program may rely on, and no more:
// - a file's data becomes durable when a durable write flushes it;
// - a folder's entries (a file created, renamed or removed, a folder made) become durable when
//   that folder is flushed with syncDirectory.
// A crash keeps whatever is durable. Of the rest, each un-flushed file content is lost (the last
// durable content), kept, torn (its first half) or empty, and each un-flushed folder operation
// is lost or kept, independently of the others. An operation whose premise was lost cannot be
// kept (a rename of a file whose creation was lost, a removal of a name that now names
// something else): it counts as lost.
//
// Every operation that changes the disk is recorded as a step (a durable write as two: the write
// and then its flush, so that a crash can fall in between). Crash states are built afterwards
// from the record: a crash after step n leaves the first n steps done, and nothing later.
//
// Bounds: at one crash point there are 2^p x 4^q combinations (p folder operations and q file
// contents not yet durable). Up to kExhaustive of them are all built; above that a sample of
// kSampled is built, deterministic for the crash point: everything lost, everything kept, each
// single item flipped from either, and the rest drawn at random from a generator seeded with the
// crash point. Combinations that give the same files are counted once.
class CrashStateFileSystem final : public FileSystem, public FileClaims {
public:
    static constexpr std::size_t kExhaustive = 4096;
    static constexpr std::size_t kSampled = 512;

    CrashStateFileSystem();

    FileStatus status(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    FileBytes readWholeFile(const std::string& path) override;
    void writeWholeFile(const std::string& path,
                        std::span<const std::span<const std::uint8_t>> parts,
                        bool durable) override;
    // One write of the whole content, as writeFile records it; what a producer that throws gave
    // so far is written, not flushed.
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress = {}) override;
    void rename(const std::string& from, const std::string& to) override;
    void remove(const std::string& path) override;
    void createDirectories(const std::string& path) override;
    [[nodiscard]] bool createDirectory(const std::string& path) override;
    void syncDirectory(const std::string& dir) override;
    // A claim is a file written without a flush, held by the process until it goes; a crash
    // ends every hold.
    [[nodiscard]] std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content) override;
    HoldState holdState(const std::string& path) override;
    [[nodiscard]] std::unique_ptr<HeldFile> takeOver(
        const std::string& path, std::span<const std::uint8_t> expected,
        std::span<const std::uint8_t> content) override;
    FileClaims& claims() override { return *this; }

    // Everything as it stands becomes durable and the record starts afresh: the disk before the
    // work whose crashes are explored.
    void settle();
    // Steps recorded since the last settle().
    std::size_t steps() const { return m_steps.size(); }
    // Step n (from 1) as text, for messages: "rename /db/a -> /db/b".
    std::string describeStep(std::size_t n) const;
    // How much of what a crash may leave was looked at, over the crash points given to
    // crashStates(): the combinations possible and those built from, and at how many points only
    // a sample was built.
    struct Coverage {
        double possible = 0;  // exact up to 2^53, which no test comes near
        std::size_t built = 0;
        std::size_t points = 0;
        std::size_t sampledPoints = 0;
    };

    // The distinct states a crash right after the first `n` steps may leave (n = 0: before the
    // first), each settled: what survived the crash is all on the disk. What was covered is
    // added to `coverage` when given.
    std::vector<CrashStateFileSystem> crashStates(std::size_t n,
                                                  Coverage* coverage = nullptr) const;

    // The content of the file at `path`, or nothing when no file is there.
    std::optional<std::vector<std::uint8_t>> contents(const std::string& path) const;
    // Every folder and file with its content, as one text: equal for equal disks.
    std::string fingerprint() const;

private:
    class Held;
    // Held files by path, each by a numbered hold; a copy holds none (its processes ended).
    struct Holds {
        std::map<std::string, int> byPath;
        int next = 0;
        Holds() = default;
        Holds(const Holds&) noexcept {}
        Holds& operator=(const Holds&) noexcept {
            byPath.clear();
            return *this;
        }
    };

    struct Inode {
        std::vector<std::uint8_t> data;
        std::vector<std::uint8_t> durable;
        std::int64_t time = 0;
        std::int64_t durableTime = 0;
    };
    struct Entry {
        bool directory = false;
        std::size_t inode = 0;  // of a file
        bool operator==(const Entry&) const = default;
    };
    using Entries = std::map<std::string, Entry>;
    // A change of one folder's entries that is not durable yet.
    struct FolderOp {
        enum Kind { Link, Unlink, Rename } kind = Link;
        std::string folder;
        std::string name;
        std::string to;  // Rename: the new name, in the same folder
        Entry entry;
    };
    struct Model {
        std::map<std::string, Entries> live;     // folder -> its entries, as reads see them
        std::map<std::string, Entries> durable;  // folder -> its entries as last made durable
        std::vector<FolderOp> pending;
        std::vector<Inode> inodes;
        std::int64_t clock = 0;
    };
    struct Step {
        enum Kind { Write, Flush, Rename, Remove, MakeDirectory, SyncDirectory } kind = Write;
        std::string path;
        std::string to;
        std::vector<std::uint8_t> bytes;
    };

    static void apply(Model& model, const Step& step);
    static std::string fingerprintOf(const Model& model);
    static std::string contentText(const Inode& inode);
    static Inode surviving(const Inode& inode, int variant);
    void record(Step step);
    const Entry* find(const std::string& path) const;

    Model m_model;  // what the record leads to: the disk as the program sees it
    Model m_base;   // at the last settle(), once a step was recorded since
    std::vector<Step> m_steps;
    Holds m_holds;
};

}  // namespace kavrin::test
