// Arbitrary bytes as a commit claim: refused with a ClaimError, or read as a claim that writes
// back to itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dbformat/ClaimFormat.h"

namespace {

using namespace kavrin;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view textOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::optional<Claim> read(std::span<const std::uint8_t> bytes) {
    try {
        return decodeClaim(bytes);
    } catch (const ClaimError& e) {
        check(std::string_view(e.what()).size() > 0);
        return std::nullopt;
    }
}

bool same(const Claim& a, const Claim& b) {
    const LocalTime& s = a.time;
    const LocalTime& t = b.time;
    return a.computer == b.computer && a.processId == b.processId && s.year == t.year &&
           s.month == t.month && s.day == t.day && s.hour == t.hour && s.minute == t.minute &&
           s.second == t.second && s.millisecond == t.millisecond;
}

}  // namespace

// The process number is the one field with more than one spelling (leading zeros), and the
// written one is the shortest: the same length means the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<Claim> claim = read(bytes);
    if (!claim) {
        return 0;
    }
    check(claim->time.millisecond == 0);
    std::string written;
    try {
        written = encodeClaim(*claim);
    } catch (const ClaimError&) {
        check(false);  // a claim that was read could not be written
    }
    check(written.size() <= size);
    if (written.size() == size) {
        check(written == textOf(bytes));
    }
    const std::optional<Claim> again = read(bytesOf(written));
    check(again && same(*again, *claim));
    check(encodeClaim(*again) == written);
    return 0;
}
