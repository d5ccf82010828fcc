#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/fs/FileSystem.h"
#include "support/platform/Errors.h"

// Small helpers of the file layer's tests.
namespace kavrin {

inline std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

inline void writeText(FileSystem& fs, const std::string& path, const std::string& text) {
    const auto bytes = bytesOf(text);
    const std::span<const std::uint8_t> parts[] = {bytes};
    fs.writeFile(path, parts, false);
}

inline std::string readText(FileSystem& fs, const std::string& path) {
    const FileBytes bytes = fs.readFile(path);
    return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

// The message of the KavrinError `action` throws, or a note that it threw none.
template <typename Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const KavrinError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace kavrin
