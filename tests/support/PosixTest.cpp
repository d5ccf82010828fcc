#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/FileSystemTestKit.h"
#include "common/TempFolder.h"
#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/SystemHelpers.h"

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
