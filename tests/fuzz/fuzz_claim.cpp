// Arbitrary bytes as a commit claim: refused with a ClaimError, or read as a claim that writes
// back to itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "FuzzText.h"
#include "dbformat/ClaimFormat.h"

namespace {

using namespace kavrin;

using fuzz::bytesOf;
using fuzz::check;
using fuzz::textOf;

std::optional<Claim> read(std::span<const std::uint8_t> bytes) {
    return fuzz::decodedOrNothing<ClaimError>([](auto b) { return decodeClaim(b); }, bytes);
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
