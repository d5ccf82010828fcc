#pragma once

#include <string>

namespace kavrin {

// A broken-down DateTimeValue (days since 1899-12-30; the fraction is the time of day, taken
// without its sign for values before day 0).
struct DateTimeParts {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// False for NaN, infinities and values outside 0001-01-01 .. 9999-12-31.
bool decodeDateTime(double value, DateTimeParts& parts);

// Text of a date-time for the user: the short date of the global locale, followed, unless the
// time of day is 00:00:00 to the second, by a blank and the long time. UTF-8.
// A value decodeDateTime refuses gives "(invalid date)".
std::string DateTimeText(double value);

// The same value in one form for every locale, for files and for what scripts read:
// "YYYY-MM-DD", followed by "THH:MM:SS" unless the time of day is 00:00:00 to the second.
// A value decodeDateTime refuses gives "(invalid date)".
std::string IsoDateTimeText(double value);

// The platform's part of DateTimeText: the short date of the user's locale and, with `withTime`,
// a blank and the long time, of a date decodeDateTime gave. UTF-8.
std::string localeDateTimeText(const DateTimeParts& parts, bool withTime);

// The DateTimeValue of a calendar date and time (no range check).
double encodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace kavrin
