#include "support/text/Crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavrin::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(Crc32Test, IsTheZipCrcAndContinuesAcrossParts) {
    EXPECT_EQ(crc32(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32({}), 0u);
    const Bytes text = bytesOf("The database files cannot be replaced in one step.");
    const std::uint32_t whole = crc32(text);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        const std::span<const std::uint8_t> all(text);
        EXPECT_EQ(crc32(all.subspan(cut), crc32(all.first(cut))), whole) << cut;
        const std::span<const std::uint8_t> parts[] = {all.first(cut), all.subspan(cut)};
        EXPECT_EQ(checkOf(parts), (FileCheck{text.size(), whole})) << cut;
    }
}

}  // namespace
}  // namespace kavrin::test
