#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace kavrin {

// Sorts [first, last) stably by `less`, to the very order one std::stable_sort gives, in steps of
// bounded length: pieces of `piece` elements (the last one shorter) sorted one after another,
// then neighbouring sorted runs merged, two at a time, until one is left (std::inplace_merge
// puts the earlier run's element first among equals). `between()` is called between two steps,
// never before the first or after the last: a range of at most `piece` elements is one step and
// calls it never. A long sort can so let a window repaint meanwhile.
// REQUIRES: piece > 0.
template <typename Iterator, typename Less, typename Between>
void stableSortInPieces(Iterator first, Iterator last, Less less, std::size_t piece,
                        Between between) {
    using Distance = typename std::iterator_traits<Iterator>::difference_type;
    const auto n = static_cast<std::size_t>(std::distance(first, last));
    auto at = [first](std::size_t i) { return std::next(first, static_cast<Distance>(i)); };
    bool started = false;
    auto step = [&] {
        if (started) {
            between();
        }
        started = true;
    };
    for (std::size_t start = 0; start < n; start += piece) {
        step();
        std::stable_sort(at(start), at(std::min(n, start + piece)), less);
    }
    for (std::size_t width = piece; width < n; width *= 2) {
        for (std::size_t start = 0; start + width < n; start += 2 * width) {
            step();
            std::inplace_merge(at(start), at(start + width), at(std::min(n, start + 2 * width)),
                               less);
        }
    }
}

}  // namespace kavrin
