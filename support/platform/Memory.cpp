#include "support/platform/Memory.h"

namespace kavrin {

std::string megabytesText(std::uint64_t bytes) {
    constexpr std::uint64_t kMegabyte = 1000 * 1000;
    return std::to_string((bytes + kMegabyte - 1) / kMegabyte) + " MB";
}

}  // namespace kavrin
