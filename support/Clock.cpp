#include "support/Clock.h"

#include <ctime>

#include "support/DateTimeText.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kavrin {

namespace {

class SystemClock final : public Clock {
public:
    LocalTime now() override {
        LocalTime t;
#ifdef _WIN32
        SYSTEMTIME st;
        GetLocalTime(&st);
        t.year = st.wYear;
        t.month = st.wMonth;
        t.day = st.wDay;
        t.hour = st.wHour;
        t.minute = st.wMinute;
        t.second = st.wSecond;
        t.millisecond = st.wMilliseconds;
#else
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm parts{};
        localtime_r(&ts.tv_sec, &parts);
        t.year = parts.tm_year + 1900;
        t.month = parts.tm_mon + 1;
        t.day = parts.tm_mday;
        t.hour = parts.tm_hour;
        t.minute = parts.tm_min;
        // A leap second would name a second the calendar does not have.
        t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
        t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
#endif
        return t;
    }
};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

double toDateTimeValue(const LocalTime& t) {
    const double day = encodeDateTime(t.year, t.month, t.day);
    const double fraction =
        (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / 86400000.0;
    // Before day 0 the fraction still counts forward from midnight, so it moves the value away from
    // 0.
    return day < 0 ? day - fraction : day + fraction;
}

}  // namespace kavrin
