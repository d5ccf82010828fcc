#include "support/fs/Paths.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/MemoryFileSystem.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

using test::MemoryFileSystem;

void touch(FileSystem& fs, const std::string& path) {
    fs.writeFile(path, {}, false);
}

TEST(PathsTest, JoinAppendsExactlyOneSeparator) {
    const std::string native(1, nativeSeparator());
    EXPECT_EQ(joinPath("/data", "kavrin.cmp"), "/data" + native + "kavrin.cmp");
    EXPECT_EQ(joinPath("/data/", "kavrin.cmp"), "/data/" + native + "kavrin.cmp");
    EXPECT_EQ(joinPath("", "kavrin.cmp"), native + "kavrin.cmp");
    EXPECT_EQ(joinPath("\\\\SERVER\\Kavrin$", "Kavrin.ttl"), "\\\\SERVER\\Kavrin$\\Kavrin.ttl");
    EXPECT_TRUE(isSharePath("\\\\SERVER"));
    EXPECT_FALSE(isSharePath("\\SERVER"));
    EXPECT_FALSE(isSharePath("//server"));
}

TEST(LocateFileTest, FindsTheNameInAnyCase) {
    MemoryFileSystem fs;
    fs.createDirectories("/db");
    touch(fs, "/db/Kavrin.cmp");
    touch(fs, "/db/KAVRIN.IST");
    EXPECT_EQ(locateFile(fs, "/db/Kavrin.cmp"), "/db/Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "/db/kavrin.cmp"), "/db/Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "/db/Kavrin.ist"), "/db/KAVRIN.IST");
    EXPECT_EQ(locateFile(fs, "/db/Kavrin.ttl"), "/db/Kavrin.ttl");
    // The folder part is kept as written, doubled separators included.
    EXPECT_EQ(locateFile(fs, "/db//kavrin.cmp"), "/db//Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "/db/missing/kavrin.cmp"), "/db/missing/kavrin.cmp");

    // Two spellings of the same name: guessing would open the wrong one.
    touch(fs, "/db/kavrin.TTL");
    touch(fs, "/db/KAVRIN.ttl");
    EXPECT_EQ(locateFile(fs, "/db/Kavrin.ttl"), "/db/Kavrin.ttl");
}

// A file system that holds a fixed listing per folder and fails to list the rest.
class ListingFileSystem final : public FileSystem, public FileClaims {
public:
    std::map<std::string, std::vector<std::string>> listings;
    std::vector<std::string> listed;
    bool ignoring = false;

    FileStatus status(const std::string&) override { return {}; }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        listed.push_back(dir);
        const auto it = listings.find(dir);
        if (it == listings.end()) {
            throw KavrinError("Cannot read directory \"" + dir + "\". Permission denied");
        }
        return it->second;
    }
    FileBytes readWholeFile(const std::string&) override { return {}; }
    void writeWholeFile(const std::string&, std::span<const std::span<const std::uint8_t>>,
                        bool) override {}
    void rename(const std::string&, const std::string&) override {}
    void remove(const std::string&) override {}
    void createDirectories(const std::string&) override {}
    bool createDirectory(const std::string&) override { return false; }
    void syncDirectory(const std::string&) override {}
    // Holds nothing: nothing is committed through it.
    FileClaims& claims() override { return *this; }
    std::unique_ptr<HeldFile> createExclusive(const std::string&,
                                              std::span<const std::uint8_t>) override {
        return nullptr;
    }
    HoldState holdState(const std::string&) override { return HoldState::Unknown; }
    std::unique_ptr<HeldFile> takeOver(const std::string&, std::span<const std::uint8_t>,
                                       std::span<const std::uint8_t>) override {
        return nullptr;
    }
    bool ignoresCase(const std::string&) const override { return ignoring; }
};

TEST(LocateFileTest, ListsTheRightParent) {
    ListingFileSystem fs;
    fs.listings["/"] = {"Kavrin.cmp"};
    fs.listings["."] = {"KAVRIN.ist"};
    fs.listings["data"] = {"x", "Kavrin.TTL"};
    fs.listings["\\"] = {"kavrin.CMP"};
    fs.listings["\\\\SRV\\Kavrin$"] = {"KAVRIN.TTL"};
    EXPECT_EQ(locateFile(fs, "/kavrin.cmp"), "/Kavrin.cmp");
    EXPECT_EQ(locateFile(fs, "kavrin.ist"), "KAVRIN.ist");
    EXPECT_EQ(locateFile(fs, "data/kavrin.ttl"), "data/Kavrin.TTL");
    // Either separator ends the folder part.
    EXPECT_EQ(locateFile(fs, "\\kavrin.cmp"), "\\kavrin.CMP");
    EXPECT_EQ(locateFile(fs, "\\\\SRV\\Kavrin$\\kavrin.ttl"), "\\\\SRV\\Kavrin$\\KAVRIN.TTL");
    EXPECT_EQ(fs.listed, (std::vector<std::string>{"/", ".", "data", "\\", "\\\\SRV\\Kavrin$"}));
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

    // A file system that ignores case finds every spelling itself: nothing to look for.
    fs.listed.clear();
    fs.ignoring = true;
    fs.listings["/data"] = {"Kavrin.cmp"};
    EXPECT_EQ(locateFile(fs, "/data/kavrin.cmp"), "/data/kavrin.cmp");
    EXPECT_TRUE(fs.listed.empty());
}

}  // namespace
}  // namespace kavrin
