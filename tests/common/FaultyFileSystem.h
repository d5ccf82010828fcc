#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fs/FileSystem.h"

namespace kavrin::test {

// The kinds of operation of the file layer; Any stands for all of them together.
enum class FileOp {
    Status,
    ListDirectory,
    ReadFile,
    WriteFile,
    Rename,
    Remove,
    CreateDirectories,
    CreateDirectory,
    SyncDirectory,
    CreateExclusive,
    HoldState,
    TakeOver,
    RemoveHeld,  // HeldFile::remove
    Any,
};

// Thrown by every operation once the simulated process has died. It derives from no standard
// exception, so that no handler of the code under test catches it and goes on touching the disk,
// which a dead process cannot do; tests catch it by its type.
struct SimulatedCrash {};

// A file system that passes every operation to another one, except those it is told to fail:
// write paths are tested against failures no real disk produces on demand. A failed operation
// does nothing and throws the kind of message the real layer throws (status() reports nothing
// there instead, and holdState() Unknown, as they never throw). After a crash, a held file stays
// and its hold ends, as when a process dies.
class FaultyFileSystem final : public FileSystem, public FileClaims {
public:
    explicit FaultyFileSystem(FileSystem& inner) : m_inner(inner) {}

    // The n-th call of `op` (counted from 1, from the last reset) fails; with FileOp::Any, the
    // n-th operation of whatever kind.
    void failAt(FileOp op, int n);
    // Every change in `folder` itself or below it fails as in a folder the user may not write.
    void makeReadOnly(const std::string& folder);
    // The n-th operation from now that changes the disk (a write, rename, removal, folder made
    // or flushed, claim created, taken over or removed; counted from 1) takes effect and then
    // reports failure, as a call whose reply was lost on its way back from a server: a write
    // made whole reports a short write, a rename or removal that happened reports its error, a
    // folder or claim created reports that it exists already.
    void failAfterEffectAt(int n) { m_effectFailAt = m_changes + n; }
    // How many operations that change the disk were made (from the last reset).
    int changes() const { return m_changes; }
    // The process dies after `n` more operations of any kind: those pass, every later one does
    // nothing and throws SimulatedCrash. With `tearWrite`, a file write the crash cuts short
    // leaves the first half of its bytes, as a write under way when the power goes may.
    void crashAfter(int n, bool tearWrite = false);
    // The next `count` writes of a file whose path ends with `suffix` change its last byte on the
    // way, as a disk or a share that silently damages data does; each reports success.
    void corruptWritesTo(const std::string& suffix, int count = 1) {
        m_corruptSuffix = suffix;
        m_corruptWrites = count;
    }
    bool crashed() const { return m_crashed; }
    // From now on copies say that `method` made them, which knows no CRC-32 of the bytes, as a
    // system's copy or a clone (kept over a reset).
    void copiesAs(CopyMethod method) { m_copiesAs = method; }
    // Runs `action` just before the n-th operation from now (of any kind), as something outside
    // the program (a server going away) may happen at any moment.
    void atOperation(int n, std::function<void()> action);
    // A rename onto an existing file becomes two operations, the removal of the target and the
    // rename, as on a share whose server renames only onto free names: faults and crashes can
    // fall between the two.
    void replaceInTwoSteps() { m_twoStepReplace = true; }
    // Counts back to zero; no fault, crash or read-only folder left.
    void reset();

    int calls(FileOp op) const { return m_calls[index(op)]; }
    // How many faults were injected.
    int faults() const { return m_faults; }
    // Every operation in order, as "<kind> <path>" ("rename <from> -> <to>", "writeFile <path>
    // (durable)" for a write flushed to the disk).
    const std::vector<std::string>& journal() const { return m_journal; }

    FileStatus status(const std::string& path) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    FileBytes readWholeFile(const std::string& path) override;
    // Counted and failed as a readFile; the blocks come from the inner file system.
    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override;
    void writeWholeFile(const std::string& path,
                        std::span<const std::span<const std::uint8_t>> parts,
                        bool durable) override;
    // Counted, failed, torn and damaged as a writeFile: the same operation, made block by block.
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress = {}) override;
    // Counted, failed, torn and damaged as a writeFile of `to`: a copy brings no byte into the
    // program, so the reading of `from` (from the inner file system) is not counted.
    FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                      const FileProgress& progress = {}) override;
    // A hint that changes nothing on the disk: passed on, neither counted nor failed.
    CacheHints& cacheHints() override { return m_inner.cacheHints(); }
    void rename(const std::string& from, const std::string& to) override;
    void remove(const std::string& path) override;
    void createDirectories(const std::string& path) override;
    [[nodiscard]] bool createDirectory(const std::string& path) override;
    void syncDirectory(const std::string& dir) override;
    [[nodiscard]] std::unique_ptr<HeldFile> createExclusive(
        const std::string& path, std::span<const std::uint8_t> content) override;
    HoldState holdState(const std::string& path) override;
    [[nodiscard]] std::unique_ptr<HeldFile> takeOver(
        const std::string& path, std::span<const std::uint8_t> expected,
        std::span<const std::uint8_t> content) override;
    bool ignoresCase(const std::string& path) const override { return m_inner.ignoresCase(path); }

    FileClaims& claims() override { return *this; }

protected:
    // The faults and the crash of readFile and writeFile, with the progress passed on.
    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override;
    void writeFileReporting(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
                            const FileProgress& progress) override;

private:
    class Held;

    static constexpr std::size_t kKinds = static_cast<std::size_t>(FileOp::Any) + 1;
    static std::size_t index(FileOp op) { return static_cast<std::size_t>(op); }

    // Counts the call and tells whether it is the one to fail; throws SimulatedCrash, after
    // `tear` when the crash tears writes, once the process has died.
    bool due(FileOp op, const std::string& what, const std::function<void()>& tear = {});
    bool readOnly(const std::string& path) const;
    // The faults of a file write whose whole content `content` gives: a crash (torn as asked), an
    // injected failure, a read-only folder, or damage, the damaged file then written here. True
    // when the write was made here; false when it is the inner file system's to make.
    bool writeDone(const std::string& path, bool durable,
                   const std::function<std::vector<std::uint8_t>()>& content,
                   const FileProgress& progress);
    // Counts an operation that changes the disk; true when it is to report failure after it
    // took effect.
    bool effectFails();
    // Throws "<verb> \"<path>\". <reason>" after counting the fault.
    [[noreturn]] void fail(const char* verb, const std::string& path, const std::string& reason);

    FileSystem& m_inner;
    std::array<int, kKinds> m_calls{};
    std::array<int, kKinds> m_failAt{};
    std::vector<std::string> m_readOnly;
    std::vector<std::string> m_journal;
    int m_faults = 0;
    std::string m_corruptSuffix;
    int m_corruptWrites = 0;
    std::optional<CopyMethod> m_copiesAs;
    int m_crashAt = -1;  // the count of operations after which the process dies; -1: never
    bool m_tearWrite = false;
    bool m_crashed = false;
    int m_actionAt = -1;
    std::function<void()> m_action;
    bool m_twoStepReplace = false;
    int m_changes = 0;
    int m_effectFailAt = -1;
};

}  // namespace kavrin::test
