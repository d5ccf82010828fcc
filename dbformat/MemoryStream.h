#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "support/fs/FileSystem.h"

namespace kavrin {

// A growable byte buffer with a read/write position: the in-memory form of a file body.
// Reads and writes move the position; writing past the end grows the buffer.
class MemoryStream {
public:
    MemoryStream() = default;
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    MemoryStream(MemoryStream&&) noexcept = default;
    MemoryStream& operator=(MemoryStream&&) noexcept = default;

    std::uint64_t size() const { return m_size; }
    std::uint64_t position() const { return m_position; }
    // Any position is allowed; reading beyond the end yields nothing, writing beyond it zero-fills.
    void setPosition(std::uint64_t position) { m_position = position; }

    const std::uint8_t* data() const { return m_data; }
    std::uint8_t* data() { return m_data; }

    // Copies up to `count` bytes from the position; returns how many were copied.
    std::size_t read(void* destination, std::size_t count);
    // Writes `count` bytes at the position, growing the buffer as needed; returns `count`.
    std::size_t write(const void* source, std::size_t count);
    // Appends at the end, leaving the position after the appended bytes.
    std::size_t append(const void* source, std::size_t count);

    // Empties the buffer and releases its memory; position 0.
    void clear();
    // Makes room for `capacity` bytes without changing the size.
    void reserve(std::size_t capacity);

    // Takes over `bytes` as the content, less its first `skip` bytes, without copying them;
    // position at the end.
    void adopt(FileBytes&& bytes, std::size_t skip);
    // The content as a span (the position plays no part).
    std::span<const std::uint8_t> span() const {
        return {m_data, static_cast<std::size_t>(m_size)};
    }

private:
    void grow(std::uint64_t needed);

    std::unique_ptr<std::uint8_t[]> m_storage;
    std::uint8_t* m_data = nullptr;  // first byte of the content inside m_storage
    std::uint64_t m_size = 0;
    std::uint64_t m_capacity = 0;  // bytes available from m_data on
    std::uint64_t m_position = 0;
};

}  // namespace kavrin
