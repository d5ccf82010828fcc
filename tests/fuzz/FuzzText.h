// What the fuzz targets of the line formats (journal, claim) share: a check that stops the
// fuzzer, views of the input as text, and a read that is either the decoded value or a refusal
// that says why.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kavrin::fuzz {

inline void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view textOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// decode(bytes), or nothing when it refused them with an `Error` that names a reason.
template <typename Error, typename Decode>
auto decodedOrNothing(Decode decode, std::span<const std::uint8_t> bytes)
    -> std::optional<decltype(decode(bytes))> {
    try {
        return decode(bytes);
    } catch (const Error& e) {
        check(!std::string_view(e.what()).empty());
        return std::nullopt;
    }
}

}  // namespace kavrin::fuzz
