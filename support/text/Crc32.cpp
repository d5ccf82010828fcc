#include "support/text/Crc32.h"

#include <zlib.h>

namespace kavrin {

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    // zlib answers a null buffer with the initial value instead of `crc`.
    if (bytes.empty()) {
        return crc;
    }
    // The 64-bit length form: a body may be larger than zlib's 32-bit length type.
    return static_cast<std::uint32_t>(::crc32_z(crc, bytes.data(), bytes.size()));
}

FileCheck checkOf(std::span<const std::span<const std::uint8_t>> parts) {
    FileCheck check;
    for (const auto& part : parts) {
        check.size += part.size();
        check.crc = crc32(part, check.crc);
    }
    return check;
}

}  // namespace kavrin
