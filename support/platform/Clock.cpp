#include "support/platform/Clock.h"

#include "support/text/DateTimeText.h"

namespace kavrin {

double toDateTimeValue(const LocalTime& t) {
    const double day = encodeDateTime(t.year, t.month, t.day);
    const double fraction =
        (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / 86400000.0;
    // Before day 0 the fraction still counts forward from midnight, so it moves the value away from
    // 0.
    return day < 0 ? day - fraction : day + fraction;
}

}  // namespace kavrin
