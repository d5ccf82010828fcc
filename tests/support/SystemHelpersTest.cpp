#include "support/platform/SystemHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/FixedClock.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Errors.h"

namespace kavrin {
namespace {

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

    // Code 2 is a missing file on POSIX and on Windows; the texts differ, Windows' with wine too.
    const std::string text = systemErrorText(2);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    const EOSError missing = EOSError::fromCode(2);
    EXPECT_EQ(missing.code(), 2);
    EXPECT_EQ(std::string(missing.what()), "System Error.  Code: 2.\r\n" + text);

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

TEST(SystemHelpersTest, TheVersionTextIsTheProjectVersion) {
    // On Windows read from the version resource of the test program, which carries the program's.
    EXPECT_EQ(FileVersionText(RunningProgramPath()), KAVRIN_VERSION_TEXT);
}

TEST(SystemHelpersTest, RunningProgramAndComputerName) {
    const std::string program = RunningProgramPath();
    EXPECT_NE(program.find("support_tests"), std::string::npos) << program;
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
