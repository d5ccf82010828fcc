// What a commit says it will do and what it keeps on record, against what it wrote: the preview,
// the manifest and the offsets of the backup folder on random databases; and what verify makes
// of every kind of damaged database.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/CsvParse.h"
#include "common/DatabaseBuilder.h"
#include "common/FixedClock.h"
#include "common/MemoryFileSystem.h"
#include "common/MemoryView.h"
#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/check/DatabaseCheck.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"
#include "support/text/DateTimeText.h"

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::vector<std::string>>;

constexpr const char* kBackup = "/db/20240822-153007";

void putDatabase(MemoryFileSystem& fs, const DatabaseBuilder& db) {
    fs.createDirectories("/db");
    fs.files["/db/Kavrin.cmp"] = db.nodeFile();
    fs.files["/db/Kavrin.ist"] = db.installFile();
    fs.files["/db/Kavrin.ttl"] = db.titleFile();
}

std::string text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// A database with some of everything a commit drops or keeps: null records, inactive and
// duplicate nodes, dead installs, references to nothing, to empty records, into the middle of a
// record or to no title, trailing parts of records.
DatabaseBuilder randomDatabase(std::mt19937& rng) {
    DatabaseBuilder db;
    const auto chance = [&rng](unsigned percent) { return rng() % 100 < percent; };
    std::vector<std::uint32_t> offsets;
    const auto nodes = static_cast<unsigned>(rng() % 30);
    for (unsigned i = 0; i < nodes; ++i) {
        if (chance(10)) {
            offsets.push_back(db.addNullRecord());
            continue;
        }
        NodeSpec wanted;
        wanted.name = "N" + std::to_string(rng() % 12) + (chance(20) ? ",\"x\"" : "");
        wanted.inactive = chance(20) ? static_cast<std::uint8_t>(1 + rng() % 3) : 0;
        wanted.lastOnline = 44990.0 + static_cast<double>(rng() % 20);
        wanted.user = chance(20) ? "CORP\\u,1" : "user" + std::to_string(i);
        wanted.serial = "S" + std::to_string(rng() % 1000);
        offsets.push_back(db.addNode(wanted));
    }
    const auto titles = static_cast<unsigned>(rng() % 12);
    for (unsigned t = 0; t < titles; ++t) {
        db.addTitle(static_cast<std::uint8_t>(rng()));
    }
    const auto installs = static_cast<unsigned>(rng() % 200);
    for (unsigned j = 0; j < installs; ++j) {
        std::uint32_t nodeRef = static_cast<std::uint32_t>(rng() % 40000);  // mostly no record
        if (!offsets.empty() && chance(80)) {
            nodeRef = offsets[rng() % offsets.size()] + (chance(5) ? 1 : 0);
        }
        std::uint32_t titleRef = static_cast<std::uint32_t>(rng() % 3000);
        if (titles > 0 && chance(85)) {
            titleRef = static_cast<std::uint32_t>(rng() % titles * title::kSize);
        }
        db.addInstall(nodeRef, titleRef, chance(10) ? static_cast<std::uint8_t>(1 + rng() % 9) : 0);
    }
    if (chance(20)) {
        db.nodes.resize(db.nodes.size() + rng() % node::kSize, 0x11);
        db.installs.resize(db.installs.size() + rng() % install::kSize, 0x22);
        db.titles.resize(db.titles.size() + rng() % title::kSize, 0x33);
    }
    return db;
}

// The preview counts what the commit then writes, on random databases with random marks and
// orders; the manifest names every removed node, the offsets file every record written, the
// summary the backup's files, each checked against the files themselves.
TEST(CommitRecordTest, PreviewManifestAndOffsetsAreWhatTheCommitWrote) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        const DatabaseBuilder db = randomDatabase(rng);
        MemoryFileSystem fs;
        putDatabase(fs, db);
        MemoryView view;
        view.location = "/db";
        FixedClock clock({2024, 8, 22, 15, 30, 7, 0});
        MaintenanceEngine engine(view, fs, clock);
        view.answers = {rng() % 2 == 0 ? Answer::Yes : Answer::No};
        engine.OpenDatabase();
        ASSERT_TRUE(engine.context().IsOpen) << view.errors.back();
        engine.SortNodeList(static_cast<int>(rng() % 4), rng() % 2 == 0);
        for (std::size_t row = 0; row < engine.nodeList().count(); ++row) {
            if (rng() % 4 == 0) {
                view.selection.insert(row);
            }
        }
        engine.MarkSelectedNodes(true);
        if (rng() % 3 == 0) {
            engine.MarkNodesOlderThan(44995.0);
        }
        const std::vector<NodeEntry> rows = engine.nodeList().rows();
        std::vector<std::string> reasons;
        for (const NodeEntry& entry : rows) {
            reasons.push_back(engine.nodeList().reason(entry));
        }
        const CommitPreview preview = engine.PreviewCommit();

        engine.CommitDatabase();
        ASSERT_EQ(view.errors, std::vector<std::string>{});

        // The files, counted afresh.
        const Bytes* written[] = {&fs.files["/db/Kavrin.cmp"], &fs.files["/db/Kavrin.ist"],
                                  &fs.files["/db/Kavrin.ttl"]};
        const std::size_t sizes[] = {node::kSize, install::kSize, title::kSize};
        const Bytes* old[] = {&db.nodes, &db.installs, &db.titles};
        for (std::size_t f = 0; f < 3; ++f) {
            EXPECT_EQ(preview.before[f].bytes, 230 + old[f]->size());
            EXPECT_EQ(preview.before[f].records, old[f]->size() / sizes[f]);
            EXPECT_EQ(preview.after[f].bytes, written[f]->size());
            EXPECT_EQ(preview.after[f].records * sizes[f] + 230, written[f]->size());
        }
        // Every install is accounted for once.
        EXPECT_EQ(preview.before[kInstallFile].records,
                  preview.after[kInstallFile].records + preview.installsOfRemovedNodes +
                      preview.deadInstalls + preview.installsOfNoNode);
        std::uint64_t unmatched = 0;
        const std::uint64_t titlesAfter = preview.after[kTitleFile].records;
        for (std::size_t p = 230; p < written[1]->size(); p += install::kSize) {
            const std::uint32_t ref = installTitleRef(written[1]->data() + p);
            unmatched += ref % title::kSize == 0 && ref / title::kSize < titlesAfter ? 0 : 1;
        }
        EXPECT_EQ(unmatched, preview.unmatchedTitleReferences);

        // manifest.csv: the marked rows in list order, each with its installs counted afresh.
        const Rows manifest = parseCsv(text(fs.files[std::string(kBackup) + "/manifest.csv"]));
        ASSERT_FALSE(manifest.empty());
        EXPECT_EQ(manifest[0],
                  (std::vector<std::string>{"name", "old offset", "user", "serial", "last online",
                                            "install count", "reason"}));
        std::size_t next = 1;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const NodeEntry& entry = rows[r];
            if (!entry.marked()) {
                continue;
            }
            ASSERT_LT(next, manifest.size());
            const std::vector<std::string>& row = manifest[next++];
            const NodeRecordView record(db.nodes.data() + entry.data);
            std::uint64_t installs = 0;
            for (std::size_t p = 0; p + install::kSize <= db.installs.size(); p += install::kSize) {
                installs += installNodeRef(db.installs.data() + p) == entry.data ? 1 : 0;
            }
            EXPECT_EQ(row, (std::vector<std::string>{
                               ansiToUtf8(entry.caption), IndexText(entry.data),
                               ansiToUtf8(record.userName()), ansiToUtf8(record.serialNumber()),
                               IsoDateTimeText(record.lastOnline()), std::to_string(installs),
                               reasons[r]}));
            EXPECT_FALSE(reasons[r].empty());
        }
        EXPECT_EQ(next, manifest.size());

        // offsets.csv: each record written is the old record at its old offset.
        const Rows offsets = parseCsv(text(fs.files[std::string(kBackup) + "/offsets.csv"]));
        ASSERT_EQ(offsets.size(),
                  1 + preview.after[kNodeFile].records + preview.after[kTitleFile].records);
        std::map<std::string, std::size_t> perFile;
        for (std::size_t i = 1; i < offsets.size(); ++i) {
            ASSERT_EQ(offsets[i].size(), 3u);
            const bool nodes = offsets[i][0] == "Kavrin.cmp";
            const std::size_t size = nodes ? node::kSize : title::kSize;
            const Bytes& from = nodes ? db.nodes : db.titles;
            const Bytes& to = *written[nodes ? 0 : 2];
            const std::size_t oldAt = std::stoul(offsets[i][1], nullptr, 16);
            const std::size_t newAt = std::stoul(offsets[i][2], nullptr, 16);
            EXPECT_EQ(newAt, perFile[offsets[i][0]]++ * size);
            ASSERT_LE(230 + newAt + size, to.size());
            EXPECT_TRUE(std::equal(from.begin() + static_cast<std::ptrdiff_t>(oldAt),
                                   from.begin() + static_cast<std::ptrdiff_t>(oldAt + size),
                                   to.begin() + static_cast<std::ptrdiff_t>(230 + newAt)));
        }

        // summary.txt: the checks of the backup's files.
        const auto checks = summaryChecks(text(fs.files[std::string(kBackup) + "/summary.txt"]));
        const Bytes originals[] = {db.nodeFile(), db.installFile(), db.titleFile()};
        for (std::size_t f = 0; f < 3; ++f) {
            const std::span<const std::uint8_t> parts[] = {originals[f]};
            EXPECT_EQ(checks[f], checkOf(parts));
        }
    }
}

// verify on every kind of damage docs/hostile-inputs.md lists, and on sound databases: what it
// reports, how many problems it counts, and that it changes nothing, an interrupted commit's
// journal included.
TEST(CommitRecordTest, VerifyReportsEveryKindOfDamageAndChangesNothing) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const auto sound = [] {
        DatabaseBuilder db;
        const std::uint32_t a = db.addNode("PC1");
        const std::uint32_t b = db.addNode("PC2", 1);
        db.addInstall(a, db.addTitle(1));
        db.addInstall(b, db.addTitle(2));
        return db;
    };
    struct Case {
        const char* what;
        std::function<void(DatabaseBuilder&)> damage;
        int problems;
        const char* reported;  // a line of the report, or "" for none in particular
        std::function<void(MemoryFileSystem&)> onDisk = {};
    };
    const Case cases[] = {
        {"sound", [](DatabaseBuilder&) {}, 0,
         "  Installs of inactive nodes, which a commit keeps : 1"},
        {"empty", [](DatabaseBuilder& db) { db = DatabaseBuilder(); }, 0,
         "Result : no problem found."},
        {"null record, dead install",
         [](DatabaseBuilder& db) {
             db.addNullRecord();
             db.addInstall(0, 0, 3);
         },
         0, "  Empty node records, which a commit drops : 1"},
        // Without the titles, the installs name none.
        {"short title file", [](DatabaseBuilder&) {}, 2,
         "  Kavrin.ttl : 100 bytes, less than its 230-byte header",
         [](MemoryFileSystem& fs) { fs.files["/db/Kavrin.ttl"].resize(100); }},
        {"wrong type", [](DatabaseBuilder& db) { db.setHeaders(7, 9); }, 6,
         "  Header of Kavrin.cmp : DbType is 7, not 1"},
        {"wrong version", [](DatabaseBuilder& db) { encodeFixed32(&db.nodeHeader.bytes[4], 3); }, 1,
         "  Header of Kavrin.cmp : DbVersion is 3, not 2"},
        {"partial records",
         [](DatabaseBuilder& db) {
             db.nodes.resize(db.nodes.size() + 100);
             db.installs.resize(db.installs.size() + 12);
             db.titles.resize(db.titles.size() + 1);
         },
         3, "  Kavrin.ist : 12 bytes after the last whole record"},
        {"header dates and lengths",
         [](DatabaseBuilder& db) {
             encodeDouble(&db.nodeHeader.bytes[header::kCreated], nan);
             encodeDouble(&db.installHeader.bytes[header::kUpdated], 1e300);
             db.nodeHeader.bytes[header::kDbName] = 255;
         },
         3, "  Header of Kavrin.ist : Updated is no date"},
        {"node dates that are no dates", [](DatabaseBuilder& db) { db.addNode("X", 0, nan); }, 0,
         ""},
        {"references to nothing",
         [](DatabaseBuilder& db) {
             db.addInstall(765 * 9, 0);  // no record there
             db.addInstall(1, 0);        // the middle of a record
             db.addInstall(0, 134 * 5);  // no title there
             db.addInstall(0, 1, 1);     // no title, not live
         },
         3, "  Installs naming no node record : 2"},
        {"an empty record named", [](DatabaseBuilder& db) { db.addInstall(db.addNullRecord(), 0); },
         1, "  Installs naming an empty node record : 1"},
        {"orphaned title", [](DatabaseBuilder& db) { db.addTitle(3); }, 1,
         "  Orphaned titles (no live install of a node names them) : 1"},
        {"names with high bytes",
         [](DatabaseBuilder& db) {
             db.addNode("\x80\x81\xFF\xC0");
             db.addNode("\x80\x81\x9F\xE0");
         },
         1, "  Duplicate names : 1 (\xE2\x82\xAC\xC2\x81\xC5\xB8\xC3\xA0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DatabaseBuilder db = sound();
        c.damage(db);
        MemoryFileSystem fs;
        putDatabase(fs, db);
        if (c.onDisk) {
            c.onDisk(fs);
        }
        const auto before = fs.files;
        const VerifyReport report = verifyDatabase(fs, "/db");
        std::string all;
        for (const std::string& line : report.lines) {
            all += line + "\n";
        }
        EXPECT_EQ(report.problems, c.problems) << all;
        EXPECT_NE(all.find(c.reported), std::string::npos) << all;
        EXPECT_EQ(fs.files, before);
    }

    // Files in another letter case are found; a folder or a missing file is the open's message;
    // an interrupted commit's journal is reported, not recovered.
    MemoryFileSystem fs;
    putDatabase(fs, sound());
    fs.rename("/db/Kavrin.ist", "/db/KAVRIN.IST");
    EXPECT_EQ(verifyDatabase(fs, "/db").problems, 0);
    fs.files["/db/Kavrin.journal"] = {'x'};
    const auto before = fs.files;
    EXPECT_EQ(verifyDatabase(fs, "/db").problems, 1);
    EXPECT_EQ(fs.files, before);
    fs.remove("/db/KAVRIN.IST");
    fs.createDirectories("/db/Kavrin.ist");
    EXPECT_THROW(
        {
            try {
                verifyDatabase(fs, "/db");
            } catch (const KavrinError& e) {
                EXPECT_EQ(std::string(e.what()), "Error: \"The database does not exist.\"\r\n\r\n" +
                                                     joinPath("/db", "Kavrin.ist"));
                throw;
            }
        },
        KavrinError);
}

}  // namespace
}  // namespace kavrin::test
