#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "support/platform/Clock.h"
#include "support/platform/Errors.h"

namespace kavrin {

// The claim a commit holds on its database folder while it writes there, so that no second
// commit runs at the same time (engine/commit/CommitClaim.h). Its content names the holder.

constexpr const char* kClaimName = "Kavrin.claim";
// A claim names a computer, a process and a time; anything much larger is not one.
constexpr std::uint64_t kMaxClaimSize = 1024;

struct Claim {
    std::string computer;  // as LocalComputerName gives it
    std::uint64_t processId = 0;
    LocalTime time;  // when it was taken, by the clock of `computer`; milliseconds not kept
};

// Bytes that cannot be taken for a claim; the message says what failed.
class ClaimError : public KavrinError {
public:
    using KavrinError::KavrinError;
};

// "yyyy-mm-dd hh:nn:ss"
std::string claimTimeText(const LocalTime& time);

// The claim as text, one line each: a title with the version, "computer <name>",
// "process <id>", "time <yyyy-mm-dd hh:nn:ss>". Throws ClaimError for a computer name that is
// empty, longer than 255 bytes or holds a control character.
std::string encodeClaim(const Claim& claim);
// The inverse of encodeClaim; accepts nothing else. Throws ClaimError naming what failed.
Claim decodeClaim(std::span<const std::uint8_t> bytes);

}  // namespace kavrin
