#include "support/DateTimeText.h"

#include <cmath>

#include "support/Errors.h"

namespace kavrin {

namespace {

long long floorDiv(long long a, long long b) {
    return a >= 0 ? a / b : -((b - 1 - a) / b);
}

// Calendar arithmetic on the proleptic Gregorian calendar, counted in days from 1970-01-01.
long long daysFromCivil(long long y, long long m, long long d) {
    // Months outside 1..12 roll into neighbouring years instead of reaching undefined arithmetic.
    const long long yearShift = floorDiv(m - 1, 12);
    y += yearShift;
    m -= 12 * yearShift;
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(long long z, int& year, int& month, int& day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
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
    std::string text = formatText("%04d-%02d-%02d", p.year, p.month, p.day);
    if (p.hour != 0 || p.minute != 0 || p.second != 0) {
        text += formatText("T%02d:%02d:%02d", p.hour, p.minute, p.second);
    }
    return text;
}

}  // namespace kavrin
