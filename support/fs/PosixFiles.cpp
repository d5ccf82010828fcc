#include "support/fs/PosixFiles.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <system_error>

#include "support/platform/Errors.h"

namespace kavrin::posix {

namespace {

// Flushes the file to the disk; 0 or the errno of the failure.
int flushFile(int fd) {
    return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

[[noreturn]] void fail(const char* what, const std::string& path, int code) {
    throw KavrinError(
        formatText("%s \"%s\". %s", what, path.c_str(), systemErrorText(code).c_str()));
}

int openRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int flushFileWaiting(int fd, const std::function<void()>& waiting) {
    if (!waiting) {
        return flushFile(fd);
    }
    std::future<int> flushed;
    try {
        flushed = std::async(std::launch::async, flushFile, fd);
    } catch (const std::system_error&) {
        return flushFile(fd);  // no thread to be had: the flush here, without reports
    }
    class Join {
    public:
        explicit Join(std::future<int>& future) : m_future(future) {}
        ~Join() {
            if (m_future.valid()) {
                m_future.wait();
            }
        }
        Join(const Join&) = delete;
        Join& operator=(const Join&) = delete;

    private:
        std::future<int>& m_future;
    };
    const Join join(flushed);
    do {
        waiting();
    } while (flushed.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
    return flushed.get();
}

void readBlocks(int fd, const std::string& path, const FileBlockConsumer& consume) {
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kStreamBlockSize]);
    for (;;) {
        const ssize_t got = ::read(fd, block.get(), kStreamBlockSize);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("Cannot read file", path, errno);
        }
        if (got == 0) {
            return;
        }
        consume(std::span<const std::uint8_t>(block.get(), static_cast<std::size_t>(got)));
    }
}

bool cloneWhole(int in, int out, const std::string& from, const std::string& to) {
#ifdef FICLONE
    // A file system reached over a network (NFS and SMB mounts clone too) takes its times from
    // a server's clock: only these, whose times this machine sets, are trusted with a clone.
    constexpr unsigned long kXfs = 0x58465342;
    constexpr unsigned long kBtrfs = 0x9123683e;
    struct statfs where {};
    if (::fstatfs(out, &where) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(where.f_type);
    if (type != kXfs && type != kBtrfs) {
        return false;
    }
    while (::ioctl(out, FICLONE, in) != 0) {
        const int code = errno;
        if (code == EINTR) {
            continue;
        }
        // Not the same file system, or one made without shared blocks.
        if (code == EXDEV || code == EOPNOTSUPP || code == EINVAL || code == ENOTTY) {
            return false;
        }
        throw KavrinError(formatText("Cannot copy file \"%s\" to \"%s\". %s", from.c_str(),
                                     to.c_str(), systemErrorText(code).c_str()));
    }
    return true;
#else
    (void)in, (void)out, (void)from, (void)to;
    return false;
#endif
}

std::optional<std::uint64_t> copyInKernel(int in, int out, const std::string& from,
                                          const std::string& to, std::uint64_t size,
                                          const FileProgress& progress) {
    std::uint64_t done = 0;
    for (;;) {
        const ssize_t moved = ::copy_file_range(in, nullptr, out, nullptr, 4 * kBlockSize, 0);
        if (moved > 0) {
            done += static_cast<std::uint64_t>(moved);
            if (progress) {
                progress(done, std::max(done, size));
            }
            continue;
        }
        if (moved == 0) {
            return done;
        }
        const int code = errno;
        if (code == EINTR) {
            continue;
        }
        if (done == 0 &&
            (code == EXDEV || code == ENOSYS || code == EOPNOTSUPP || code == EINVAL)) {
            return std::nullopt;
        }
        throw KavrinError(formatText("Cannot copy file \"%s\" to \"%s\". %s", from.c_str(),
                                     to.c_str(), systemErrorText(code).c_str()));
    }
}

std::size_t PosixWriter::writeSome(std::span<const std::uint8_t> bytes) {
    for (;;) {
        const ssize_t put = ::write(m_fd.get(), bytes.data(), std::min(kBlockSize, bytes.size()));
        if (put > 0) {
            m_written += static_cast<std::uint64_t>(put);
            if (m_durable) {
                flushBehind();
            }
            return static_cast<std::size_t>(put);
        }
        if (put < 0 && errno != EINTR) {
            fail("Cannot write file", m_path, errno);
        }
    }
}

void PosixWriter::finish(bool durable, const std::function<void()>& waiting) {
    if (durable) {
        if (const int code = flushFileWaiting(m_fd.get(), waiting)) {
            fail("Cannot flush file", m_path, code);
        }
    }
    if (m_fd.close() != 0) {
        fail("Cannot write file", m_path, errno);
    }
}

void PosixWriter::flushBehind() {
#ifdef SYNC_FILE_RANGE_WRITE
    // The disk is given at least a block at a time, however small the writes.
    if (m_written - m_started < kBlockSize) {
        return;
    }
    constexpr std::uint64_t kBehind = 8 * kBlockSize;
    ::sync_file_range(m_fd.get(), static_cast<off_t>(m_started),
                      static_cast<off_t>(m_written - m_started), SYNC_FILE_RANGE_WRITE);
    m_started = m_written;
    if (m_written > m_waited + kBehind) {
        const std::uint64_t until = m_written - kBehind;
        ::sync_file_range(
            m_fd.get(), static_cast<off_t>(m_waited), static_cast<off_t>(until - m_waited),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        m_waited = until;
    }
#endif
}

}  // namespace kavrin::posix
