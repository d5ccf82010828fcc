#include <gtest/gtest.h>

#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"
#include "common/TestPlatform.h"
#include "dbformat/DatabaseFile.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

struct LogLines : LogSink {
    std::vector<std::string> lines;
    void log(const std::string& line) override { lines.push_back(line); }
};

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

class DatabaseFileTest : public ::testing::Test {
protected:
    test::TempFolder folder;
    LogLines log;
    MemoryStream fileMS;
    MemoryStream body;
};

TEST_F(DatabaseFileTest, WorkedExampleCountsWholeRecordsAndKeepsTheTrailingRun) {
    test::DatabaseBuilder db;
    db.addNode("A");
    db.addNullRecord();
    std::uint32_t third = db.addNode("C");
    EXPECT_EQ(third, 1530u);
    db.nodes.insert(db.nodes.end(), 100, 0xEE);  // 2395-byte body
    auto file = db.nodeFile();
    ASSERT_EQ(file.size(), 2625u);
    EXPECT_EQ(file[1848], 1);  // the NodeName length byte of record 2
    test::writeFileBytes(folder.file("n.cmp"), file);

    DatabaseHeader h = LoadDatabaseFile(localFileSystem(), log, folder.file("n.cmp"), fileMS, body);
    EXPECT_EQ(h, db.nodeHeader);
    EXPECT_EQ(body.size(), 2395u);
    EXPECT_EQ(body.position(), 2395u);
    EXPECT_EQ(RecordCount(body, 765), 3u);
    EXPECT_EQ(fileMS.size(), 0u);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Loading : " + folder.file("n.cmp")});
    EXPECT_EQ(ReadNodeRecord(body, 1530).view().nodeName(), "C");
    EXPECT_EQ(messageOf([&] { ReadNodeRecord(body, 1631); }),
              "Could not read data from MemoryStream");
    EXPECT_EQ(ReadNodeRecord(body, 1630).bytes[764], 0xEE);  // reaches into the trailing run
    EXPECT_EQ(messageOf([&] { ReadNodeRecord(body, 2295); }),
              "Could not read data from MemoryStream");
}

TEST_F(DatabaseFileTest, ShortAndExactSizeFiles) {
    const std::uint8_t marker = 0x5A;
    body.write(&marker, 1);
    test::writeFileBytes(folder.file("short"), std::vector<std::uint8_t>(229, 1));
    EXPECT_EQ(messageOf([&] {
                  LoadDatabaseFile(localFileSystem(), log, folder.file("short"), fileMS, body);
              }),
              "Cannot not read DB file header.");
    ASSERT_EQ(body.size(), 1u);  // left as it was
    EXPECT_EQ(body.data()[0], marker);

    test::writeFileBytes(folder.file("exact"), std::vector<std::uint8_t>(230, 1));
    LoadDatabaseFile(localFileSystem(), log, folder.file("exact"), fileMS, body);
    EXPECT_EQ(body.size(), 0u);
    EXPECT_EQ(RecordCount(body, 13), 0u);

    const std::string missing = folder.file("missing.cmp");
    EXPECT_EQ(messageOf([&] { LoadDatabaseFile(localFileSystem(), log, missing, fileMS, body); }),
              "Cannot open file \"" + missing + "\". " +
                  test::forPlatform("No such file or directory", systemErrorText(2)));
}

TEST_F(DatabaseFileTest, SaveWritesHeaderThenWholeBodyWhateverItsPosition) {
    test::DatabaseBuilder db;
    std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5};
    body.write(bytes.data(), bytes.size());
    body.setPosition(2);
    SaveDatabaseFile(localFileSystem(), log, folder.file("out"), db.nodeHeader, body);
    auto written = test::readFileBytes(folder.file("out"));
    ASSERT_EQ(written.size(), 235u);
    EXPECT_TRUE(
        std::equal(db.nodeHeader.bytes.begin(), db.nodeHeader.bytes.end(), written.begin()));
    EXPECT_EQ(std::vector<std::uint8_t>(written.begin() + 230, written.end()), bytes);
    EXPECT_EQ(log.lines.back(), "Saving : " + folder.file("out"));

    // Written elsewhere, logged under the name given.
    SaveDatabaseFile(localFileSystem(), log, folder.file("named"), db.nodeHeader, body,
                     SaveOptions{folder.file("temp"), true, {}});
    EXPECT_EQ(test::readFileBytes(folder.file("temp")), written);
    EXPECT_EQ(log.lines.back(), "Saving : " + folder.file("named"));

    const std::string blocked = joinPath(folder.file("no-such-dir"), "out");
    EXPECT_EQ(
        messageOf([&] { SaveDatabaseFile(localFileSystem(), log, blocked, db.nodeHeader, body); }),
        "Cannot create file \"" + blocked + "\". " +
            test::forPlatform("No such file or directory", systemErrorText(3)));
    EXPECT_EQ(log.lines.back(), "Saving : " + blocked);  // the line comes before the attempt
}

TEST(DatabaseFormat, DayNumbers) {
    EXPECT_EQ(DayNumberToDate(0), 0.0);
    EXPECT_EQ(DayNumberToDate(1), 36527.0);
    EXPECT_EQ(DayNumberToDate(65535), 102061.0);
}

TEST(DatabaseFormat, HeaderValidityChecksTypeBeforeVersion) {
    test::DatabaseBuilder db;
    db.setHeaders(2, 2);
    EXPECT_EQ(messageOf([&] { ValidateHeader(db.nodeHeader); }),
              "Error: \"The database is not the correct type or version.\"");
    db.setHeaders(7, 9);
    EXPECT_EQ(messageOf([&] { ValidateHeader(db.nodeHeader); }),
              "Error: \"The database is not the correct type or version.\"");
    db.setHeaders(1, 3);
    EXPECT_EQ(messageOf([&] { ValidateHeader(db.nodeHeader); }),
              "Error: \"The database is not the correct version.\"\n\rThe database is : version 3");
    db.setHeaders(1, 4000000000u);
    EXPECT_EQ(messageOf([&] { ValidateHeader(db.nodeHeader); }),
              "Error: \"The database is not the correct version.\"\n\rThe database is : version "
              "4000000000");
    db.setHeaders(1, 2);
    EXPECT_EQ(messageOf([&] { ValidateHeader(db.nodeHeader); }), "(no error)");
}

TEST(MemoryStreamTest, ReadsStopAtTheEndAndWritesGrow) {
    MemoryStream s;
    std::uint8_t out[4] = {};
    EXPECT_EQ(s.read(out, 4), 0u);
    const std::uint8_t in[3] = {9, 8, 7};
    s.setPosition(2);
    s.write(in, 3);  // beyond the end: the gap is zero-filled
    EXPECT_EQ(s.size(), 5u);
    s.setPosition(0);
    EXPECT_EQ(s.read(out, 4), 4u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[2], 9);
    EXPECT_EQ(s.read(out, 4), 1u);
    for (int i = 0; i < 10000; ++i) {
        s.append(in, 3);
    }
    EXPECT_EQ(s.size(), 30005u);
    EXPECT_EQ(s.data()[30004], 7);
}

}  // namespace
}  // namespace kavrin
