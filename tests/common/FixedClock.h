#pragma once

#include "support/platform/Clock.h"

namespace kavrin::test {

// A clock that stands still at the time it is given, unless a test moves it; it counts how often
// it was read.
class FixedClock final : public Clock {
public:
    explicit FixedClock(LocalTime at) : time(at) {}

    LocalTime now() override {
        ++m_readings;
        return time;
    }
    int readings() const { return m_readings; }

    LocalTime time;

private:
    int m_readings = 0;
};

}  // namespace kavrin::test
