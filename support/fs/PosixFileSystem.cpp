#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "support/fs/CacheHints.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/fs/PosixFiles.h"
#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin {

namespace {

using namespace posix;  // the back end's own helpers

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAllAt(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (put < 0 && errno != EINTR) {
            return false;
        }
        done += put > 0 ? static_cast<std::size_t>(put) : 0;
    }
    return true;
}

// The advisory lock that marks a claim as held: flock, which every open of the file conflicts
// with, in this process too, and which the system drops when the holder dies.
enum class Lock { Taken, Busy, Unsupported };

Lock tryLock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return Lock::Taken;
        }
        if (errno == EWOULDBLOCK) {
            return Lock::Busy;
        }
        if (errno != EINTR) {
            return Lock::Unsupported;  // a file system without locks (some network mounts)
        }
    }
}

// The same file: a name that now leads elsewhere was removed and created again meanwhile.
bool sameFile(int fd, const std::string& path) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The file a rename is about to replace, open for writing so that it can be shrunk.
class PosixReplacedFile final : public ReplacedFile {
public:
    explicit PosixReplacedFile(Descriptor fd) : m_fd(std::move(fd)) {}

    void release(const FileProgress& progress) override {
        struct stat st {};
        // A file that another name still leads to (a hard link, or a rename that did not
        // happen) keeps every byte.
        if (!m_fd.valid() || ::fstat(m_fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink != 0 || st.st_size <= 0) {
            return;
        }
#ifdef F_SETLEASE
        // Nor is a file shrunk that another process still reads: a write lease can be had only
        // while no other process has the file open, and none can open it any more, nameless as
        // it is. Where leases are not to be had, the file is left to close().
        if (::fcntl(m_fd.get(), F_SETLEASE, F_WRLCK) != 0) {
            return;
        }
        (void)::fcntl(m_fd.get(), F_SETLEASE, F_UNLCK);
        // Slices of this size take the file system a few tens of milliseconds to free.
        constexpr std::uint64_t kSlice = 16 * kBlockSize;
        const auto total = static_cast<std::uint64_t>(st.st_size);
        for (std::uint64_t left = total; left > 0;) {
            left -= std::min(kSlice, left);
            if (::ftruncate(m_fd.get(), static_cast<off_t>(left)) != 0) {
                return;  // close() frees the rest
            }
            if (progress) {
                progress(total - left, total);
            }
        }
#else
        (void)progress;
#endif
    }

private:
    Descriptor m_fd;
};

class PosixHeldFile final : public HeldFile {
public:
    PosixHeldFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixHeldFile() override { ::close(m_fd); }  // drops the lock
    PosixHeldFile(const PosixHeldFile&) = delete;
    PosixHeldFile& operator=(const PosixHeldFile&) = delete;

    void remove() override {
        // Only the file held here: one removed by hand and made anew belongs to another holder.
        if (sameFile(m_fd, m_path) && ::unlink(m_path.c_str()) != 0 && errno != ENOENT) {
            fail("Cannot delete file", m_path, errno);
        }
    }

private:
    std::string m_path;
    int m_fd;
};

// Drops what the kernel caches of a file about to be replaced, and frees a replaced file's
// blocks after the rename, a slice at a time.
class PosixCacheHints final : public CacheHints {
public:
    void releaseCache(const std::string& path, const FileProgress& progress) override {
#ifdef POSIX_FADV_DONTNEED
        // Slices of this size take the kernel milliseconds to drop.
        constexpr std::uint64_t kSlice = 16 * kBlockSize;
        const Descriptor fd(openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return;
        }
        const auto size = static_cast<std::uint64_t>(st.st_size);
        for (std::uint64_t done = 0; done < size;) {
            const std::uint64_t slice = std::min(kSlice, size - done);
            (void)::posix_fadvise(fd.get(), static_cast<off_t>(done), static_cast<off_t>(slice),
                                  POSIX_FADV_DONTNEED);
            done += slice;
            if (progress) {
                progress(done, size);
            }
        }
#else
        (void)path;
        (void)progress;
#endif
    }

    std::unique_ptr<ReplacedFile> holdReplaced(const std::string& path) override {
        // Not through a symbolic link, and without waiting for a reader of a pipe.
        Descriptor fd(openRetrying(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            return nullptr;
        }
        return std::make_unique<PosixReplacedFile>(std::move(fd));
    }
};

// Claims held with flock.
class PosixClaims final : public FileClaims {
public:
    std::unique_ptr<HeldFile> createExclusive(const std::string& path,
                                              std::span<const std::uint8_t> content) override {
        Descriptor fd(openRetrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            if (errno == EEXIST) {
                return nullptr;
            }
            fail("Cannot create file", path, errno);
        }
        // Between the creation and the lock, another process may have found the file unheld and
        // taken it over; it is then that process's.
        if (tryLock(fd.get()) == Lock::Busy) {
            return nullptr;
        }
        if (!writeAllAt(fd.get(), content)) {
            const int code = errno;
            ::unlink(path.c_str());
            fail("Cannot write file", path, code);
        }
        return std::make_unique<PosixHeldFile>(path, fd.release());
    }

    HoldState holdState(const std::string& path) override {
        // Some file systems lock only files open for writing.
        int opened = openRetrying(path.c_str(), O_RDWR | O_CLOEXEC);
        if (opened < 0) {
            opened = openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC);
        }
        Descriptor fd(opened);
        if (!fd.valid()) {
            return HoldState::Unknown;
        }
        switch (tryLock(fd.get())) {
            case Lock::Taken:
                return HoldState::Free;  // closing drops the lock just taken
            case Lock::Busy:
                return HoldState::Held;
            case Lock::Unsupported:
                break;
        }
        return HoldState::Unknown;
    }

    std::unique_ptr<HeldFile> takeOver(const std::string& path,
                                       std::span<const std::uint8_t> expected,
                                       std::span<const std::uint8_t> content) override {
        Descriptor fd(openRetrying(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.valid()) {
            if (errno == ENOENT) {
                return nullptr;
            }
            fail("Cannot open file", path, errno);
        }
        // The lock first: of two processes taking the file over, the second finds it held.
        if (tryLock(fd.get()) == Lock::Busy) {
            return nullptr;
        }
        std::vector<std::uint8_t> found(expected.size() + 1);
        std::size_t got = 0;
        while (got < found.size()) {
            const ssize_t n =
                ::pread(fd.get(), found.data() + got, found.size() - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                fail("Cannot read file", path, errno);
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (got != expected.size() ||
            !std::equal(expected.begin(), expected.end(), found.begin()) ||
            !sameFile(fd.get(), path)) {
            return nullptr;
        }
        if (::ftruncate(fd.get(), 0) != 0 || !writeAllAt(fd.get(), content)) {
            fail("Cannot write file", path, errno);
        }
        return std::make_unique<PosixHeldFile>(path, fd.release());
    }
};

// The machine's own files through the POSIX calls. Names compare with regard to case; a rename
// over an existing file is atomic; every write and directory change can be flushed to the disk;
// a held file is held with flock.
class PosixFileSystem final : public FileSystem {
public:
    FileStatus status(const std::string& path) override {
        FileStatus result;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return result;
        }
        result.exists = true;
        result.isDirectory = S_ISDIR(st.st_mode);
        result.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        result.modifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        return result;
    }

    std::vector<std::string> listDirectory(const std::string& dir) override {
        const std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
        if (!handle) {
            fail("Cannot read directory", dir, errno);
        }
        std::vector<std::string> names;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(handle.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    fail("Cannot read directory", dir, errno);
                }
                return names;
            }
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
    }

    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override {
        readBlocks(openForReading(path).get(), path, consume);
    }

    void rename(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0) {
            const int code = errno;
            throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(), systemErrorText(code).c_str()));
        }
    }

    FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                      const FileProgress& progress) override {
        const Descriptor in = openForReading(from);
        struct stat st {};
        if (::fstat(in.get(), &st) != 0) {
            fail("Cannot read file", from, errno);
        }
        const std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        Descriptor out(openRetrying(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!out.valid()) {
            fail("Cannot create file", to, errno);
        }
        const int outFd = out.get();
        PosixWriter writer(std::move(out), to, durable);
        FileCopy copy;
        if (cloneWhole(in.get(), outFd, from, to)) {
            // The source as it was at the clone, which may not be as it was a moment before.
            struct stat cloned {};
            if (::fstat(outFd, &cloned) != 0) {
                fail("Cannot read file", to, errno);
            }
            copy = {static_cast<std::uint64_t>(cloned.st_size), CopyMethod::Cloned, std::nullopt};
        } else if (std::optional<std::uint64_t> copied =
                       copyInKernel(in.get(), outFd, from, to, size, progress)) {
            copy = {*copied, CopyMethod::InSystem, std::nullopt};
        } else {
            std::uint32_t crc = 0;
            readBlocks(in.get(), from, [&](std::span<const std::uint8_t> block) {
                crc = crc32(block, crc);
                for (std::size_t put = 0; put < block.size();) {
                    put += writer.writeSome(block.subspan(put));
                }
                copy.size += block.size();
                if (progress) {
                    progress(copy.size, std::max(copy.size, size));
                }
            });
            copy.crc = crc;
        }
        std::function<void()> waiting;
        if (progress) {
            waiting = [&] { progress(copy.size, copy.size); };
        }
        writer.finish(durable, waiting);
        if (progress) {
            progress(copy.size, copy.size);
        }
        return copy;
    }

    void remove(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) {
            fail("Cannot delete file", path, errno);
        }
    }

    void createDirectories(const std::string& path) override {
        if (isDirectory(path)) {
            return;
        }
        // Every level from the top down; runs of separators name no level of their own.
        for (std::size_t i = 1; i <= path.size(); ++i) {
            if (i < path.size() && (path[i] != '/' || path[i - 1] == '/')) {
                continue;
            }
            if (i == path.size() && path[i - 1] == '/') {
                break;
            }
            const std::string level = path.substr(0, i);
            if (::mkdir(level.c_str(), 0755) == 0) {
                continue;
            }
            const int code = errno;
            if (code == EEXIST) {
                if (isDirectory(level)) {
                    continue;
                }
                fail("Cannot create directory", path, ENOTDIR);
            }
            fail("Cannot create directory", path, code);
        }
        if (path.empty()) {
            fail("Cannot create directory", path, ENOENT);
        }
    }

    bool createDirectory(const std::string& path) override {
        if (::mkdir(path.c_str(), 0755) == 0) {
            return true;
        }
        if (errno == EEXIST) {
            return false;
        }
        fail("Cannot create directory", path, errno);
    }

    void syncDirectory(const std::string& dir) override {
        Descriptor fd(openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid()) {
            fail("Cannot flush directory", dir, errno);
        }
        if (::fsync(fd.get()) != 0) {
            fail("Cannot flush directory", dir, errno);
        }
    }

    bool ignoresCase(const std::string&) const override { return false; }

    FileClaims& claims() override { return m_claims; }
    CacheHints& cacheHints() override { return m_hints; }

protected:
    // The regular file at `path`, open for reading; a folder there cannot be opened as a file.
    static Descriptor openForReading(const std::string& path) {
        Descriptor fd(openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            fail("Cannot open file", path, errno);
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            fail("Cannot read file", path, errno);
        }
        if (S_ISDIR(st.st_mode)) {
            fail("Cannot open file", path, EISDIR);
        }
        return fd;
    }

    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override {
        const Descriptor fd = openForReading(path);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            fail("Cannot read file", path, errno);
        }
        FileBytes bytes =
            allocateFileBytesFor(path, st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0);
        const std::size_t size = bytes.size;
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got =
                ::read(fd.get(), bytes.data.get() + done, std::min(kBlockSize, size - done));
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail("Cannot read file", path, errno);
            }
            if (got == 0) {
                break;  // the file shrank since it was opened
            }
            done += static_cast<std::size_t>(got);
            if (progress && done < size) {
                progress(done, size);
            }
        }
        bytes.size = done;
        if (progress) {
            progress(done, done);
        }
        return bytes;
    }

    FileBytes readWholeFile(const std::string& path) override {
        return readFileReporting(path, {});
    }

    std::unique_ptr<FileWriter> createFile(const std::string& path, bool durable) override {
        Descriptor fd(openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            fail("Cannot create file", path, errno);
        }
        return std::make_unique<PosixWriter>(std::move(fd), path, durable);
    }

private:
    PosixClaims m_claims;
    PosixCacheHints m_hints;
};

}  // namespace

char nativeSeparator() {
    return '/';
}

FileSystem& nativeFileSystem() {
    static PosixFileSystem fs;
    return fs;
}

}  // namespace kavrin
