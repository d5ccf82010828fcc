#pragma once

namespace kavrin {

// A reading of the local clock, broken down.
struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;   // 0..23
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The local clock, behind an interface so that tests can fix the time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() = 0;
};

// The machine's local clock.
Clock& systemClock();

// A DateTimeValue (days since 1899-12-30, fraction = time of day) of a clock reading.
double toDateTimeValue(const LocalTime& t);

}  // namespace kavrin
