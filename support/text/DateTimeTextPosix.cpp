#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include "support/text/DateTimeText.h"

namespace kavrin {

// The forms %x and %X of the global C++ locale, which start-up sets from LANG and LC_ALL.
std::string localeDateTimeText(const DateTimeParts& parts, bool withTime) {
    std::tm tm{};
    tm.tm_year = parts.year - 1900;
    tm.tm_mon = parts.month - 1;
    tm.tm_mday = parts.day;
    tm.tm_hour = parts.hour;
    tm.tm_min = parts.minute;
    tm.tm_sec = parts.second;
    // Locales whose date forms name the weekday or the day of the year read these as well. Day 0
    // of a DateTimeValue, 1899-12-30, was a Saturday.
    const auto day = static_cast<long long>(encodeDateTime(parts.year, parts.month, parts.day));
    tm.tm_wday = static_cast<int>(((day % 7) + 7 + 6) % 7);
    tm.tm_yday = static_cast<int>(day - static_cast<long long>(encodeDateTime(parts.year, 1, 1)));

    std::ostringstream text;
    text.imbue(std::locale());
    text << std::put_time(&tm, "%x");
    if (withTime) {
        text << ' ' << std::put_time(&tm, "%X");
    }
    return text.str();
}

}  // namespace kavrin
