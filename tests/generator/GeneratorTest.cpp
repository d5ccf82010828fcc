#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "dbformat/Coding.h"
#include "dbformat/DatabaseFile.h"
#include "dbformat/Layout.h"
#include "generator/Generator.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin {
namespace {

GeneratorOptions smallOptions(std::uint64_t seed) {
    GeneratorOptions o;
    o.nodes = 300;
    o.installsPerNode = 7;
    o.titles = 90;
    o.seed = seed;
    return o;
}

bool sameBytes(const FileBytes& a, const FileBytes& b) {
    return a.size == b.size && std::memcmp(a.data.get(), b.data.get(), a.size) == 0;
}

TEST(Generator, SameSeedSameBytesOtherSeedOtherBytes) {
    const GeneratedDatabase a = generateDatabase(smallOptions(7));
    const GeneratedDatabase b = generateDatabase(smallOptions(7));
    EXPECT_EQ(a.nodeHeader, b.nodeHeader);
    EXPECT_EQ(a.installHeader, b.installHeader);
    EXPECT_EQ(a.titleHeader, b.titleHeader);
    EXPECT_TRUE(sameBytes(a.nodes, b.nodes));
    EXPECT_TRUE(sameBytes(a.installs, b.installs));
    EXPECT_TRUE(sameBytes(a.titles, b.titles));

    const GeneratedDatabase c = generateDatabase(smallOptions(8));
    EXPECT_NE(a.nodeHeader, c.nodeHeader);
    EXPECT_FALSE(sameBytes(a.nodes, c.nodes));
    EXPECT_FALSE(sameBytes(a.installs, c.installs));
    EXPECT_FALSE(sameBytes(a.titles, c.titles));
}

// Everything a test can find out about a generated database by reading its bytes, without
// trusting what the generator says it did.
struct Census {
    std::uint32_t nulls = 0, named = 0, duplicates = 0, inactive = 0, inactiveTwo = 0;
    std::uint32_t caseOnlyDuplicates = 0;
    std::uint64_t dead = 0, dangling = 0;
    std::uint32_t orphanedTitles = 0;
    std::set<int> lastOnlineYears;
    double earliest = 1e9, latest = 0;
};

Census takeCensus(const GeneratedDatabase& db) {
    Census c;
    std::map<std::string, std::string> firstSpelling;  // folded name -> spelling first met
    for (std::size_t off = 0; off + node::kSize <= db.nodes.size; off += node::kSize) {
        const NodeRecordView record(db.nodes.data.get() + off);
        if (record.isNullRecord()) {
            ++c.nulls;
            continue;
        }
        ++c.named;
        const std::string name(record.nodeNameAsName());
        auto [it, added] = firstSpelling.try_emplace(ansiFoldKey(name), name);
        if (!added) {
            ++c.duplicates;
            c.caseOnlyDuplicates += it->second != name ? 1 : 0;
        }
        if (record.inactive() != 0) {
            ++c.inactive;
            c.inactiveTwo += record.inactive() == 2 ? 1 : 0;
        }
        DateTimeParts parts;
        EXPECT_TRUE(decodeDateTime(record.lastOnline(), parts)) << name;
        c.lastOnlineYears.insert(parts.year);
        c.earliest = std::min(c.earliest, record.lastOnline());
        c.latest = std::max(c.latest, record.lastOnline());
    }
    const std::uint64_t nodeBody = db.nodes.size;
    const std::uint64_t titleBody = db.titles.size;
    std::vector<bool> titleNamed(db.titles.size / title::kSize, false);
    for (std::size_t off = 0; off + install::kSize <= db.installs.size; off += install::kSize) {
        const std::uint8_t* r = db.installs.data.get() + off;
        c.dead += installState(r) != 0 ? 1 : 0;
        const std::uint32_t nodeRef = installNodeRef(r);
        const std::uint32_t titleRef = installTitleRef(r);
        const bool nodeOk = nodeRef % node::kSize == 0 && nodeRef < nodeBody;
        const bool titleOk = titleRef % title::kSize == 0 && titleRef < titleBody;
        c.dangling += nodeOk && titleOk ? 0 : 1;
        if (titleOk) {
            titleNamed[titleRef / title::kSize] = true;
        }
    }
    for (bool named : titleNamed) {
        c.orphanedTitles += named ? 0 : 1;
    }
    return c;
}

TEST(Generator, RequestedRatesAreMetAndReportedTruthfully) {
    GeneratorOptions o;
    o.nodes = 20000;
    o.installsPerNode = 5;
    o.titles = 2000;
    o.seed = 11;
    o.duplicateRate = 0.1;
    o.nullRate = 0.05;
    o.inactiveRate = 0.2;
    o.deadInstallRate = 0.1;
    o.danglingRate = 0.05;
    const GeneratedDatabase db = generateDatabase(o);
    ASSERT_EQ(db.nodes.size, std::size_t{20000} * node::kSize);
    ASSERT_EQ(db.installs.size, std::size_t{100000} * install::kSize);
    ASSERT_EQ(db.titles.size, std::size_t{2000} * title::kSize);

    const Census c = takeCensus(db);
    EXPECT_NEAR(c.nulls / 20000.0, 0.05, 0.01);
    EXPECT_NEAR(static_cast<double>(c.duplicates) / c.named, 0.1, 0.015);
    EXPECT_NEAR(static_cast<double>(c.inactive) / c.named, 0.2, 0.015);
    EXPECT_NEAR(static_cast<double>(c.dead) / 100000.0, 0.1, 0.01);
    EXPECT_NEAR(static_cast<double>(c.dangling) / 100000.0, 0.05, 0.01);
    // Some copies differ from the first spelling only in case, some inactive bytes are 2, some
    // titles are named by no install at all.
    EXPECT_GT(c.caseOnlyDuplicates, c.duplicates / 4);
    EXPECT_LT(c.caseOnlyDuplicates, c.duplicates);
    EXPECT_GT(c.inactiveTwo, 0u);
    EXPECT_LT(c.inactiveTwo, c.inactive / 4);
    EXPECT_GT(c.orphanedTitles, 0u);
    // Several years of contact, none after the day the database is taken.
    EXPECT_GE(c.lastOnlineYears.size(), 6u);
    EXPECT_LE(c.latest, encodeDateTime(2026, 12, 2));
    EXPECT_GE(c.earliest, encodeDateTime(2019, 1, 1));

    EXPECT_EQ(db.counts.nullRecords, c.nulls);
    EXPECT_EQ(db.counts.duplicates, c.duplicates);
    EXPECT_EQ(db.counts.inactive, c.inactive);
    EXPECT_EQ(db.counts.deadInstalls, c.dead);
    EXPECT_EQ(db.counts.danglingInstalls, c.dangling);
    EXPECT_EQ(db.counts.orphanedTitles, c.orphanedTitles);
}

TEST(Generator, ZeroRatesGiveACleanDatabaseAndFullRatesAnEmptyOne) {
    GeneratorOptions o = smallOptions(3);
    o.duplicateRate = o.nullRate = o.inactiveRate = o.deadInstallRate = o.danglingRate = 0.0;
    Census c = takeCensus(generateDatabase(o));
    EXPECT_EQ(c.nulls + c.duplicates + c.inactive, 0u);
    EXPECT_EQ(c.dead + c.dangling, 0u);

    o.nullRate = 1.0;
    c = takeCensus(generateDatabase(o));
    EXPECT_EQ(c.nulls, o.nodes);
}

TEST(Generator, PlausibleRecordsWithRandomBytesWhereNothingIsRead) {
    const GeneratedDatabase db = generateDatabase(smallOptions(5));
    const std::uint8_t* nodes = db.nodes.data.get();
    std::set<std::string> unusedRuns;
    std::uint32_t nonZeroAfterName = 0, named = 0, addedAfterLastOnline = 0;
    for (std::size_t off = 0; off + node::kSize <= db.nodes.size; off += node::kSize) {
        const NodeRecordView record(nodes + off);
        if (record.isNullRecord()) {
            continue;
        }
        ++named;
        const std::string name = record.nodeName();
        EXPECT_LE(name.size(), node::kNodeNameCapacity);
        const std::string folded = ansiFoldKey(name);
        EXPECT_TRUE(folded.starts_with("PC-") || folded.starts_with("LT-") ||
                    folded.starts_with("SRV-"))
            << name;
        EXPECT_FALSE(record.manufacturer().empty());
        EXPECT_FALSE(record.serialNumber().empty());
        unusedRuns.emplace(reinterpret_cast<const char*>(nodes + off + node::kUnused4), 430);
        const std::uint8_t* afterName = nodes + off + node::kNodeName + 1 + name.size();
        for (std::size_t i = name.size(); i < node::kNodeNameCapacity; ++i) {
            nonZeroAfterName += afterName[i - name.size()] != 0 ? 1 : 0;
        }
        if (record.addedDay() != 0 && DayNumberToDate(record.addedDay()) > record.lastOnline()) {
            ++addedAfterLastOnline;
        }
    }
    EXPECT_EQ(unusedRuns.size(), named);  // no two records carry the same filler
    EXPECT_GT(nonZeroAfterName, named);   // text space after a name is not wiped
    EXPECT_EQ(addedAfterLastOnline, 0u);

    // The headers of the three files differ, and only the node file's needs to be valid.
    EXPECT_EQ(db.nodeHeader.dbType(), 1u);
    EXPECT_EQ(db.nodeHeader.dbVersion(), 2u);
    EXPECT_NE(db.nodeHeader, db.installHeader);
    EXPECT_NE(db.nodeHeader, db.titleHeader);
    EXPECT_NE(db.installHeader, db.titleHeader);
    EXPECT_GE(db.nodeHeader.created(), 1.0);
    EXPECT_GE(db.nodeHeader.updated(), db.nodeHeader.created());
}

TEST(Generator, RefusesOptionsThatCannotMakeADatabase) {
    GeneratorOptions o = smallOptions(1);
    o.deadInstallRate = 1.5;
    EXPECT_THROW(generateDatabase(o), GeneratorOptionError);
    o = smallOptions(1);
    o.nullRate = std::nan("");
    EXPECT_THROW(generateDatabase(o), GeneratorOptionError);
    o = smallOptions(1);
    o.nodes = kMaxGeneratedNodes + 1;
    EXPECT_THROW(generateDatabase(o), GeneratorOptionError);
    o = smallOptions(1);
    o.nodes = 4'000'000;
    o.installsPerNode = 100;
    EXPECT_THROW(generateDatabase(o), GeneratorOptionError);
}

// Keeps every file in memory and counts the calls, so that the test sees how files are written.
class MemoryFileSystem final : public FileSystem, public FileClaims {
public:
    std::map<std::string, std::vector<std::uint8_t>> files;
    std::set<std::string> directories;
    int writes = 0;

    FileStatus status(const std::string& path) override {
        FileStatus s;
        if (auto it = files.find(path); it != files.end()) {
            s.exists = true;
            s.size = it->second.size();
        } else if (directories.count(path) != 0) {
            s.exists = s.isDirectory = true;
        }
        return s;
    }
    std::vector<std::string> listDirectory(const std::string&) override { return {}; }
    FileBytes readWholeFile(const std::string& path) override {
        auto it = files.find(path);
        if (it == files.end()) {
            throw KavrinError("Cannot open file \"" + path + "\". No such file or directory");
        }
        FileBytes bytes;
        bytes.size = it->second.size();
        bytes.data = std::make_unique<std::uint8_t[]>(bytes.size);
        std::memcpy(bytes.data.get(), it->second.data(), bytes.size);
        return bytes;
    }
    void writeWholeFile(const std::string& path,
                        std::span<const std::span<const std::uint8_t>> parts, bool) override {
        ++writes;
        std::vector<std::uint8_t>& file = files[path];
        file.clear();
        for (const auto& part : parts) {
            file.insert(file.end(), part.begin(), part.end());
        }
    }
    void rename(const std::string&, const std::string&) override {}
    void remove(const std::string& path) override { files.erase(path); }
    void createDirectories(const std::string& path) override { directories.insert(path); }
    bool createDirectory(const std::string& path) override {
        return directories.insert(path).second;
    }
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
};

TEST(Generator, WritesEachFileOnceBehindItsOwnHeader) {
    MemoryFileSystem fs;
    const GeneratedDatabase db = generateDatabase(smallOptions(2));
    writeGeneratedDatabase(fs, "inv/site", db);
    EXPECT_EQ(fs.writes, 3);
    EXPECT_EQ(fs.directories, std::set<std::string>{"inv/site"});
    const std::vector<std::uint8_t>& nodeFile = fs.files.at(joinPath("inv/site", "Kavrin.cmp"));
    ASSERT_EQ(nodeFile.size(), header::kSize + db.nodes.size);
    EXPECT_EQ(std::memcmp(nodeFile.data(), db.nodeHeader.bytes.data(), header::kSize), 0);
    EXPECT_EQ(std::memcmp(nodeFile.data() + header::kSize, db.nodes.data.get(), db.nodes.size), 0);
    const std::vector<std::uint8_t>& installFile = fs.files.at(joinPath("inv/site", "Kavrin.ist"));
    ASSERT_EQ(installFile.size(), header::kSize + 300 * 7 * install::kSize);
    EXPECT_EQ(std::memcmp(installFile.data(), db.installHeader.bytes.data(), header::kSize), 0);
    const std::vector<std::uint8_t>& titleFile = fs.files.at(joinPath("inv/site", "Kavrin.ttl"));
    ASSERT_EQ(titleFile.size(), header::kSize + 90 * title::kSize);
    EXPECT_EQ(std::memcmp(titleFile.data(), db.titleHeader.bytes.data(), header::kSize), 0);
}

}  // namespace
}  // namespace kavrin
