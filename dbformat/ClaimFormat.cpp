#include "dbformat/ClaimFormat.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <vector>

namespace kavrin {

namespace {

constexpr std::string_view kTitle = "Kavrin commit claim 1";
constexpr std::string_view kComputerKey = "computer ";
constexpr std::string_view kProcessKey = "process ";
constexpr std::string_view kTimeKey = "time ";
constexpr std::size_t kMaxNameLength = 255;

bool validComputer(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

bool parseTime(std::string_view text, LocalTime& time) {
    if (text.size() != 19) {
        return false;
    }
    const std::string copy(text);
    char dash1 = 0, dash2 = 0, blank = 0, colon1 = 0, colon2 = 0;
    int consumed = 0;
    if (std::sscanf(copy.c_str(), "%4d%c%2d%c%2d%c%2d%c%2d%c%2d%n", &time.year, &dash1, &time.month,
                    &dash2, &time.day, &blank, &time.hour, &colon1, &time.minute, &colon2,
                    &time.second, &consumed) != 11 ||
        consumed != 19) {
        return false;
    }
    time.millisecond = 0;
    return dash1 == '-' && dash2 == '-' && blank == ' ' && colon1 == ':' && colon2 == ':' &&
           time.year >= 1 && time.month >= 1 && time.month <= 12 && time.day >= 1 &&
           time.day <= 31 && time.hour >= 0 && time.hour <= 23 && time.minute >= 0 &&
           time.minute <= 59 && time.second >= 0 && time.second <= 59 &&
           claimTimeText(time) == copy;
}

[[noreturn]] void fail(std::size_t line, const std::string& what) {
    throw ClaimError("line " + std::to_string(line) + ": " + what);
}

}  // namespace

std::string claimTimeText(const LocalTime& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                  time.day, time.hour, time.minute, time.second);
    return text;
}

std::string encodeClaim(const Claim& claim) {
    if (!validComputer(claim.computer)) {
        throw ClaimError("the computer name \"" + claim.computer +
                         "\" cannot be written to a claim");
    }
    return std::string(kTitle) + "\n" + std::string(kComputerKey) + claim.computer + "\n" +
           std::string(kProcessKey) + std::to_string(claim.processId) + "\n" +
           std::string(kTimeKey) + claimTimeText(claim.time) + "\n";
}

Claim decodeClaim(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > kMaxClaimSize) {
        throw ClaimError("it holds " + std::to_string(bytes.size()) +
                         " bytes, more than a claim ever does");
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.empty() || text.back() != '\n') {
        throw ClaimError("it is empty or torn: it does not end with a whole line");
    }
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() != 4) {
        throw ClaimError("it has " + std::to_string(lines.size()) + " lines instead of 4");
    }
    if (lines[0] != kTitle) {
        fail(1, "not the title of a claim of this version");
    }
    Claim claim;
    if (!lines[1].starts_with(kComputerKey) ||
        !validComputer(lines[1].substr(kComputerKey.size()))) {
        fail(2, "\"computer\" and a name expected");
    }
    claim.computer = lines[1].substr(kComputerKey.size());
    const std::string_view process = lines[2].starts_with(kProcessKey)
                                         ? lines[2].substr(kProcessKey.size())
                                         : std::string_view();
    const auto [end, error] =
        std::from_chars(process.data(), process.data() + process.size(), claim.processId);
    if (process.empty() || error != std::errc() || end != process.data() + process.size()) {
        fail(3, "\"process\" and a number expected");
    }
    if (!lines[3].starts_with(kTimeKey) ||
        !parseTime(lines[3].substr(kTimeKey.size()), claim.time)) {
        fail(4, "\"time\" and yyyy-mm-dd hh:nn:ss expected");
    }
    return claim;
}

}  // namespace kavrin
