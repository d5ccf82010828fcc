#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/FaultyFileSystem.h"
#include "common/FileSystemTestKit.h"
#include "common/MemoryFileSystem.h"
#include "common/ShareFolder.h"
#include "common/TempFolder.h"
#include "common/TestPlatform.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/fs/RoutingFileSystem.h"
#include "support/platform/Errors.h"
#include "support/text/Crc32.h"

namespace kavrin {
namespace {

using test::FaultyFileSystem;
using test::FileOp;
using test::MemoryFileSystem;
using test::TempFolder;

// One back end under test with an empty folder of its own, for one test.
struct Scene {
    FileSystem* fs = nullptr;
    std::string root;
    std::shared_ptr<const void> owner;  // what lives as long as the test: the back end, the folder
    // Handles the process holds open, where the back end can count them.
    std::function<std::size_t()> openHandles;
};

// A back end of the conformance suite: how to open a scene on it and what it promises. One that
// needs a server names it in an environment variable and opens no scene without it, which skips
// its cases.
struct BackEnd {
    const char* name;
    std::function<std::optional<Scene>()> open;
    bool ignoresCase;
    bool posixReasons;  // fails with the POSIX texts of the reasons
    bool inBlocks;      // reports progress block by block, not once per file
    bool locks;         // holdState tells a held file from one whose holder ended
    CopyMethod copies;  // who copies a file within one folder
};

// A scene in a fresh temporary folder of the machine's disk, reached through `fs`, which `owned`
// holds where the scene makes its own.
Scene onDisk(FileSystem& fs, std::shared_ptr<FileSystem> owned = {}) {
    struct Owner {
        std::shared_ptr<FileSystem> fs;
        TempFolder folder;
    };
    auto owner = std::make_shared<Owner>();
    owner->fs = std::move(owned);
    Scene scene{&fs, owner->folder.path(), owner, {}};
    scene.openHandles = test::openHandleCount;
    return scene;
}

Scene inMemory(MemoryFileSystem::Case names) {
    auto memory = std::make_shared<MemoryFileSystem>(names);
    memory->createDirectories("/conformance");
    return Scene{memory.get(), "/conformance", memory, {}};
}

Scene faultyOnDisk() {
    auto faulty = std::make_shared<FaultyFileSystem>(nativeFileSystem());
    return onDisk(*faulty, faulty);
}

#ifndef _WIN32
// A fresh folder on the test server's share, logged on as the test user; nothing without a
// server.
std::optional<Scene> onShare() {
    if (!test::testShare()) {
        return std::nullopt;
    }
    test::useTestCredentials();
    auto folder = std::make_shared<test::ShareFolder>();
    return Scene{&shareFileSystem(), folder->path(), folder, {}};
}
#endif

// name, its scene, ignores case, POSIX reasons, progress in blocks, locks, copies
const BackEnd kBackEnds[] = {
    {"Memory", [] { return inMemory(MemoryFileSystem::Case::Sensitive); }, false, true, false, true,
     CopyMethod::ThroughProgram},
    {"MemoryIgnoringCase", [] { return inMemory(MemoryFileSystem::Case::Ignored); }, true, true,
     false, true, CopyMethod::ThroughProgram},
#ifdef _WIN32
    {"Native", [] { return onDisk(nativeFileSystem()); }, true, false, true, true,
     CopyMethod::InSystem},
    {"Routed", [] { return onDisk(localFileSystem()); }, true, false, true, true,
     CopyMethod::InSystem},
    {"Faulty", faultyOnDisk, true, false, true, true, CopyMethod::ThroughProgram},
    // A folder of the share the test environment names, reached through the router.
    {"Share",
     []() -> std::optional<Scene> {
         std::shared_ptr<const std::string> folder = test::testShareFolder();
         if (!folder) {
             return std::nullopt;
         }
         return Scene{&localFileSystem(), *folder, folder, test::openHandleCount};
     },
     true, false, true, true, CopyMethod::InSystem},
#else
    {"Native", [] { return onDisk(nativeFileSystem()); }, false, true, true, true,
     CopyMethod::InSystem},
    {"Routed", [] { return onDisk(localFileSystem()); }, false, true, true, true,
     CopyMethod::InSystem},
    {"Faulty", faultyOnDisk, false, true, true, true, CopyMethod::ThroughProgram},
    // The test server's share through Samba's client library, which has no locks.
    {"Share", onShare, true, true, true, false, CopyMethod::OnServer},
#endif
};

void PrintTo(const BackEnd& backEnd, std::ostream* out) {
    *out << backEnd.name;
}

class FileSystemConformance : public ::testing::TestWithParam<BackEnd> {
protected:
    void SetUp() override {
        std::optional<Scene> opened = GetParam().open();
        if (!opened) {
            GTEST_SKIP() << GetParam().name << " has nothing to run against here";
        }
        scene = std::move(*opened);
    }

    FileSystem& fs() { return *scene.fs; }
    FileClaims& claims() { return scene.fs->claims(); }

    // `relative` below the scene's folder, its '/' written as the folder's own separator.
    std::string at(std::string relative) const {
        if (isSharePath(scene.root)) {
            std::replace(relative.begin(), relative.end(), '/', '\\');
        }
        return joinPath(scene.root, relative);
    }

    std::vector<std::string> sortedListing(const std::string& dir) {
        std::vector<std::string> names = fs().listDirectory(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

    Scene scene;
};

std::string nameOf(const ::testing::TestParamInfo<BackEnd>& backEnd) {
    return backEnd.param.name;
}

INSTANTIATE_TEST_SUITE_P(BackEnds, FileSystemConformance, ::testing::ValuesIn(kBackEnds), nameOf);

TEST_P(FileSystemConformance, WritesPartsOneAfterAnotherAndReadsThemBack) {
    const auto header = bytesOf("HEADER");
    const auto empty = bytesOf("");
    std::vector<std::uint8_t> body(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    const std::span<const std::uint8_t> parts[] = {header, empty, body};
    const std::string path = at("Kavrin.cmp");
    fs().writeFile(path, parts, true);

    const FileBytes read = fs().readFile(path);
    ASSERT_EQ(read.size, header.size() + body.size());
    EXPECT_EQ(std::memcmp(read.data.get(), header.data(), header.size()), 0);
    EXPECT_EQ(std::memcmp(read.data.get() + header.size(), body.data(), body.size()), 0);
    EXPECT_EQ(fs().status(path).size, read.size);
}

TEST_P(FileSystemConformance, WritingReplacesTheWholeOldContent) {
    const std::string path = at("f");
    writeText(fs(), path, "a much longer old content");
    writeText(fs(), path, "new");
    EXPECT_EQ(readText(fs(), path), "new");

    fs().writeFile(path, {}, false);
    EXPECT_EQ(fs().readFile(path).size, 0u);
    EXPECT_TRUE(fs().status(path).exists);
}

TEST_P(FileSystemConformance, RenameReplacesTheTargetAndRemoveDeletes) {
    const std::string from = at("new.tmp");
    const std::string to = at("Kavrin.ist");
    writeText(fs(), to, "old");
    writeText(fs(), from, "fresh");
    fs().rename(from, to);
    EXPECT_EQ(readText(fs(), to), "fresh");
    EXPECT_FALSE(fs().status(from).exists);

    fs().remove(to);
    EXPECT_FALSE(fs().status(to).exists);
}

TEST_P(FileSystemConformance, CreatesOneDirectoryOrEveryLevel) {
    const std::string dir = at("20240822-153007");
    EXPECT_TRUE(fs().createDirectory(dir));
    EXPECT_TRUE(fs().status(dir).isDirectory);
    EXPECT_FALSE(fs().createDirectory(dir));

    const std::string file = at("plain");
    writeText(fs(), file, "x");
    EXPECT_FALSE(fs().createDirectory(file));
    EXPECT_FALSE(fs().status(file).isDirectory);

    const std::string deep = at("a/b//c/");
    fs().createDirectories(deep);
    EXPECT_TRUE(fs().status(at("a/b/c")).isDirectory);
    fs().createDirectories(deep);  // existing is fine
    fs().createDirectories(at("a/b/d"));
    EXPECT_TRUE(fs().status(at("a/b/d")).isDirectory);
}

TEST_P(FileSystemConformance, ListsEntriesAndSyncsDirectories) {
    writeText(fs(), at("Kavrin.cmp"), "");
    writeText(fs(), at("kavrin.IST"), "");
    ASSERT_TRUE(fs().createDirectory(at("backup")));
    EXPECT_EQ(sortedListing(scene.root),
              (std::vector<std::string>{"Kavrin.cmp", "backup", "kavrin.IST"}));
    EXPECT_NO_THROW(fs().syncDirectory(scene.root));
    EXPECT_TRUE(fs().listDirectory(at("backup")).empty());
}

TEST_P(FileSystemConformance, StatusGivesSizeAndKindAndNeverThrows) {
    writeText(fs(), at("f"), "12345");
    const FileStatus file = fs().status(at("f"));
    EXPECT_TRUE(file.exists);
    EXPECT_FALSE(file.isDirectory);
    EXPECT_EQ(file.size, 5u);

    const FileStatus dir = fs().status(scene.root);
    EXPECT_TRUE(dir.exists);
    EXPECT_TRUE(dir.isDirectory);

    for (const char* nothing : {"missing", "missing/f", "f/below"}) {
        EXPECT_EQ(fs().status(at(nothing)), FileStatus{}) << nothing;
    }

    // Several at once are what each gives alone: within one folder (a share lists it) and not.
    fs().createDirectories(at("sub"));
    writeText(fs(), at("sub/g"), "1234567");
    const std::vector<std::vector<std::string>> lists = {
        {at("f"), at("F"), at("sub"), at("missing")},
        {at("sub/g"), at("f"), at("missing/f"), at("f/below")},
        {at("F")},
    };
    for (const std::vector<std::string>& paths : lists) {
        std::vector<FileStatus> oneByOne;
        for (const std::string& path : paths) {
            oneByOne.push_back(fs().status(path));
        }
        EXPECT_EQ(fs().statuses(paths), oneByOne) << paths.front();
    }
}

TEST_P(FileSystemConformance, FindsANameInAnyCaseOnlyWhereItIgnoresCase) {
    const std::string path = at("Kavrin.cmp");
    const std::string other = at("KAVRIN.cmp");
    writeText(fs(), path, "nodes");
    const bool ignores = GetParam().ignoresCase;
    EXPECT_EQ(fs().ignoresCase(other), ignores);
    EXPECT_EQ(fs().status(other).exists, ignores);
    // Either way locateFile gives a path that opens the file.
    EXPECT_EQ(locateFile(fs(), other), ignores ? other : path);
    EXPECT_EQ(readText(fs(), locateFile(fs(), other)), "nodes");

    // Writing under the other spelling rewrites the one file where case is ignored and makes a
    // second file where it is not.
    writeText(fs(), other, "other");
    EXPECT_EQ(readText(fs(), path), ignores ? "other" : "nodes");
    const std::vector<std::string> one = {"Kavrin.cmp"};
    const std::vector<std::string> two = {"KAVRIN.cmp", "Kavrin.cmp"};
    EXPECT_EQ(sortedListing(scene.root), ignores ? one : two);
}

TEST_P(FileSystemConformance, FailuresNameThePathAndTheReason) {
    const std::string missing = at("missing");
    const std::string inMissing = at("missing/f");
    const std::string dir = scene.root;
    const std::string file = at("plain");
    writeText(fs(), file, "x");
    const char* const kNotFound = "No such file or directory";
    const struct {
        std::string start;  // the message up to the reason
        const char* posixReason;
        std::function<void()> action;
    } cases[] = {
        {"Cannot open file \"" + missing, kNotFound, [&] { fs().readFile(missing); }},
        {"Cannot open file \"" + dir, "Is a directory", [&] { fs().readFile(dir); }},
        {"Cannot open file \"" + missing, kNotFound,
         [&] { fs().readFileInBlocks(missing, [](auto) {}); }},
        {"Cannot open file \"" + dir, "Is a directory",
         [&] { fs().readFileInBlocks(dir, [](auto) {}); }},
        {"Cannot create file \"" + inMissing, kNotFound, [&] { writeText(fs(), inMissing, "x"); }},
        {"Cannot create file \"" + dir, "Is a directory", [&] { writeText(fs(), dir, "x"); }},
        {"Cannot rename file \"" + missing + "\" to \"" + at("b"), kNotFound,
         [&] { fs().rename(missing, at("b")); }},
        {"Cannot delete file \"" + missing, kNotFound, [&] { fs().remove(missing); }},
        {"Cannot create directory \"" + inMissing, kNotFound,
         [&] { (void)fs().createDirectory(inMissing); }},
        {"Cannot create directory \"" + file, "Not a directory",
         [&] { fs().createDirectories(file); }},
        {"Cannot create directory \"" + at("plain/below"), "Not a directory",
         [&] { fs().createDirectories(at("plain/below")); }},
        {"Cannot flush directory \"" + missing, kNotFound, [&] { fs().syncDirectory(missing); }},
        {"Cannot read directory \"" + missing, kNotFound, [&] { fs().listDirectory(missing); }},
        {"Cannot create file \"" + inMissing, kNotFound,
         [&] { (void)claims().createExclusive(inMissing, bytesOf("x")); }},
        {"Cannot open file \"" + missing, kNotFound,
         [&] { fs().copyFile(missing, at("c"), false); }},
        {"Cannot open file \"" + dir, "Is a directory",
         [&] { fs().copyFile(dir, at("c"), false); }},
        {"Cannot create file \"" + inMissing, kNotFound,
         [&] { fs().copyFile(file, inMissing, false); }},
    };
    for (const auto& c : cases) {
        const std::string message = errorOf(c.action);
        ASSERT_TRUE(message.starts_with(c.start + "\". ")) << message;
        const std::string reason = message.substr(c.start.size() + 3);
        EXPECT_FALSE(reason.empty()) << message;
        if (GetParam().posixReasons) {
            EXPECT_EQ(reason, c.posixReason) << message;
        }
    }
}

// The reports of one transfer, (done, total) each.
using Reports = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

FileProgress recordInto(Reports& reports) {
    return
        [&reports](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); };
}

// Each block adds to the figures; a back end waiting with nothing moved (the final flush of a
// durable write) may repeat them.
void expectGrowingToTheTotal(const Reports& reports, std::uint64_t total, bool inBlocks) {
    ASSERT_FALSE(reports.empty());
    std::size_t steps = 1;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].second, total);
        if (i > 0) {
            EXPECT_GE(reports[i].first, reports[i - 1].first);
            steps += reports[i].first > reports[i - 1].first ? 1 : 0;
        }
    }
    EXPECT_EQ(reports.back().first, total);
    if (inBlocks) {
        EXPECT_GT(steps, 2u);
    }
}

// What the commit's one-at-a-time claim relies on. A back end without locks answers Unknown for
// every file: its claims are judged by their content alone.
TEST_P(FileSystemConformance, OneCreatorHoldsAFileUntilItGoesAndAnEndedHoldIsTakenOver) {
    const bool locks = GetParam().locks;
    const HoldState held = locks ? HoldState::Held : HoldState::Unknown;
    const HoldState ended = locks ? HoldState::Free : HoldState::Unknown;
    const std::string claim = at("Kavrin.claim");
    const auto mine = bytesOf("mine");
    EXPECT_EQ(claims().holdState(claim), HoldState::Unknown);  // nothing there

    std::unique_ptr<HeldFile> holder = claims().createExclusive(claim, mine);
    ASSERT_TRUE(holder);
    EXPECT_EQ(readText(fs(), claim), "mine");
    EXPECT_EQ(claims().holdState(claim), held);
    EXPECT_FALSE(claims().createExclusive(claim, bytesOf("x")));  // the second creator
    if (locks) {
        EXPECT_FALSE(claims().takeOver(claim, mine, bytesOf("x")));  // held: not to be taken over
        EXPECT_EQ(readText(fs(), claim), "mine");
    }

    // The holder ends without removing it, as a process that dies: the file stays, unheld.
    holder.reset();
    EXPECT_EQ(claims().holdState(claim), ended);
    EXPECT_FALSE(claims().takeOver(claim, bytesOf("other"), bytesOf("x")));
    holder = claims().takeOver(claim, mine, bytesOf("next"));
    ASSERT_TRUE(holder);
    EXPECT_EQ(readText(fs(), claim), "next");
    EXPECT_EQ(claims().holdState(claim), held);
    if (locks) {
        EXPECT_FALSE(claims().takeOver(claim, bytesOf("next"), bytesOf("x")));
    }

    holder->remove();
    EXPECT_FALSE(fs().status(claim).exists);
    holder.reset();
    EXPECT_FALSE(claims().takeOver(claim, bytesOf("next"), bytesOf("x")));  // gone
    EXPECT_TRUE(claims().createExclusive(claim, mine));

    // A holder whose file was removed by hand and made anew by another removes only its own.
    std::unique_ptr<HeldFile> first = claims().createExclusive(at("second.claim"), bytesOf("1"));
    ASSERT_TRUE(first);
    fs().remove(at("second.claim"));
    std::unique_ptr<HeldFile> second = claims().createExclusive(at("second.claim"), bytesOf("2"));
    ASSERT_TRUE(second);
    first->remove();
    first.reset();
    EXPECT_EQ(readText(fs(), at("second.claim")), "2");
    EXPECT_EQ(claims().holdState(at("second.claim")), held);
}

TEST_P(FileSystemConformance, ReportsProgressInGrowingStepsEndingAtTheTotal) {
    std::vector<std::uint8_t> data(9 * 1024 * 1024 + 5);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    const std::span<const std::uint8_t> all(data);
    const std::span<const std::uint8_t> parts[] = {all.first(1000), all.subspan(1000)};
    const std::string path = at("Kavrin.ist");
    Reports written;
    fs().writeFile(path, parts, true, recordInto(written));
    expectGrowingToTheTotal(written, data.size(), GetParam().inBlocks);

    Reports read;
    const FileBytes bytes = fs().readFile(path, recordInto(read));
    expectGrowingToTheTotal(read, data.size(), GetParam().inBlocks);
    ASSERT_EQ(bytes.size, data.size());
    EXPECT_EQ(std::memcmp(bytes.data.get(), data.data(), data.size()), 0);

    // In blocks: the same bytes in order, in more than one block where the back end reads so.
    std::vector<std::uint8_t> joined;
    std::size_t blocks = 0;
    fs().readFileInBlocks(path, [&](std::span<const std::uint8_t> block) {
        joined.insert(joined.end(), block.begin(), block.end());
        ++blocks;
    });
    EXPECT_EQ(joined, data);
    EXPECT_EQ(blocks > 1, GetParam().inBlocks);

    // An empty file is reported once, whole.
    Reports empty;
    fs().writeFile(at("empty"), {}, false, recordInto(empty));
    (void)fs().readFile(at("empty"), recordInto(empty));
    EXPECT_EQ(empty, (Reports{{0, 0}, {0, 0}}));
}

TEST_P(FileSystemConformance, CopiesAFileWholeOverAnOldOneAndSaysWhoCopied) {
    std::vector<std::uint8_t> data(5 * 1024 * 1024 + 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 11 + i / 7001);
    }
    const std::span<const std::uint8_t> parts[] = {data};
    const std::string from = at("Kavrin.ist");
    fs().writeFile(from, parts, false);
    fs().createDirectories(at("backup"));
    const std::string to = at("backup/Kavrin.ist");
    const std::vector<std::uint8_t> longer(data.size() + 4096, 0xEE);
    const std::span<const std::uint8_t> old[] = {longer};
    fs().writeFile(to, old, false);

    Reports reports;
    const FileCopy copy = fs().copyFile(from, to, true, recordInto(reports));
    EXPECT_EQ(copy.size, data.size());
    // A system copy on a file system with shared blocks (TMPDIR on XFS or Btrfs) is a clone.
    EXPECT_EQ(copy.method == CopyMethod::Cloned ? CopyMethod::InSystem : copy.method,
              GetParam().copies);
    // Only a copy through the program has seen the bytes.
    EXPECT_EQ(copy.crc, copy.method == CopyMethod::ThroughProgram
                            ? std::optional<std::uint32_t>(crc32(data))
                            : std::nullopt);
    expectGrowingToTheTotal(reports, data.size(), false);
    const FileBytes copied = fs().readFile(to);
    ASSERT_EQ(copied.size, data.size());
    EXPECT_EQ(std::memcmp(copied.data.get(), data.data(), data.size()), 0);

    // A source that is not there makes nothing.
    const std::string nowhere = at("backup/nowhere");
    EXPECT_THROW(fs().copyFile(at("missing"), nowhere, false), KavrinError);
    EXPECT_FALSE(fs().status(nowhere).exists);
    // What the progress throws ends the copy and reaches the caller.
    EXPECT_THROW(
        fs().copyFile(from, at("backup/stopped"), false,
                      [](std::uint64_t, std::uint64_t) { throw std::runtime_error("stop"); }),
        std::runtime_error);
}

TEST_P(FileSystemConformance, WritesContentAsItIsMadeAndRefusesAnotherSize) {
    // Blocks made one by one from a buffer used again for each, as a compaction makes them.
    constexpr std::size_t kBlock = 2 * 1024 * 1024;
    constexpr int kBlocks = 3;
    const auto byteAt = [](std::size_t i) { return static_cast<std::uint8_t>(i * 7 + i / 4099); };
    const FileProducer produce = [&](FileSink& sink) {
        std::vector<std::uint8_t> block(kBlock);
        for (int b = 0; b < kBlocks; ++b) {
            for (std::size_t i = 0; i < kBlock; ++i) {
                block[i] = byteAt(b * kBlock + i);
            }
            sink.write(block);
        }
        sink.write(std::span<const std::uint8_t>(block).first(0));
    };
    const std::uint64_t size = kBlocks * kBlock;
    const std::string path = at("Kavrin.ist.new");
    Reports written;
    fs().writeFileInBlocks(path, size, produce, true, recordInto(written));
    expectGrowingToTheTotal(written, size, GetParam().inBlocks);
    const FileBytes read = fs().readFile(path);
    ASSERT_EQ(read.size, size);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < read.size; ++i) {
        wrong += read.data[i] != byteAt(i) ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
    fs().cacheHints().releaseCache(path, {});  // a hint: the file stays as it is
    EXPECT_EQ(fs().readFile(path).size, size);

    const std::string message =
        errorOf([&] { fs().writeFileInBlocks(path, size + 1, produce, false); });
    EXPECT_TRUE(message.starts_with("Cannot write file \"" + path + "\". ")) << message;
    struct Stop {};
    EXPECT_THROW(fs().writeFileInBlocks(
                     path, size, [](FileSink&) { throw Stop{}; }, false),
                 Stop);
    writeText(fs(), path, "whole");
    EXPECT_EQ(readText(fs(), path), "whole");
}

TEST_P(FileSystemConformance, AnExceptionFromProgressAbortsTheTransferAndReachesTheCaller) {
    struct Abort {};
    const std::vector<std::uint8_t> data(9 * 1024 * 1024, 7);
    const std::span<const std::uint8_t> parts[] = {data};
    const std::string path = at("Kavrin.cmp.new");
    fs().writeFile(path, parts, false);
    const std::size_t handles = scene.openHandles ? scene.openHandles() : 0;

    int reports = 0;
    const FileProgress abort = [&](std::uint64_t, std::uint64_t) {
        ++reports;
        throw Abort{};
    };
    EXPECT_THROW(fs().readFile(path, abort), Abort);
    EXPECT_THROW(fs().writeFile(path, parts, true, abort), Abort);
    EXPECT_THROW(fs().readFileInBlocks(path, [&](auto) { abort(0, 0); }), Abort);
    EXPECT_EQ(reports, 3);
    if (scene.openHandles) {
        EXPECT_EQ(scene.openHandles(), handles);
    }
    // Nothing of the aborted transfers stands in the way of the next ones.
    writeText(fs(), path, "whole");
    EXPECT_EQ(readText(fs(), path), "whole");
    fs().remove(path);
    EXPECT_FALSE(fs().status(path).exists);
}

TEST(RoutingFileSystemTest, SendsSharePathsToTheShareBackEndAndTheRestToTheLocalOne) {
    MemoryFileSystem localMemory;
    MemoryFileSystem shareMemory(MemoryFileSystem::Case::Ignored);
    FaultyFileSystem local(localMemory);  // counts and records the calls, fails none
    FaultyFileSystem share(shareMemory);
    RoutingFileSystem fs(local, share);
    const std::span<const std::uint8_t> nothing[] = {std::span<const std::uint8_t>()};
    const FileProgress ignore = [](std::uint64_t, std::uint64_t) {};
    const std::function<void(const std::string&)> operations[] = {
        [&](const std::string& p) { (void)fs.status(p); },
        [&](const std::string& p) { fs.listDirectory(p); },
        [&](const std::string& p) { fs.readFile(p); },
        [&](const std::string& p) { fs.readFile(p, ignore); },
        [&](const std::string& p) { fs.writeFile(p, nothing, false); },
        [&](const std::string& p) { fs.writeFile(p, nothing, true, ignore); },
        [&](const std::string& p) {
            fs.writeFileInBlocks(
                p, 0, [](FileSink&) {}, true, ignore);
        },
        [&](const std::string& p) { fs.rename(p, p + ".new"); },
        [&](const std::string& p) { fs.remove(p); },
        [&](const std::string& p) { fs.createDirectories(p); },
        [&](const std::string& p) { (void)fs.createDirectory(p); },
        [&](const std::string& p) { fs.syncDirectory(p); },
    };
    for (const std::string path : {"/data/Kavrin.cmp", "\\\\SRV\\Kavrin$\\Kavrin.cmp"}) {
        const bool onShare = isSharePath(path);
        FaultyFileSystem& taker = onShare ? share : local;
        EXPECT_EQ(fs.ignoresCase(path), onShare) << path;
        for (const auto& operation : operations) {
            const int localCalls = local.calls(FileOp::Any);
            const int shareCalls = share.calls(FileOp::Any);
            try {
                operation(path);
            } catch (const KavrinError&) {
                // the memory back end has no such file: only where the call went matters
            }
            EXPECT_EQ(local.calls(FileOp::Any) - localCalls, onShare ? 0 : 1);
            EXPECT_EQ(share.calls(FileOp::Any) - shareCalls, onShare ? 1 : 0);
            EXPECT_NE(taker.journal().back().find(path), std::string::npos)
                << taker.journal().back();
        }
    }

    writeText(fs, "/data.tmp", "x");
    EXPECT_EQ(errorOf([&] { fs.rename("/data.tmp", "\\\\SRV\\Kavrin$\\Kavrin.cmp"); }),
              "Cannot rename file \"/data.tmp\" to \"\\\\SRV\\Kavrin$\\Kavrin.cmp\". The two "
              "paths are on different file systems");
    EXPECT_TRUE(localMemory.status("/data.tmp").exists);
}

TEST(RoutingFileSystemTest, TheProgramsFileSystemFindsNothingOnAShareItCannotReach) {
    FileSystem& fs = localFileSystem();
    const std::string share = "\\\\kavrin-test.invalid\\Kavrin$";
    const std::string file = share + "\\Kavrin.cmp";
    EXPECT_EQ(fs.status(file), FileStatus{});
    EXPECT_TRUE(fs.ignoresCase(file));
    EXPECT_EQ(fs.ignoresCase("/tmp/Kavrin.cmp"), nativeFileSystem().ignoresCase("/tmp/Kavrin.cmp"));
    const std::pair<std::string, std::function<void()>> failures[] = {
        {"Cannot open file \"" + file, [&] { fs.readFile(file); }},
        {"Cannot create file \"" + file, [&] { writeText(fs, file, "x"); }},
        {"Cannot delete file \"" + file, [&] { fs.remove(file); }},
        {"Cannot read directory \"" + share, [&] { fs.listDirectory(share); }},
        {"Cannot create directory \"" + share, [&] { fs.createDirectories(share); }},
        {"Cannot flush directory \"" + share, [&] { fs.syncDirectory(share); }},
    };
    for (const auto& [start, action] : failures) {
        const std::string message = errorOf(action);
        EXPECT_TRUE(message.starts_with(start + "\". ")) << message;
    }
}

}  // namespace
}  // namespace kavrin
