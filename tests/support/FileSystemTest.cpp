#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "common/TempFolder.h"
#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/Paths.h"

namespace kavrin {
namespace {

using test::TempFolder;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void writeText(FileSystem& fs, const std::string& path, const std::string& text) {
    const auto bytes = bytesOf(text);
    const std::span<const std::uint8_t> parts[] = {bytes};
    fs.writeFile(path, parts, false);
}

std::string readText(FileSystem& fs, const std::string& path) {
    const FileBytes bytes = fs.readFile(path);
    return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

// The message of the KavrinError `action` throws, or a note that it threw none.
template <typename Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const KavrinError& e) {
        return e.what();
    }
    return "(no error)";
}

class FileSystemTest : public ::testing::Test {
protected:
    FileSystem& fs = localFileSystem();
    TempFolder folder;
};

TEST_F(FileSystemTest, WritesPartsOneAfterAnotherAndReadsThemBack) {
    const auto header = bytesOf("HEADER");
    const auto empty = bytesOf("");
    std::vector<std::uint8_t> body(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    const std::span<const std::uint8_t> parts[] = {header, empty, body};
    const std::string path = folder.file("Kavrin.cmp");
    fs.writeFile(path, parts, true);

    const FileBytes read = fs.readFile(path);
    ASSERT_EQ(read.size, header.size() + body.size());
    EXPECT_EQ(std::memcmp(read.data.get(), header.data(), header.size()), 0);
    EXPECT_EQ(std::memcmp(read.data.get() + header.size(), body.data(), body.size()), 0);
    EXPECT_EQ(fs.status(path).size, read.size);
}

TEST_F(FileSystemTest, WritingReplacesTheWholeOldContent) {
    const std::string path = folder.file("f");
    writeText(fs, path, "a much longer old content");
    writeText(fs, path, "new");
    EXPECT_EQ(readText(fs, path), "new");

    fs.writeFile(path, {}, false);
    EXPECT_EQ(fs.readFile(path).size, 0u);
    EXPECT_TRUE(fs.status(path).exists);
}

TEST_F(FileSystemTest, FailuresNameThePathAndTheReason) {
    const std::string missing = folder.file("missing");
    const std::string inMissing = folder.file("missing/f");
    EXPECT_EQ(errorOf([&] { fs.readFile(missing); }),
              "Cannot open file \"" + missing + "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { fs.readFile(folder.path()); }),
              "Cannot open file \"" + folder.path() + "\". Is a directory");
    EXPECT_EQ(errorOf([&] { writeText(fs, inMissing, "x"); }),
              "Cannot create file \"" + inMissing + "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { writeText(fs, folder.path(), "x"); }),
              "Cannot create file \"" + folder.path() + "\". Is a directory");
    EXPECT_EQ(errorOf([&] { fs.rename(missing, folder.file("b")); }),
              "Cannot rename file \"" + missing + "\" to \"" + folder.file("b") +
                  "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { fs.remove(missing); }),
              "Cannot delete file \"" + missing + "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { (void)fs.createDirectory(inMissing); }),
              "Cannot create directory \"" + inMissing + "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { fs.syncDirectory(missing); }),
              "Cannot flush directory \"" + missing + "\". No such file or directory");
    EXPECT_EQ(errorOf([&] { fs.listDirectory(missing); }),
              "Cannot read directory \"" + missing + "\". No such file or directory");
    EXPECT_FALSE(fs.status(missing).exists);
    EXPECT_EQ(fs.status(inMissing), FileStatus{});
}

TEST_F(FileSystemTest, WriteFailuresAfterOpeningAreReported) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    // /dev/full accepts the open and refuses every byte, as a full disk does.
    EXPECT_EQ(errorOf([&] { writeText(fs, "/dev/full", "data"); }),
              "Cannot write file \"/dev/full\". No space left on device");
}

TEST_F(FileSystemTest, UnreadableFileFailsCleanly) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop the superuser";
    }
    const std::string path = folder.file("locked");
    writeText(fs, path, "secret");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    EXPECT_EQ(errorOf([&] { fs.readFile(path); }),
              "Cannot open file \"" + path + "\". Permission denied");
}

TEST_F(FileSystemTest, FileLargerThanMemoryIsRefusedBeforeReading) {
    // A sparse terabyte: no disk space, and far more than the machine could hold.
    const std::string path = folder.file("huge");
    writeText(fs, path, "");
    std::error_code error;
    std::filesystem::resize_file(path, std::uint64_t{1} << 40, error);
    if (error) {
        GTEST_SKIP() << "no sparse files here";
    }
    EXPECT_EQ(errorOf([&] { fs.readFile(path); }),
              "Cannot read file \"" + path + "\". Not enough memory");
}

TEST_F(FileSystemTest, RenameReplacesTheTarget) {
    const std::string from = folder.file("new.tmp");
    const std::string to = folder.file("Kavrin.ist");
    writeText(fs, to, "old");
    writeText(fs, from, "fresh");
    fs.rename(from, to);
    EXPECT_EQ(readText(fs, to), "fresh");
    EXPECT_FALSE(fs.status(from).exists);

    fs.remove(to);
    EXPECT_FALSE(fs.status(to).exists);
}

TEST_F(FileSystemTest, CreateDirectoryReportsWhatWasThere) {
    const std::string dir = folder.file("20240822-153007");
    EXPECT_TRUE(fs.createDirectory(dir));
    EXPECT_TRUE(fs.status(dir).isDirectory);
    EXPECT_FALSE(fs.createDirectory(dir));

    const std::string file = folder.file("plain");
    writeText(fs, file, "x");
    EXPECT_FALSE(fs.createDirectory(file));
    EXPECT_FALSE(fs.status(file).isDirectory);
}

TEST_F(FileSystemTest, CreateDirectoriesMakesEveryLevel) {
    const std::string deep = folder.file("a/b//c/");
    fs.createDirectories(deep);
    EXPECT_TRUE(fs.status(folder.file("a/b/c")).isDirectory);
    fs.createDirectories(deep);  // existing is fine
    fs.createDirectories(folder.file("a/b/d"));
    EXPECT_TRUE(fs.status(folder.file("a/b/d")).isDirectory);

    const std::string file = folder.file("a/file");
    writeText(fs, file, "x");
    EXPECT_EQ(errorOf([&] { fs.createDirectories(file); }),
              "Cannot create directory \"" + file + "\". Not a directory");
    EXPECT_EQ(errorOf([&] { fs.createDirectories(file + "/below"); }),
              "Cannot create directory \"" + file + "/below\". Not a directory");
}

TEST_F(FileSystemTest, ListsEntriesAndSyncsDirectories) {
    writeText(fs, folder.file("Kavrin.cmp"), "");
    writeText(fs, folder.file("kavrin.IST"), "");
    ASSERT_TRUE(fs.createDirectory(folder.file("backup")));
    auto names = fs.listDirectory(folder.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Kavrin.cmp", "backup", "kavrin.IST"}));
    EXPECT_NO_THROW(fs.syncDirectory(folder.path()));
    EXPECT_TRUE(fs.listDirectory(folder.file("backup")).empty());
}

TEST_F(FileSystemTest, StatusGivesSizeKindAndModificationTime) {
    const std::string path = folder.file("f");
    writeText(fs, path, "12345");
    const timespec times[2] = {{1700000000, 0}, {1724340607, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    const FileStatus file = fs.status(path);
    EXPECT_TRUE(file.exists);
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.size, 5u);
    EXPECT_EQ(file.modifiedNs, 1724340607123456789LL);

    const FileStatus dir = fs.status(folder.path());
    EXPECT_TRUE(dir.exists);
    EXPECT_TRUE(dir.isDirectory);
}

TEST(PathsTest, JoinAppendsExactlyOneSeparator) {
    EXPECT_EQ(joinPath("/data", "kavrin.cmp"), "/data/kavrin.cmp");
    EXPECT_EQ(joinPath("/data/", "kavrin.cmp"), "/data//kavrin.cmp");
    EXPECT_EQ(joinPath("", "kavrin.cmp"), "/kavrin.cmp");
    EXPECT_EQ(joinPath("\\\\SERVER\\Kavrin$", "Kavrin.ttl"), "\\\\SERVER\\Kavrin$\\Kavrin.ttl");
    EXPECT_TRUE(isSharePath("\\\\SERVER"));
    EXPECT_FALSE(isSharePath("\\SERVER"));
    EXPECT_FALSE(isSharePath("//server"));
}

TEST_F(FileSystemTest, LocateFileFindsTheNameInAnyCase) {
    writeText(fs, folder.file("Kavrin.cmp"), "");
    writeText(fs, folder.file("KAVRIN.IST"), "");
    EXPECT_EQ(locateFile(fs, folder.file("Kavrin.cmp")), folder.file("Kavrin.cmp"));
    EXPECT_EQ(locateFile(fs, folder.file("kavrin.cmp")), folder.file("Kavrin.cmp"));
    EXPECT_EQ(locateFile(fs, folder.file("Kavrin.ist")), folder.file("KAVRIN.IST"));
    EXPECT_EQ(locateFile(fs, folder.file("Kavrin.ttl")), folder.file("Kavrin.ttl"));
    // The folder part is kept as written, doubled separators included.
    EXPECT_EQ(locateFile(fs, folder.path() + "//kavrin.cmp"), folder.path() + "//Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, folder.file("missing/kavrin.cmp")), folder.file("missing/kavrin.cmp"));

    // Two spellings of the same name: guessing would open the wrong one.
    writeText(fs, folder.file("kavrin.TTL"), "");
    writeText(fs, folder.file("KAVRIN.ttl"), "");
    EXPECT_EQ(locateFile(fs, folder.file("Kavrin.ttl")), folder.file("Kavrin.ttl"));
}

// A file system that holds a fixed listing per folder and fails to list the rest.
class ListingFileSystem final : public FileSystem {
public:
    std::map<std::string, std::vector<std::string>> listings;
    std::vector<std::string> listed;

    FileStatus status(const std::string&) override { return {}; }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        listed.push_back(dir);
        const auto it = listings.find(dir);
        if (it == listings.end()) {
            throw KavrinError("Cannot read directory \"" + dir + "\". Permission denied");
        }
        return it->second;
    }
    FileBytes readFile(const std::string&) override { return {}; }
    void writeFile(const std::string&, std::span<const std::span<const std::uint8_t>>,
                   bool) override {}
    void rename(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    void createDirectories(const std::string&) override {}
    bool createDirectory(const std::string&) override { return false; }
    void syncDirectory(const std::string&) override {}
};

TEST(LocateFileTest, ListsTheRightParent) {
    ListingFileSystem fs;
    fs.listings["/"] = {"Kavrin.cmp"};
    fs.listings["."] = {"KAVRIN.ist"};
    fs.listings["data"] = {"x", "Kavrin.TTL"};
    EXPECT_EQ(locateFile(fs, "/kavrin.cmp"), "/Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "kavrin.ist"), "KAVRIN.ist");
    EXPECT_EQ(locateFile(fs, "data/kavrin.ttl"), "data/Kavrin.TTL");
    EXPECT_EQ(fs.listed, (std::vector<std::string>{"/", ".", "data"}));
}

TEST(LocateFileTest, LeavesThePathAloneWhenItCannotDecide) {
    ListingFileSystem fs;
    fs.listings["/data"] = {"kavrin.cmp.bak", "avrin.cmp", "kavrin.cm"};
    EXPECT_EQ(locateFile(fs, "/data/kavrin.cmp"), "/data/kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "/locked/kavrin.cmp"), "/locked/kavrin.cmp");  // listing fails
    EXPECT_EQ(locateFile(fs, "/data/"), "/data/");
    // Only ASCII letters fold: file names on disk are not in the code page.
    fs.listings["/data"] = {"K\xC3\x89.cmp"};
    EXPECT_EQ(locateFile(fs, "/data/k\xC3\xA9.cmp"), "/data/k\xC3\xA9.cmp");

    fs.listed.clear();
    EXPECT_EQ(locateFile(fs, "\\\\SERVER\\Kavrin$\\kavrin.cmp"), "\\\\SERVER\\Kavrin$\\kavrin.cmp");
    EXPECT_TRUE(fs.listed.empty());
}

}  // namespace
}  // namespace kavrin
