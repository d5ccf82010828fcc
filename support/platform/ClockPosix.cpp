#include <ctime>

#include "support/platform/Clock.h"

namespace kavrin {

namespace {

class SystemClock final : public Clock {
public:
    LocalTime now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm parts{};
        localtime_r(&ts.tv_sec, &parts);
        LocalTime t;
        t.year = parts.tm_year + 1900;
        t.month = parts.tm_mon + 1;
        t.day = parts.tm_mday;
        t.hour = parts.tm_hour;
        t.minute = parts.tm_min;
        // A leap second would name a second the calendar does not have.
        t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
        t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
        return t;
    }
};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace kavrin
