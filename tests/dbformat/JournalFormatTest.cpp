#include "dbformat/JournalFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string expectJournalError(const Bytes& bytes) {
    try {
        decodeJournal(bytes);
    } catch (const JournalError& e) {
        return e.what();
    }
    ADD_FAILURE() << "accepted: " << std::string(bytes.begin(), bytes.end());
    return {};
}

Journal sampleJournal() {
    Journal journal;
    journal.backupFolder = "20240822-153007-2";
    const std::array<const char*, 3> targets = {"KAVRIN.CMP", "Kavrin.ist", "kavrin.ttl"};
    const std::array<const char*, 3> copies = {"Kavrin.cmp", "Kavrin.ist", "Kavrin.ttl"};
    for (std::size_t i = 0; i < journal.files.size(); ++i) {
        JournalEntry& e = journal.files[i];
        e.target = targets[i];
        e.temporary = std::string(copies[i]) + ".new";
        e.copy = copies[i];
        e.newFile = {230 + 765 * i, 0x01020304u * static_cast<std::uint32_t>(i + 1)};
        e.copyFile = {UINT64_MAX - i, 0xFFFFFFFFu - static_cast<std::uint32_t>(i)};
        e.originalSize = 995 + i;
        e.originalModifiedNs = i == 2 ? -5 : 1724339407123456789 + static_cast<std::int64_t>(i);
    }
    return journal;
}

// `body` followed by the end line a writer would give it: the check passes, the fields decide.
Bytes sealed(const std::string& body) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", crc32(bytesOf(body)));
    return bytesOf(body + "end crc=" + crc + "\n");
}

TEST(JournalCodecTest, WhatIsWrittenIsReadBack) {
    const Journal journal = sampleJournal();
    const std::string text = encodeJournal(journal);
    EXPECT_EQ(decodeJournal(bytesOf(text)), journal);
    EXPECT_TRUE(text.starts_with("Kavrin commit journal 1\nbackup 20240822-153007-2\nfile "));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);

    Journal highBytes = journal;
    highBytes.backupFolder = "Sicherung-\xC4nderung";  // bytes 0x80 to 0xFF pass unchanged
    highBytes.files[0].temporary = "Kavrin.cmp.\xE9";
    EXPECT_EQ(decodeJournal(bytesOf(encodeJournal(highBytes))), highBytes);
}

// A journal is renamed into place whole, so only damage makes one short or changed: each such
// journal is refused rather than taken for different instructions.
TEST(JournalCodecTest, EveryTruncationAndEveryChangedByteIsRefused) {
    const Bytes whole = bytesOf(encodeJournal(sampleJournal()));
    for (std::size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        expectJournalError(
            Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
    }
    for (std::size_t at = 0; at < whole.size(); ++at) {
        for (const std::uint8_t flip :
             {std::uint8_t{0x01}, std::uint8_t{0x20}, std::uint8_t{0xFF}}) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int{flip});
            Bytes damaged = whole;
            damaged[at] ^= flip;
            expectJournalError(damaged);
        }
    }
    Bytes longer = whole;
    longer.push_back('\n');
    EXPECT_NE(expectJournalError(longer).find("torn"), std::string::npos);
}

TEST(JournalCodecTest, ASealedJournalWithBadFieldsIsRefusedNamingTheLine) {
    const std::string good = encodeJournal(sampleJournal());
    const std::string body = good.substr(0, good.rfind("end crc="));
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = body;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    struct Case {
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {replaced("journal 1", "journal 2"), "line 1: not the title"},
        {replaced("backup 2", "backups 2"), "line 2: \"backup\" expected"},
        {replaced("backup 20240822-153007-2", "backup .."), "line 2: \"..\" is not a file name"},
        {replaced("target=KAVRIN.CMP", "target=../KAVRIN.CMP"), "line 3: \"../KAVRIN.CMP\""},
        {replaced("copy=Kavrin.ist", "copy=/etc/Kavrin.ist"), "line 4: \"/etc/Kavrin.ist\""},
        {replaced("temporary=Kavrin.ttl.new", "temporary=C:\\Kavrin.ttl.new"), "line 5:"},
        {replaced("new-size=230 ", "new-size=-230 "), "line 3: the value of new-size"},
        {replaced("new-size=230 ", "new-size=99999999999999999999 "),
         "line 3: the value of new-size"},
        {replaced("new-crc=01020304", "new-crc=0102030"), "line 3: the value of new-crc"},
        {replaced("new-crc=01020304", "new-crc=0102030g"), "line 3: the value of new-crc"},
        {replaced("original-time=-5", "original-time=-"), "line 5: the value of original-time"},
        {replaced(" copy-size=", " copy-sizes="), "line 3: copy-size= expected"},
        {replaced("file target=KAVRIN.CMP", "file  target=KAVRIN.CMP"), "line 3: 9 fields"},
        {replaced("file target=kavrin.ttl", "entry target=kavrin.ttl"),
         "line 5: \"file\" expected"},
        {replaced("target=Kavrin.ist", "target=Kavrin.cmp"),
         "line 4: the database file Kavrin.ist"},
        {replaced("copy=Kavrin.ttl", "copy=Kavrin.ist"), "line 5: the database file Kavrin.ttl"},
        {replaced("temporary=Kavrin.ist.new", "temporary=kavrin.CMP"),
         "line 4: the temporary file"},
        {replaced("temporary=Kavrin.ist.new", "temporary=Kavrin.cmp.new"), "line 4: the temporary"},
        {replaced("temporary=Kavrin.cmp.new", "temporary=Kavrin.journal"), "line 3: the temporary"},
        {body.substr(0, body.rfind("file ")), "it has 5 lines instead of 6"},
        {body + "file extra\n", "it has 7 lines instead of 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_NE(expectJournalError(sealed(c.text)).find(c.message), std::string::npos)
            << expectJournalError(sealed(c.text));
    }
}

TEST(JournalCodecTest, NamesThatCouldLeaveTheFolderAreNeverWritten) {
    for (const std::string name :
         {"", ".", "..", "../Kavrin.cmp", "db/Kavrin.cmp", "db\\Kavrin.cmp", "Kavrin cmp",
          "Kavrin=cmp", "Kavrin\ncmp", "Kavrin\x7F"}) {
        SCOPED_TRACE(name);
        Journal journal = sampleJournal();
        journal.files[1].temporary = name;
        EXPECT_THROW(encodeJournal(journal), JournalError);
        journal = sampleJournal();
        journal.backupFolder = name;
        EXPECT_THROW(encodeJournal(journal), JournalError);
    }
}

}  // namespace
}  // namespace kavrin::test
