#include "dbformat/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kavrin {

std::size_t MemoryStream::read(void* destination, std::size_t count) {
    if (m_position >= m_size) {
        return 0;
    }
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - m_position));
    std::memcpy(destination, m_data + m_position, n);
    m_position += n;
    return n;
}

std::size_t MemoryStream::write(const void* source, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    std::uint64_t end = m_position + count;
    if (end > m_capacity) {
        grow(end);
    }
    if (m_position > m_size) {
        std::memset(m_data + m_size, 0, static_cast<std::size_t>(m_position - m_size));
    }
    std::memcpy(m_data + m_position, source, count);
    m_position = end;
    m_size = std::max(m_size, end);
    return count;
}

std::size_t MemoryStream::append(const void* source, std::size_t count) {
    m_position = m_size;
    return write(source, count);
}

void MemoryStream::clear() {
    m_storage.reset();
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
    m_position = 0;
}

void MemoryStream::reserve(std::size_t capacity) {
    if (capacity > m_capacity) {
        grow(capacity);
    }
}

void MemoryStream::adopt(FileBytes&& bytes, std::size_t skip) {
    skip = std::min(skip, bytes.size);
    m_storage = std::move(bytes.data);
    m_data = m_storage.get() + skip;
    m_size = bytes.size - skip;
    m_capacity = m_size;
    m_position = m_size;
    bytes.size = 0;
}

void MemoryStream::grow(std::uint64_t needed) {
    // Doubling keeps appending record by record linear.
    std::uint64_t capacity = std::max<std::uint64_t>(needed, m_capacity + m_capacity / 2);
    capacity = std::max<std::uint64_t>(capacity, 4096);
    if (capacity > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
        throw std::bad_alloc();
    }
    auto storage =
        std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity));
    if (m_size > 0) {
        std::memcpy(storage.get(), m_data, static_cast<std::size_t>(m_size));
    }
    m_storage = std::move(storage);
    m_data = m_storage.get();
    m_capacity = capacity;
}

}  // namespace kavrin
