#include "support/SystemHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/FixedClock.h"
#include "support/Errors.h"
#include "support/FileSystem.h"

namespace kavrin {
namespace {

// The numbers of a text made of decimal numbers joined by `separator`; empty when anything else is
// in it or a number has a leading zero.
std::vector<unsigned long> numbersOf(const std::string& text, char separator) {
    std::vector<unsigned long> numbers;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        const std::string part = text.substr(start, end - start);
        if (part.empty() || part.size() > 9 || (part.size() > 1 && part[0] == '0') ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            return {};
        }
        numbers.push_back(std::stoul(part));
        if (end == text.size()) {
            return numbers;
        }
        start = end + 1;
    }
}

LocalTime at(int y, int mo, int d, int h, int mi, int s, int ms) {
    LocalTime t;
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.millisecond = ms;
    return t;
}

TEST(SystemHelpersTest, UncServerPrefixAddsTwoBackslashesUnlessPresentAnywhere) {
    EXPECT_EQ(UncServerPrefix("NAME"), "\\\\NAME");
    EXPECT_EQ(UncServerPrefix("\\\\NAME"), "\\\\NAME");
    EXPECT_EQ(UncServerPrefix("\\NAME"), "\\\\\\NAME");
    EXPECT_EQ(UncServerPrefix("NA\\\\ME"), "NA\\\\ME");
    EXPECT_EQ(UncServerPrefix("NAME\\"), "\\\\NAME\\");
    EXPECT_EQ(UncServerPrefix(" name "), "\\\\ name ");
    EXPECT_EQ(UncServerPrefix(""), "\\\\");
}

TEST(SystemHelpersTest, TimeStampTextPadsEveryFieldAndDropsMilliseconds) {
    EXPECT_EQ(TimeStampText(at(2024, 8, 22, 15, 30, 7, 0)), "20240822-153007");
    EXPECT_EQ(TimeStampText(at(2024, 12, 31, 23, 59, 59, 999)), "20241231-235959");
    EXPECT_EQ(TimeStampText(at(987, 1, 2, 3, 4, 5, 500)), "09870102-030405");

    test::FixedClock clock(at(2024, 12, 31, 23, 59, 59, 999));
    EXPECT_EQ(TimeStampText(clock), "20241231-235959");
    EXPECT_EQ(clock.readings(), 1);

    const std::string live = TimeStampText(systemClock());
    ASSERT_EQ(live.size(), 15u) << live;
    EXPECT_EQ(live[8], '-') << live;
    EXPECT_EQ(live.find_first_not_of("0123456789-"), std::string::npos) << live;
}

TEST(SystemHelpersTest, OsErrorsCarryTheirCodeAndTheSystemText) {
    const EOSError none = EOSError::fromCode(0);
    EXPECT_EQ(none.code(), 0);
    EXPECT_STREQ(none.what(), "A call to an OS function failed");

    const EOSError missing = EOSError::fromCode(ENOENT);
    EXPECT_EQ(missing.code(), ENOENT);
    EXPECT_EQ(std::string(missing.what()),
              "System Error.  Code: " + std::to_string(ENOENT) + ".\r\nNo such file or directory");

    // A code the system does not know still gives a message with the code in it.
    const std::string unknown = EOSError::fromCode(987654).what();
    EXPECT_EQ(unknown.rfind("System Error.  Code: 987654.\r\n", 0), 0u) << unknown;
    EXPECT_GT(unknown.size(), std::string("System Error.  Code: 987654.\r\n").size());

    const KavrinError& asBase = missing;
    EXPECT_STREQ(asBase.what(), missing.what());
}

TEST(SystemHelpersTest, FormatTextHandlesLongAndEmptyResults) {
    const std::string longText(5000, 'x');
    EXPECT_EQ(formatText("<%s>", longText.c_str()), "<" + longText + ">");
    EXPECT_EQ(formatText("%s", ""), "");
}

TEST(SystemHelpersTest, VersionTextHasFourNumbers) {
    const std::string version = FileVersionText(RunningProgramPath());
    const std::vector<unsigned long> numbers = numbersOf(version, '.');
    ASSERT_EQ(numbers.size(), 4u) << version;
    for (const unsigned long number : numbers) {
        EXPECT_LE(number, 65535u) << version;
    }
}

TEST(SystemHelpersTest, RunningProgramAndComputerName) {
    const std::string program = RunningProgramPath();
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program.front(), '/');
    const FileStatus status = localFileSystem().status(program);
    EXPECT_TRUE(status.exists);
    EXPECT_FALSE(status.isDirectory);

    std::string name;
    ASSERT_NO_THROW(name = LocalComputerName());
    EXPECT_EQ(name.find('\0'), std::string::npos);
    EXPECT_LT(name.size(), 256u);
}

}  // namespace
}  // namespace kavrin
