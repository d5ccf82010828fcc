#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrin {

// Byte layout of the three database files. Every file is a DatabaseHeader followed by a body of
// fixed-size records; a record is identified by its BodyOffset, its byte offset within the body.

// A ShortText of capacity N occupies N + 1 bytes: a length byte, then N bytes of text space.
constexpr std::size_t shortTextWidth(std::size_t capacity) {
    return capacity + 1;
}

namespace header {
constexpr std::size_t kDbType = 0;     // u32, must be 1
constexpr std::size_t kDbVersion = 4;  // u32, must be 2
constexpr std::size_t kDbName = 8;     // ShortText(64)
constexpr std::size_t kDbNameCapacity = 64;
constexpr std::size_t kDbComment = 73;  // ShortText(128)
constexpr std::size_t kDbCommentCapacity = 128;
constexpr std::size_t kCreated = 202;              // DateTimeValue
constexpr std::size_t kUpdated = 210;              // DateTimeValue
constexpr std::size_t kUpgraded = 218;             // DateTimeValue
constexpr std::size_t kUpgradedFromVersion = 226;  // u32
constexpr std::size_t kSize = 230;

static_assert(kDbVersion == kDbType + 4);
static_assert(kDbName == kDbVersion + 4);
static_assert(kDbComment == kDbName + shortTextWidth(kDbNameCapacity));
static_assert(kCreated == kDbComment + shortTextWidth(kDbCommentCapacity));
static_assert(kUpdated == kCreated + 8 && kUpgraded == kUpdated + 8);
static_assert(kUpgradedFromVersion == kUpgraded + 8);
static_assert(kSize == kUpgradedFromVersion + 4);
}  // namespace header

namespace node {
constexpr std::size_t kUserName = 0;  // ShortText(32)
constexpr std::size_t kUserNameCapacity = 32;
constexpr std::size_t kUnused1 = 33;   // 55 bytes not interpreted
constexpr std::size_t kNodeName = 88;  // ShortText(16)
constexpr std::size_t kNodeNameCapacity = 16;
constexpr std::size_t kUnused2 = 105;       // 70 bytes not interpreted
constexpr std::size_t kManufacturer = 175;  // ShortText(20)
constexpr std::size_t kManufacturerCapacity = 20;
constexpr std::size_t kUnused3 = 196;       // 60 bytes not interpreted
constexpr std::size_t kSerialNumber = 256;  // ShortText(20)
constexpr std::size_t kSerialNumberCapacity = 20;
constexpr std::size_t kModel = 277;  // ShortText(19)
constexpr std::size_t kModelCapacity = 19;
constexpr std::size_t kUnused4 = 297;      // 430 bytes not interpreted
constexpr std::size_t kHwUpdated = 727;    // DateTimeValue
constexpr std::size_t kSwUpdated = 735;    // DateTimeValue
constexpr std::size_t kUserUpdated = 743;  // DateTimeValue
constexpr std::size_t kUnused5 = 751;      // 1 byte not interpreted
constexpr std::size_t kLastOnline = 752;   // DateTimeValue
constexpr std::size_t kInactive = 760;     // u8: 0 = active
constexpr std::size_t kInactiveDay = 761;  // DayNumber
constexpr std::size_t kAddedDay = 763;     // DayNumber
constexpr std::size_t kSize = 765;

static_assert(kUnused1 == kUserName + shortTextWidth(kUserNameCapacity));
static_assert(kNodeName == kUnused1 + 55);
static_assert(kUnused2 == kNodeName + shortTextWidth(kNodeNameCapacity));
static_assert(kManufacturer == kUnused2 + 70);
static_assert(kUnused3 == kManufacturer + shortTextWidth(kManufacturerCapacity));
static_assert(kSerialNumber == kUnused3 + 60);
static_assert(kModel == kSerialNumber + shortTextWidth(kSerialNumberCapacity));
static_assert(kUnused4 == kModel + shortTextWidth(kModelCapacity));
static_assert(kHwUpdated == kUnused4 + 430);
static_assert(kSwUpdated == kHwUpdated + 8 && kUserUpdated == kSwUpdated + 8);
static_assert(kUnused5 == kUserUpdated + 8 && kLastOnline == kUnused5 + 1);
static_assert(kInactive == kLastOnline + 8 && kInactiveDay == kInactive + 1);
static_assert(kAddedDay == kInactiveDay + 2 && kSize == kAddedDay + 2);
}  // namespace node

namespace install {
constexpr std::size_t kInstallState = 0;  // u8: 0 = live
constexpr std::size_t kInstallData = 1;   // 4 bytes not interpreted
constexpr std::size_t kNodeRef = 5;       // BodyOffset (u32) into the node body
constexpr std::size_t kTitleRef = 9;      // BodyOffset (u32) into the title body
constexpr std::size_t kSize = 13;
static_assert(kNodeRef == kInstallData + 4 && kTitleRef == kNodeRef + 4 && kSize == kTitleRef + 4);
}  // namespace install

namespace title {
constexpr std::size_t kSize = 134;  // not interpreted at all
}

// DayNumber 1 is 2000-01-02: the DateTimeValue of 2000-01-01 is 36526.
constexpr double kDayNumberBase = 36526.0;

// File names as the four steps that touch the files spell them. Paths are the folder text with
// the name appended; on the server share the separator is a backslash, elsewhere a slash.
namespace filename {
constexpr const char* kNodeExists = "kavrin.cmp";
constexpr const char* kInstallExists = "Kavrin.ist";
constexpr const char* kTitleExists = "Kavrin.ttl";
constexpr const char* kNodeLoad = "kavrin.cmp";
constexpr const char* kInstallLoad = "kavrin.ist";
constexpr const char* kTitleLoad = "kavrin.ttl";
constexpr const char* kNodeSave = "Kavrin.cmp";
constexpr const char* kInstallSave = "Kavrin.ist";
constexpr const char* kTitleSave = "Kavrin.ttl";
}  // namespace filename

}  // namespace kavrin
