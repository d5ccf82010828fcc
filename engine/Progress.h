#pragma once

#include <cstdint>

namespace kavrin {

// numerator * 100 / denominator rounded to the nearest whole number, a half going to the even
// neighbour (12.5 gives 12, 37.5 gives 38). Exact: no floating-point error near the halves.
// REQUIRES: denominator > 0 and numerator * 100 fits 64 bits.
inline int progressPercent(std::uint64_t numerator, std::uint64_t denominator) {
    std::uint64_t scaled = numerator * 100;
    std::uint64_t quotient = scaled / denominator;
    std::uint64_t twiceRemainder = (scaled % denominator) * 2;
    if (twiceRemainder > denominator || (twiceRemainder == denominator && (quotient & 1) != 0)) {
        ++quotient;
    }
    return static_cast<int>(quotient);
}

}  // namespace kavrin
