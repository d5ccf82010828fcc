#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "common/FileSystemTestKit.h"
#include "common/TempFolder.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"

namespace kavrin {
namespace {

using test::TempFolder;

// What only POSIX has: /dev/full, permissions, sparse files, nanosecond times; no registry.

TEST(PosixTest, PathsAreWrittenWithSlashesAndAFailedNameCallIsTheError) {
    EXPECT_EQ(nativeSeparator(), '/');
    setComputerNameSeam({true, {}});
    EXPECT_EQ(errorOf([] { (void)LocalComputerName(); }), "GetComputerName failed.");
    setComputerNameSeam({});
    EXPECT_NO_THROW((void)LocalComputerName());
}

TEST(PosixFileSystemTest, WriteFailuresAfterOpeningAreReported) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    // /dev/full accepts the open and refuses every byte, as a full disk does.
    EXPECT_EQ(errorOf([&] { writeText(nativeFileSystem(), "/dev/full", "data"); }),
              "Cannot write file \"/dev/full\". No space left on device");
}

TEST(PosixFileSystemTest, UnreadableFileFailsCleanly) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop the superuser";
    }
    TempFolder folder;
    const std::string path = folder.file("locked");
    writeText(nativeFileSystem(), path, "secret");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_EQ(errorOf([&] { nativeFileSystem().readFile(path); }),
              "Cannot open file \"" + path + "\". Permission denied");
}

// The final flush of a durable write is reported too, with the figures of the whole file, and the
// write returns only once it has ended: also when a report during it aborts the write.
TEST(PosixFileSystemTest, DurableWriteReportsWhileItsFinalFlushRuns) {
    TempFolder folder;
    const std::string path = folder.file("Kavrin.ist.new");
    const std::vector<std::uint8_t> data(9 * 1024 * 1024 + 5, 3);
    const std::span<const std::uint8_t> parts[] = {data};
    struct Abort {};
    for (const bool abortInFlush : {false, true}) {
        int whole = 0;  // reports of the whole size: the flush's and the last
        const FileProgress progress = [&](std::uint64_t done, std::uint64_t total) {
            EXPECT_EQ(total, data.size());
            whole += done == total ? 1 : 0;
            if (abortInFlush && done == total) {
                throw Abort{};
            }
        };
        if (abortInFlush) {
            EXPECT_THROW(nativeFileSystem().writeFile(path, parts, true, progress), Abort);
            EXPECT_EQ(whole, 1);
        } else {
            nativeFileSystem().writeFile(path, parts, true, progress);
            EXPECT_GE(whole, 2);
        }
        const FileBytes written = nativeFileSystem().readFile(path);
        ASSERT_EQ(written.size, data.size()) << abortInFlush;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), written.data.get())) << abortInFlush;
        nativeFileSystem().remove(path);
    }
}

// A file replaced by a rename is freed afterwards, a slice at a time, only where nothing else
// reaches it any more: a second hard link keeps every byte, and so does a reader still holding it.
TEST(PosixFileSystemTest, ReplacedFileIsFreedOnlyWhereNothingElseReachesIt) {
    FileSystem& fs = nativeFileSystem();
    enum class Other { Nothing, HardLink, Reader };
    for (const Other other : {Other::Nothing, Other::HardLink, Other::Reader}) {
        TempFolder folder;
        const std::string target = folder.file("Kavrin.ist");
        const std::string temporary = folder.file("new");
        const std::string link = folder.file("link");
        const std::string old(3 * 1024 * 1024 + 5, 'o');
        writeText(fs, target, old);
        writeText(fs, temporary, "new");
        if (other == Other::HardLink) {
            ASSERT_EQ(::link(target.c_str(), link.c_str()), 0);
        }
        const int reader = other == Other::Reader ? ::open(target.c_str(), O_RDONLY) : -1;
        ASSERT_EQ(reader >= 0, other == Other::Reader);

        std::unique_ptr<ReplacedFile> held = fs.cacheHints().holdReplaced(target);
        ASSERT_NE(held, nullptr);
        fs.rename(temporary, target);
        fs.syncDirectory(folder.path());
        std::vector<std::uint64_t> reports;
        held->release([&](std::uint64_t done, std::uint64_t total) {
            EXPECT_EQ(total, old.size());
            reports.push_back(done);
        });
        held.reset();

        EXPECT_EQ(readText(fs, target), "new");
        if (other == Other::Nothing) {
            EXPECT_EQ(reports, std::vector<std::uint64_t>{old.size()});
        } else {
            EXPECT_TRUE(reports.empty());
        }
        if (other == Other::HardLink) {
            EXPECT_EQ(readText(fs, link), old);
        }
        if (other == Other::Reader) {
            std::string kept(old.size() + 1, '\0');
            EXPECT_EQ(::pread(reader, kept.data(), kept.size(), 0),
                      static_cast<ssize_t>(old.size()));
            kept.resize(old.size());
            EXPECT_EQ(kept, old);
            ::close(reader);
        }
        EXPECT_EQ(fs.cacheHints().holdReplaced(folder.file("missing")), nullptr);
    }
}

TEST(PosixFileSystemTest, FileLargerThanMemoryIsRefusedBeforeReading) {
    // A sparse terabyte: no disk space, and far more than the machine could hold.
    TempFolder folder;
    const std::string path = folder.file("huge");
    writeText(nativeFileSystem(), path, "");
    std::error_code error;
    std::filesystem::resize_file(path, std::uint64_t{1} << 40, error);
    if (error) {
        GTEST_SKIP() << "no sparse files here";
    }
    EXPECT_EQ(errorOf([&] { nativeFileSystem().readFile(path); }),
              "Cannot read file \"" + path + "\". Not enough memory");
}

TEST(PosixFileSystemTest, StatusGivesTheModificationTimeToTheNanosecond) {
    TempFolder folder;
    const std::string path = folder.file("f");
    writeText(nativeFileSystem(), path, "12345");
    const timespec times[2] = {{1700000000, 0}, {1724340607, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(nativeFileSystem().status(path).modifiedNs, 1724340607123456789LL);
}

}  // namespace
}  // namespace kavrin
