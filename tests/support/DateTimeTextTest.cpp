#include "support/text/DateTimeText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <locale>
#include <string>

#include "support/platform/Clock.h"

namespace kavrin {
namespace {

constexpr double kMs = 1.0 / 86400000.0;

// The texts of a reference locale. On POSIX the fixture sets the classic locale, which writes %x as
// mm/dd/yy and %X as HH:MM:SS; the Windows tests run with the user locale en-US (M/d/yyyy and
// h:mm:ss tt), which the system's calls follow.
#ifdef _WIN32
std::string shown(const char*, const char* windows) {
    return windows;
}
#else
std::string shown(const char* posix, const char*) {
    return posix;
}
#endif

class DateTimeTextTest : public ::testing::Test {
protected:
    void SetUp() override { m_saved = std::locale::global(std::locale::classic()); }
    void TearDown() override { std::locale::global(m_saved); }

private:
    std::locale m_saved;
};

DateTimeParts decoded(double value) {
    DateTimeParts parts;
    EXPECT_TRUE(decodeDateTime(value, parts)) << value;
    return parts;
}

void expectParts(double value, int y, int mo, int d, int h, int mi, int s, int ms) {
    const DateTimeParts p = decoded(value);
    EXPECT_EQ(p.year, y) << value;
    EXPECT_EQ(p.month, mo) << value;
    EXPECT_EQ(p.day, d) << value;
    EXPECT_EQ(p.hour, h) << value;
    EXPECT_EQ(p.minute, mi) << value;
    EXPECT_EQ(p.second, s) << value;
    EXPECT_EQ(p.millisecond, ms) << value;
}

TEST_F(DateTimeTextTest, ShowsShortDateAndLongTime) {
    EXPECT_EQ(DateTimeText(encodeDateTime(2024, 8, 22, 15, 30, 7)),
              shown("08/22/24 15:30:07", "8/22/2024 3:30:07 PM"));
    EXPECT_EQ(DateTimeText(encodeDateTime(2024, 8, 22, 0, 0, 1)),
              shown("08/22/24 00:00:01", "8/22/2024 12:00:01 AM"));
    EXPECT_EQ(DateTimeText(0.5), shown("12/30/99 12:00:00", "12/30/1899 12:00:00 PM"));
    // Before 1601, where Windows formats no date, and in the first year of the calendar.
    EXPECT_EQ(DateTimeText(encodeDateTime(987, 8, 22, 15, 30, 7)),
              shown("08/22/87 15:30:07", "8/22/0987 3:30:07 PM"));
    EXPECT_EQ(DateTimeText(encodeDateTime(1, 1, 1)), shown("01/01/01", "1/1/0001"));
}

TEST_F(DateTimeTextTest, MidnightShowsTheDateAlone) {
    EXPECT_EQ(DateTimeText(0.0), shown("12/30/99", "12/30/1899"));
    EXPECT_EQ(DateTimeText(encodeDateTime(2024, 2, 29)), shown("02/29/24", "2/29/2024"));
    // Milliseconds alone do not make a time worth showing.
    EXPECT_EQ(DateTimeText(encodeDateTime(2024, 2, 29) + 400 * kMs),
              shown("02/29/24", "2/29/2024"));
}

TEST_F(DateTimeTextTest, DecodesTheCalendar) {
    expectParts(0.0, 1899, 12, 30, 0, 0, 0, 0);
    expectParts(1.0, 1899, 12, 31, 0, 0, 0, 0);
    expectParts(2.0, 1900, 1, 1, 0, 0, 0, 0);
    expectParts(61.0, 1900, 3, 1, 0, 0, 0, 0);  // 1900 has no 29 February
    expectParts(36526.0, 2000, 1, 1, 0, 0, 0, 0);
    expectParts(36585.0, 2000, 2, 29, 0, 0, 0, 0);
    expectParts(45526.75, 2024, 8, 22, 18, 0, 0, 0);
    expectParts(-693593.0, 1, 1, 1, 0, 0, 0, 0);
    expectParts(2958465.0, 9999, 12, 31, 0, 0, 0, 0);
}

TEST_F(DateTimeTextTest, BeforeDayZeroTheFractionIsTakenWithoutItsSign) {
    expectParts(-1.25, 1899, 12, 29, 6, 0, 0, 0);
    expectParts(-0.5, 1899, 12, 30, 12, 0, 0, 0);
    expectParts(-693593.5, 1, 1, 1, 12, 0, 0, 0);
    EXPECT_EQ(encodeDateTime(1899, 12, 29, 6), -1.25);
    EXPECT_EQ(DateTimeText(-1.25), shown("12/29/99 06:00:00", "12/29/1899 6:00:00 AM"));
}

TEST_F(DateTimeTextTest, EncodeAndDecodeAgree) {
    const int dates[][6] = {{1, 1, 1, 0, 0, 0},        {1, 3, 1, 23, 59, 59},
                            {1600, 2, 29, 12, 0, 0},   {1899, 12, 29, 23, 59, 59},
                            {1899, 12, 30, 0, 0, 1},   {1970, 1, 1, 0, 0, 0},
                            {2000, 2, 29, 13, 14, 15}, {2024, 12, 31, 23, 59, 59},
                            {2100, 3, 1, 1, 2, 3},     {9999, 12, 31, 23, 59, 59}};
    for (const auto& d : dates) {
        const double value = encodeDateTime(d[0], d[1], d[2], d[3], d[4], d[5]);
        expectParts(value, d[0], d[1], d[2], d[3], d[4], d[5], 0);
    }
}

TEST_F(DateTimeTextTest, RoundsToTheMillisecondAndCarriesIntoTheNextDay) {
    const double day = encodeDateTime(2024, 12, 31);
    expectParts(day + 1234.4 * kMs, 2024, 12, 31, 0, 0, 1, 234);
    expectParts(day + 1234.6 * kMs, 2024, 12, 31, 0, 0, 1, 235);
    expectParts(day + 59999.7 * kMs, 2024, 12, 31, 0, 1, 0, 0);
    expectParts(day + (86400000 - 0.3) * kMs, 2025, 1, 1, 0, 0, 0, 0);
    EXPECT_EQ(DateTimeText(day + (86400000 - 0.3) * kMs), shown("01/01/25", "1/1/2025"));
    // Before day 0 the next day is the one closer to day 0.
    expectParts(-1 - (86400000 - 0.3) * kMs, 1899, 12, 30, 0, 0, 0, 0);
    // The last day has no next day: its last moment stays on it.
    expectParts(2958465.0 + (86400000 - 0.3) * kMs, 9999, 12, 31, 23, 59, 59, 999);
}

TEST_F(DateTimeTextTest, ValuesOutsideTheCalendarAreRefusedSafely) {
    const double refused[] = {std::numeric_limits<double>::quiet_NaN(),
                              -std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::lowest(),
                              1e19,
                              -1e19,
                              9.3e18,
                              -693594.0,
                              -693594.5,
                              2958466.0};
    for (const double value : refused) {
        DateTimeParts parts;
        EXPECT_FALSE(decodeDateTime(value, parts)) << value;
        EXPECT_EQ(DateTimeText(value), "(invalid date)") << value;
    }
    // The smallest magnitudes are fine: they are day 0.
    EXPECT_EQ(DateTimeText(std::numeric_limits<double>::denorm_min()),
              shown("12/30/99", "12/30/1899"));
    EXPECT_EQ(DateTimeText(-0.0), shown("12/30/99", "12/30/1899"));
}

TEST_F(DateTimeTextTest, ClockReadingsBecomeDateTimeValues) {
    LocalTime t;
    t.year = 2024;
    t.month = 8;
    t.day = 22;
    t.hour = 15;
    t.minute = 30;
    t.second = 7;
    t.millisecond = 250;
    const double value = toDateTimeValue(t);
    EXPECT_NEAR(value, encodeDateTime(2024, 8, 22, 15, 30, 7) + 250 * kMs, 1e-9);
    expectParts(value, 2024, 8, 22, 15, 30, 7, 250);

    LocalTime early;
    early.year = 1899;
    early.month = 12;
    early.day = 29;
    early.hour = 6;
    EXPECT_EQ(toDateTimeValue(early), -1.25);

    const LocalTime now = systemClock().now();
    EXPECT_GE(now.year, 2024);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.day >= 1 && now.day <= 31);
    EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
    EXPECT_TRUE(now.minute >= 0 && now.minute <= 59);
    EXPECT_TRUE(now.second >= 0 && now.second <= 59);
    EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
}

}  // namespace
}  // namespace kavrin
