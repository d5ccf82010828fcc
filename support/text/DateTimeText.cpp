#include "support/text/DateTimeText.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace kavrin {

namespace {

long long floorDiv(long long a, long long b) {
    return a >= 0 ? a / b : -((b - 1 - a) / b);
}

// Whole cycles of the Gregorian calendar: 400 years are always this many days.
constexpr long long kDaysPer400Years = 146097;

// Calendar arithmetic on the proleptic Gregorian calendar, counted in days from 1970-01-01.
long long daysFromCivil(long long y, long long m, long long d) {
    using namespace std::chrono;
    // Months outside 1..12 roll into neighbouring years instead of reaching undefined arithmetic,
    // and years beyond the calendar's own range (+-32767) are taken in whole cycles.
    const long long yearShift = floorDiv(m - 1, 12);
    y += yearShift;
    m -= 12 * yearShift;
    const long long cycles = floorDiv(y, 400);
    const year_month_day first{year{static_cast<int>(y - cycles * 400)},
                               month{static_cast<unsigned>(m)}, day{1}};
    return cycles * kDaysPer400Years + sys_days{first}.time_since_epoch().count() + d - 1;
}

void civilFromDays(long long z, int& year, int& month, int& day) {
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{z}}};
    year = static_cast<int>(date.year());
    month = static_cast<int>(static_cast<unsigned>(date.month()));
    day = static_cast<int>(static_cast<unsigned>(date.day()));
}

// Day 0 of a DateTimeValue, 1899-12-30, counted from 1970-01-01.
constexpr long long kEpochShift = -25569;
// 0001-01-01 and 9999-12-31 as DateTimeValue days.
constexpr long long kFirstDay = -693593;
constexpr long long kLastDay = 2958465;
constexpr long long kMsPerDay = 86400000;

}  // namespace

bool decodeDateTime(double value, DateTimeParts& parts) {
    if (!std::isfinite(value)) {
        return false;
    }
    double whole = 0;
    const double fraction = std::modf(value, &whole);
    // Compared as doubles first: converting a huge value to an integer would be undefined.
    if (whole < static_cast<double>(kFirstDay) || whole > static_cast<double>(kLastDay)) {
        return false;
    }
    long long day = static_cast<long long>(whole);
    long long ms = std::llround(std::fabs(fraction) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay) {
        if (day < kLastDay) {
            day += 1;
            ms = 0;
        } else {
            // The last representable day has no next day to carry into.
            ms = kMsPerDay - 1;
        }
    }
    civilFromDays(day + kEpochShift, parts.year, parts.month, parts.day);
    parts.hour = static_cast<int>(ms / 3600000);
    parts.minute = static_cast<int>(ms / 60000 % 60);
    parts.second = static_cast<int>(ms / 1000 % 60);
    parts.millisecond = static_cast<int>(ms % 1000);
    return true;
}

double encodeDateTime(int year, int month, int day, int hour, int minute, int second) {
    const double days = static_cast<double>(daysFromCivil(year, month, day) - kEpochShift);
    const double fraction = ((hour * 60.0 + minute) * 60.0 + second) / 86400.0;
    // Before day 0 the time of day is stored without its sign, moving the value away from 0.
    return days < 0 ? days - fraction : days + fraction;
}

std::string DateTimeText(double value) {
    DateTimeParts parts;
    if (!decodeDateTime(value, parts)) {
        return "(invalid date)";
    }
    return localeDateTimeText(parts, parts.hour != 0 || parts.minute != 0 || parts.second != 0);
}

std::string IsoDateTimeText(double value) {
    DateTimeParts p;
    if (!decodeDateTime(value, p)) {
        return "(invalid date)";
    }
    char text[80];
    if (p.hour != 0 || p.minute != 0 || p.second != 0) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day,
                      p.hour, p.minute, p.second);
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
    }
    return text;
}

}  // namespace kavrin
