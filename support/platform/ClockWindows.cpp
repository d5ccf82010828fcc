#include <windows.h>

#include "support/platform/Clock.h"

namespace kavrin {

namespace {

class SystemClock final : public Clock {
public:
    LocalTime now() override {
        SYSTEMTIME st;
        GetLocalTime(&st);
        LocalTime t;
        t.year = st.wYear;
        t.month = st.wMonth;
        t.day = st.wDay;
        t.hour = st.wHour;
        t.minute = st.wMinute;
        t.second = st.wSecond;
        t.millisecond = st.wMilliseconds;
        return t;
    }
};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace kavrin
