#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dbformat/Coding.h"
#include "dbformat/Records.h"

namespace kavrin {
namespace {

TEST(Coding, FixedWidthRoundTripsAreLittleEndian) {
    std::uint8_t buffer[8] = {};
    encodeFixed32(buffer, 0x11223344u);
    EXPECT_EQ(buffer[0], 0x44);
    EXPECT_EQ(buffer[3], 0x11);
    EXPECT_EQ(decodeFixed32(buffer), 0x11223344u);
    encodeFixed16(buffer, 0xFFFE);
    EXPECT_EQ(buffer[0], 0xFE);
    EXPECT_EQ(decodeFixed16(buffer), 0xFFFE);
    for (std::uint32_t v : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0x000005FAu}) {
        encodeFixed32(buffer + 1, v);  // unaligned on purpose
        EXPECT_EQ(decodeFixed32(buffer + 1), v);
    }
    for (double d : {0.0, -1.25, 36526.0, 45000.999988426, 1e300}) {
        encodeDouble(buffer, d);
        EXPECT_EQ(decodeDouble(buffer), d);
    }
    // 1.0 is 0x3FF0000000000000: the last byte holds the sign and exponent.
    encodeDouble(buffer, 1.0);
    EXPECT_EQ(buffer[7], 0x3F);
    EXPECT_EQ(buffer[6], 0xF0);
    EXPECT_EQ(buffer[0], 0x00);
}

// The fields are placed by hand at the byte offsets of the file format, independently of the
// layout constants the code uses.
TEST(Records, HeaderFieldsAtTheirOffsets) {
    DatabaseHeader h;
    h.bytes[0] = 1;
    h.bytes[4] = 2;
    h.bytes[8] = 255;  // length byte above the capacity of 64
    for (int i = 0; i < 64; ++i) {
        h.bytes[9 + i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    h.bytes[73] = 3;
    std::memcpy(&h.bytes[74], "abc", 3);
    double created = 40000.5, updated = 45000.25, upgraded = 0.75;
    std::memcpy(&h.bytes[202], &created, 8);
    std::memcpy(&h.bytes[210], &updated, 8);
    std::memcpy(&h.bytes[218], &upgraded, 8);
    h.bytes[226] = 0x34;
    h.bytes[227] = 0x12;

    EXPECT_EQ(h.dbType(), 1u);
    EXPECT_EQ(h.dbVersion(), 2u);
    EXPECT_EQ(h.dbName().size(), 64u);
    EXPECT_EQ(h.dbName().substr(0, 3), "abc");
    EXPECT_EQ(h.dbComment(), "abc");
    EXPECT_EQ(h.created(), created);
    EXPECT_EQ(h.updated(), updated);
    EXPECT_EQ(h.upgraded(), upgraded);
    EXPECT_EQ(h.upgradedFromVersion(), 0x1234u);
}

TEST(Records, NodeFieldsAtTheirOffsets) {
    std::uint8_t r[765] = {};
    r[0] = 40;  // user name claims more than its 32 bytes
    std::memset(r + 1, 'u', 32);
    r[33] = 'X';  // first byte after the field: must not show
    r[88] = 200;  // a name running past its field
    std::memset(r + 89, 'N', 16);
    std::memset(r + 105, 'n', 184);
    r[175] = 4;
    std::memcpy(r + 176, "Acme", 4);
    r[256] = 2;
    std::memcpy(r + 257, "S1", 2);
    r[277] = 30;  // model claims more than its 19 bytes
    std::memset(r + 278, 'm', 19);
    r[297] = 'Y';
    double hw = 1.5, sw = 2.5, user = 3.5, last = 4.5;
    std::memcpy(r + 727, &hw, 8);
    std::memcpy(r + 735, &sw, 8);
    std::memcpy(r + 743, &user, 8);
    std::memcpy(r + 752, &last, 8);
    r[760] = 2;
    r[761] = 0x01;
    r[762] = 0x02;
    r[763] = 0xFF;
    r[764] = 0xFF;

    NodeRecordView v(r);
    EXPECT_EQ(v.userName(), std::string(32, 'u'));
    EXPECT_EQ(v.nodeName(), std::string(16, 'N'));
    EXPECT_EQ(v.nodeNameAsName().size(), 200u);
    EXPECT_EQ(v.nodeNameAsName().substr(16, 3), "nnn");
    EXPECT_EQ(v.manufacturer(), "Acme");
    EXPECT_EQ(v.serialNumber(), "S1");
    EXPECT_EQ(v.model(), std::string(19, 'm'));
    EXPECT_EQ(v.hwUpdated(), hw);
    EXPECT_EQ(v.swUpdated(), sw);
    EXPECT_EQ(v.userUpdated(), user);
    EXPECT_EQ(v.lastOnline(), last);
    EXPECT_EQ(v.inactive(), 2);
    EXPECT_EQ(v.inactiveDay(), 0x0201);
    EXPECT_EQ(v.addedDay(), 65535);
    EXPECT_FALSE(v.isNullRecord());
    r[88] = 0;
    EXPECT_TRUE(v.isNullRecord());
}

TEST(Records, InstallFieldsAtTheirOffsets) {
    const std::uint8_t r[13] = {7, 0xAA, 0xBB, 0xCC, 0xDD, 0xFA, 0x05, 0, 0, 0x86, 0, 0, 0};
    EXPECT_EQ(installState(r), 7);
    EXPECT_EQ(installNodeRef(r), 1530u);
    EXPECT_EQ(installTitleRef(r), 134u);
}

}  // namespace
}  // namespace kavrin
