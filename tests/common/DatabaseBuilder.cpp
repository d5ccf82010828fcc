#include "common/DatabaseBuilder.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "dbformat/Coding.h"
#include "dbformat/Layout.h"
#include "support/fs/Paths.h"

namespace kavrin::test {

namespace {

void putShortText(std::uint8_t* field, std::size_t capacity, const std::string& text,
                  int length = -1) {
    std::size_t n = std::min(text.size(), capacity);
    field[0] = static_cast<std::uint8_t>(length >= 0 ? length : static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i) {
        field[1 + i] = static_cast<std::uint8_t>(text[i]);
    }
}

std::vector<std::uint8_t> withHeader(const DatabaseHeader& h,
                                     const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> file(h.bytes.begin(), h.bytes.end());
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

}  // namespace

DatabaseBuilder::DatabaseBuilder() {
    setHeader(nodeHeader, 1, 2, "Test Inventory", "Built by a test", 40000.5, 45000.25, 0.0, 0);
    installHeader = nodeHeader;
    titleHeader = nodeHeader;
}

void DatabaseBuilder::setHeader(DatabaseHeader& h, std::uint32_t type, std::uint32_t version,
                                const std::string& name, const std::string& comment, double created,
                                double updated, double upgraded, std::uint32_t upgradedFrom) {
    for (std::size_t i = 0; i < h.bytes.size(); ++i) {
        h.bytes[i] = static_cast<std::uint8_t>(0xA0 + i % 31);
    }
    encodeFixed32(&h.bytes[header::kDbType], type);
    encodeFixed32(&h.bytes[header::kDbVersion], version);
    putShortText(&h.bytes[header::kDbName], header::kDbNameCapacity, name);
    putShortText(&h.bytes[header::kDbComment], header::kDbCommentCapacity, comment);
    encodeDouble(&h.bytes[header::kCreated], created);
    encodeDouble(&h.bytes[header::kUpdated], updated);
    encodeDouble(&h.bytes[header::kUpgraded], upgraded);
    encodeFixed32(&h.bytes[header::kUpgradedFromVersion], upgradedFrom);
}

void DatabaseBuilder::setHeaders(std::uint32_t type, std::uint32_t version) {
    for (DatabaseHeader* h : {&nodeHeader, &installHeader, &titleHeader}) {
        encodeFixed32(&h->bytes[header::kDbType], type);
        encodeFixed32(&h->bytes[header::kDbVersion], version);
    }
}

std::vector<std::uint8_t> DatabaseBuilder::nodeRecord(const NodeSpec& fields) {
    std::vector<std::uint8_t> r(node::kSize);
    for (std::size_t i = 0; i < r.size(); ++i) {
        r[i] = static_cast<std::uint8_t>(0x30 + i % 53);  // bytes the tool must carry unchanged
    }
    putShortText(&r[node::kUserName], node::kUserNameCapacity, fields.user);
    // A long name runs past its field, as a length byte above 16 makes the tool read it.
    r[node::kNodeName] = static_cast<std::uint8_t>(
        fields.nameLength >= 0 ? fields.nameLength : static_cast<int>(fields.name.size()));
    for (std::size_t i = 0; i < fields.name.size() && i < 255; ++i) {
        r[node::kNodeName + 1 + i] = static_cast<std::uint8_t>(fields.name[i]);
    }
    putShortText(&r[node::kManufacturer], node::kManufacturerCapacity, fields.manufacturer);
    putShortText(&r[node::kSerialNumber], node::kSerialNumberCapacity, fields.serial);
    putShortText(&r[node::kModel], node::kModelCapacity, fields.model);
    encodeDouble(&r[node::kHwUpdated], fields.hwUpdated);
    encodeDouble(&r[node::kSwUpdated], fields.swUpdated);
    encodeDouble(&r[node::kUserUpdated], fields.userUpdated);
    encodeDouble(&r[node::kLastOnline], fields.lastOnline);
    r[node::kInactive] = fields.inactive;
    encodeFixed16(&r[node::kInactiveDay], fields.inactiveDay);
    encodeFixed16(&r[node::kAddedDay], fields.addedDay);
    return r;
}

std::uint32_t DatabaseBuilder::addNode(const NodeSpec& fields) {
    auto offset = static_cast<std::uint32_t>(nodes.size());
    auto r = nodeRecord(fields);
    nodes.insert(nodes.end(), r.begin(), r.end());
    return offset;
}

std::uint32_t DatabaseBuilder::addNode(const std::string& name, std::uint8_t inactive,
                                       double lastOnline) {
    NodeSpec fields;
    fields.name = name;
    fields.inactive = inactive;
    fields.lastOnline = lastOnline;
    return addNode(fields);
}

std::uint32_t DatabaseBuilder::addNullRecord() {
    NodeSpec fields;
    fields.name = "GHOST";
    fields.nameLength = 0;
    return addNode(fields);
}

std::uint32_t DatabaseBuilder::addTitle(std::uint8_t seed) {
    auto offset = static_cast<std::uint32_t>(titles.size());
    for (std::size_t i = 0; i < title::kSize; ++i) {
        titles.push_back(static_cast<std::uint8_t>(seed + i));
    }
    return offset;
}

std::uint32_t DatabaseBuilder::addInstall(std::uint32_t nodeRef, std::uint32_t titleRef,
                                          std::uint8_t state, std::uint32_t data) {
    auto offset = static_cast<std::uint32_t>(installs.size());
    std::uint8_t r[install::kSize];
    r[install::kInstallState] = state;
    encodeFixed32(r + install::kInstallData, data);
    encodeFixed32(r + install::kNodeRef, nodeRef);
    encodeFixed32(r + install::kTitleRef, titleRef);
    installs.insert(installs.end(), r, r + install::kSize);
    return offset;
}

std::vector<std::uint8_t> DatabaseBuilder::nodeFile() const {
    return withHeader(nodeHeader, nodes);
}
std::vector<std::uint8_t> DatabaseBuilder::installFile() const {
    return withHeader(installHeader, installs);
}
std::vector<std::uint8_t> DatabaseBuilder::titleFile() const {
    return withHeader(titleHeader, titles);
}

void DatabaseBuilder::write(const std::string& folder) const {
    writeFileBytes(folder + "/Kavrin.cmp", nodeFile());
    writeFileBytes(folder + "/Kavrin.ist", installFile());
    writeFileBytes(folder + "/Kavrin.ttl", titleFile());
}

void DatabaseBuilder::write(FileSystem& fs, const std::string& folder) const {
    for (const auto& [name, bytes] :
         {std::pair{"Kavrin.cmp", nodeFile()}, std::pair{"Kavrin.ist", installFile()},
          std::pair{"Kavrin.ttl", titleFile()}}) {
        const std::span<const std::uint8_t> parts[] = {bytes};
        fs.writeFile(joinPath(folder, name), parts, false);
    }
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace kavrin::test
