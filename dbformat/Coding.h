#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kavrin {

// Little-endian fixed-width fields, decoded and encoded byte by byte so that the code does not
// depend on the host's byte order or on the alignment of the field.

inline std::uint16_t decodeFixed16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t decodeFixed32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t decodeFixed64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(decodeFixed32(p)) |
           (static_cast<std::uint64_t>(decodeFixed32(p + 4)) << 32);
}

inline double decodeDouble(const std::uint8_t* p) {
    return std::bit_cast<double>(decodeFixed64(p));
}

inline void encodeFixed16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void encodeFixed32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void encodeFixed64(std::uint8_t* p, std::uint64_t v) {
    encodeFixed32(p, static_cast<std::uint32_t>(v));
    encodeFixed32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline void encodeDouble(std::uint8_t* p, double v) {
    encodeFixed64(p, std::bit_cast<std::uint64_t>(v));
}

}  // namespace kavrin
