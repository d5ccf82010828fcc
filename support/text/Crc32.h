#pragma once

#include <cstdint>
#include <span>

namespace kavrin {

// CRC-32 (the polynomial of zip and PNG) of `bytes`, continuing from `crc` (0 to start), so that
// a file given in parts gets the CRC of its whole content.
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// What identifies the content of one file: its size and the CRC-32 of all its bytes.
struct FileCheck {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;

    bool operator==(const FileCheck&) const = default;
};

// The CRC-32 and size of `parts` laid one after another.
FileCheck checkOf(std::span<const std::span<const std::uint8_t>> parts);

}  // namespace kavrin
