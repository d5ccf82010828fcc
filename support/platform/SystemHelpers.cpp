#include "support/platform/SystemHelpers.h"

#include "support/platform/Errors.h"

namespace kavrin {

std::string TimeStampText(const LocalTime& time) {
    return formatText("%.4d%.2d%.2d-%.2d%.2d%.2d", time.year, time.month, time.day, time.hour,
                      time.minute, time.second);
}

std::string TimeStampText(Clock& clock) {
    return TimeStampText(clock.now());
}

std::string UncServerPrefix(const std::string& name) {
    if (name.find("\\\\") != std::string::npos) {
        return name;
    }
    return "\\\\" + name;
}

}  // namespace kavrin
