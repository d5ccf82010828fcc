#pragma once

// What the POSIX back end's files and copies share. Internal to support/fs.

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "support/fs/FileProgress.h"
#include "support/fs/FileSystem.h"

namespace kavrin::posix {

// Whole files move in blocks of this size, so that a progress report comes every few
// milliseconds and an abort is not kept waiting for the rest of a large file.
inline constexpr std::size_t kBlockSize = 4 * 1024 * 1024;
// A file read block by block goes through one buffer of this size: the caller holds the rest of
// the database meanwhile, and larger reads are no faster from the page cache or the disk.
inline constexpr std::size_t kStreamBlockSize = 1024 * 1024;

[[noreturn]] void fail(const char* what, const std::string& path, int code);

// Closes a descriptor on every path; close() is called explicitly where its result matters.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : m_fd(other.release()) {}
    Descriptor& operator=(Descriptor&&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

    // Closes now and reports the result: on some file systems a failed write only shows here.
    int close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd);
    }

    // Gives the descriptor away; it is no longer closed here.
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// open(), again when a signal interrupts it.
int openRetrying(const char* path, int flags, mode_t mode = 0);

// The final flush of a durable write, which can keep the file system busy for hundreds of
// milliseconds with no block left to report (it commits its journal, the disk empties its
// cache): with `waiting`, the flush runs on a worker while `waiting` is called as it begins and
// every 20 ms until it has ended, so that a window stays painted. Returns only once the flush has
// ended, also when `waiting` throws: the exception then passes, and the result of the flush is
// dropped with the write. `fd` stays open throughout. 0 or the errno of the failure.
int flushFileWaiting(int fd, const std::function<void()>& waiting);

// Hands what is left of the file open as `fd` to `consume`, a block at a time.
void readBlocks(int fd, const std::string& path, const FileBlockConsumer& consume);

// Copies all that is left of `in` to `out` with copy_file_range, in the kernel (or by sharing
// blocks, where the file system can), telling `progress`; nothing, with nothing copied, when the
// system cannot copy between the two (another file system, an old kernel).
// Makes `out` share the blocks of `in`, whole, in one step, where the file system is one that
// sets its files' times itself from this machine's clock (XFS, Btrfs). False, with `out` as it
// was, where it cannot; throws when it can but the clone failed.
bool cloneWhole(int in, int out, const std::string& from, const std::string& to);

std::optional<std::uint64_t> copyInKernel(int in, int out, const std::string& from,
                                          const std::string& to, std::uint64_t size,
                                          const FileProgress& progress);

// A file written block by block: writes of at most kBlockSize.
class PosixWriter final : public FileWriter {
public:
    PosixWriter(Descriptor fd, const std::string& path, bool durable)
        : m_fd(std::move(fd)), m_path(path), m_durable(durable) {}

    std::size_t writeSome(std::span<const std::uint8_t> bytes) override;
    void finish(bool durable, const std::function<void()>& waiting) override;

private:
    // A durable write of gigabytes would otherwise leave them all to the final fsync, which the
    // caller waits for without a report: the disk is set to work on each block as it is written,
    // and the writer waits for what lies a few blocks behind, so that the final flush finds
    // little left and the reports keep coming at the pace of the disk. Only a hint: where the
    // call is missing or fails, the fsync does it all.
    void flushBehind();

    Descriptor m_fd;
    std::string m_path;
    bool m_durable;
    std::uint64_t m_written = 0;
    std::uint64_t m_started = 0;  // written bytes the disk was set to work on
    std::uint64_t m_waited = 0;   // written bytes waited for
};

}  // namespace kavrin::posix
