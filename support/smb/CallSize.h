#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace kavrin {

// How many bytes one read or write call of the share library asks for, over one file.
//
// The library answers one read call with as many requests in flight as the call asks for bytes
// (a pipeline as wide as the call), and one write call with one request at a time: over a link
// with a round trip of tens of milliseconds, the bytes asked for in one call set the pace.
// Calls start at the size fastest where the round trip is short (a LAN, the same machine: larger
// calls were slower there) and grow fourfold, up to the largest, while a call takes longer than
// a link that fast would need: the link is long, and the pipeline widens until it is full, in
// steps that each cost a round trip. A call must end within the minute the server is waited for,
// and a link may be long because it is narrow: a call grows only while the larger one, at the
// pace seen, would still end within two seconds, and shrinks again when one takes longer than
// four.
class CallSize {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr std::size_t kFirst = 1024 * 1024;
    static constexpr std::size_t kGrowth = 4;
    static constexpr Duration kShortRoundTrip = std::chrono::milliseconds(4);
    static constexpr Duration kLongCall = std::chrono::seconds(2);

    explicit CallSize(std::size_t largest) : m_largest(std::max(largest, kFirst)) {}
    std::size_t size() const { return m_size; }

    // A call of `asked` bytes (the size() it was made with) that moved `done` in `took`.
    void tookFor(std::size_t asked, std::size_t done, Duration took) {
        if (took > 2 * kLongCall) {
            m_size = std::max(m_size / kGrowth, kFirst);
        } else if (asked == m_size && done == asked && m_size < m_largest &&
                   took > kShortRoundTrip && took * kGrowth < kLongCall) {
            m_size = std::min(m_size * kGrowth, m_largest);
        }
    }

    // Times `call`, made with size() bytes; returns what it returns (bytes moved, or negative).
    template <typename Call>
    auto time(Call call) {
        const std::size_t asked = m_size;
        const auto start = std::chrono::steady_clock::now();
        const auto done = call(asked);
        const Duration took = std::chrono::steady_clock::now() - start;
        tookFor(asked, done < 0 ? 0 : static_cast<std::size_t>(done), took);
        return done;
    }

private:
    std::size_t m_largest;
    std::size_t m_size = kFirst;
};

}  // namespace kavrin
