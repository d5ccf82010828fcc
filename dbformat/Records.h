#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbformat/Coding.h"
#include "dbformat/Layout.h"

namespace kavrin {

// A ShortText read as a labelled value: at most `capacity` bytes, also when the length byte
// claims more. `field` points at the length byte.
inline std::string shortTextValue(const std::uint8_t* field, std::size_t capacity) {
    std::size_t length = field[0];
    if (length > capacity) {
        length = capacity;
    }
    return std::string(reinterpret_cast<const char*>(field + 1), length);
}

// The 230-byte header every file starts with, held byte for byte.
class DatabaseHeader {
public:
    std::array<std::uint8_t, header::kSize> bytes{};

    std::uint32_t dbType() const { return decodeFixed32(&bytes[header::kDbType]); }
    std::uint32_t dbVersion() const { return decodeFixed32(&bytes[header::kDbVersion]); }
    std::string dbName() const {
        return shortTextValue(&bytes[header::kDbName], header::kDbNameCapacity);
    }
    std::string dbComment() const {
        return shortTextValue(&bytes[header::kDbComment], header::kDbCommentCapacity);
    }
    double created() const { return decodeDouble(&bytes[header::kCreated]); }
    double updated() const { return decodeDouble(&bytes[header::kUpdated]); }
    double upgraded() const { return decodeDouble(&bytes[header::kUpgraded]); }
    std::uint32_t upgradedFromVersion() const {
        return decodeFixed32(&bytes[header::kUpgradedFromVersion]);
    }

    bool operator==(const DatabaseHeader&) const = default;
};

// Read-only view of one 765-byte node record somewhere in memory.
class NodeRecordView {
public:
    explicit NodeRecordView(const std::uint8_t* record) : m_p(record) {}

    const std::uint8_t* data() const { return m_p; }

    // The NodeName as a name: the length byte taken as stored (0..255), running past the field
    // into the bytes that follow it inside the record.
    std::string_view nodeNameAsName() const {
        return {reinterpret_cast<const char*>(m_p + node::kNodeName + 1), m_p[node::kNodeName]};
    }
    bool isNullRecord() const { return m_p[node::kNodeName] == 0; }

    std::string userName() const {
        return shortTextValue(m_p + node::kUserName, node::kUserNameCapacity);
    }
    std::string nodeName() const {
        return shortTextValue(m_p + node::kNodeName, node::kNodeNameCapacity);
    }
    std::string manufacturer() const {
        return shortTextValue(m_p + node::kManufacturer, node::kManufacturerCapacity);
    }
    std::string serialNumber() const {
        return shortTextValue(m_p + node::kSerialNumber, node::kSerialNumberCapacity);
    }
    std::string model() const { return shortTextValue(m_p + node::kModel, node::kModelCapacity); }
    double hwUpdated() const { return decodeDouble(m_p + node::kHwUpdated); }
    double swUpdated() const { return decodeDouble(m_p + node::kSwUpdated); }
    double userUpdated() const { return decodeDouble(m_p + node::kUserUpdated); }
    double lastOnline() const { return decodeDouble(m_p + node::kLastOnline); }
    std::uint8_t inactive() const { return m_p[node::kInactive]; }
    std::uint16_t inactiveDay() const { return decodeFixed16(m_p + node::kInactiveDay); }
    std::uint16_t addedDay() const { return decodeFixed16(m_p + node::kAddedDay); }

private:
    // NodeName length bytes above 16 take bytes after the field; they must stay in the record.
    static_assert(node::kNodeName + 1 + 255 <= node::kSize);
    const std::uint8_t* m_p;
};

// A node record copied out of a body.
class NodeRecord {
public:
    std::array<std::uint8_t, node::kSize> bytes{};
    NodeRecordView view() const { return NodeRecordView(bytes.data()); }
};

// Accessors of a 13-byte install record in place.
inline std::uint8_t installState(const std::uint8_t* record) {
    return record[install::kInstallState];
}
inline std::uint32_t installNodeRef(const std::uint8_t* record) {
    return decodeFixed32(record + install::kNodeRef);
}
inline std::uint32_t installTitleRef(const std::uint8_t* record) {
    return decodeFixed32(record + install::kTitleRef);
}

}  // namespace kavrin
