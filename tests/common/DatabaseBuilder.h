#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbformat/Records.h"
#include "support/fs/FileSystem.h"

namespace kavrin::test {

// The fields of one node record a test cares about; everything else is filled with a pattern so
// that bytes the tool must carry unchanged are not all zero.
struct NodeSpec {
    std::string name;
    std::uint8_t inactive = 0;
    double lastOnline = 45000.5;
    std::string user = "user";
    std::string manufacturer = "Maker";
    std::string model = "Model";
    std::string serial = "SN";
    double hwUpdated = 45000.25;
    double swUpdated = 45001.0;
    double userUpdated = 45002.75;
    std::uint16_t inactiveDay = 0;
    std::uint16_t addedDay = 1;
    int nameLength = -1;  // the NodeName length byte when >= 0, else the length of `name`
};

// Builds the three files of a database byte by byte, for tests that must know every byte.
class DatabaseBuilder {
public:
    DatabaseBuilder();

    // Header of the node file; the install and title files get their own copies (equal at first).
    DatabaseHeader nodeHeader;
    DatabaseHeader installHeader;
    DatabaseHeader titleHeader;

    // Sets type, version, name, comment and the three dates of `h`.
    static void setHeader(DatabaseHeader& h, std::uint32_t type, std::uint32_t version,
                          const std::string& name, const std::string& comment, double created,
                          double updated, double upgraded, std::uint32_t upgradedFrom);
    // Sets the header fields in all three headers.
    void setHeaders(std::uint32_t type, std::uint32_t version);

    // Appends a record and returns its BodyOffset.
    std::uint32_t addNode(const NodeSpec& fields);
    std::uint32_t addNode(const std::string& name, std::uint8_t inactive = 0,
                          double lastOnline = 45000.5);
    std::uint32_t addNullRecord();
    std::uint32_t addTitle(std::uint8_t seed);
    std::uint32_t addInstall(std::uint32_t nodeRef, std::uint32_t titleRef, std::uint8_t state = 0,
                             std::uint32_t data = 0x11223344);

    // Raw bodies, for damage (trailing partial records and the like).
    std::vector<std::uint8_t> nodes;
    std::vector<std::uint8_t> installs;
    std::vector<std::uint8_t> titles;

    static std::vector<std::uint8_t> nodeRecord(const NodeSpec& fields);

    // Writes Kavrin.cmp, Kavrin.ist and Kavrin.ttl into `folder` (which must exist).
    void write(const std::string& folder) const;
    // The same through `fs`, into a local folder or a folder on a share alike.
    void write(FileSystem& fs, const std::string& folder) const;
    // The whole bytes of each file as write() makes them.
    std::vector<std::uint8_t> nodeFile() const;
    std::vector<std::uint8_t> installFile() const;
    std::vector<std::uint8_t> titleFile() const;
};

std::vector<std::uint8_t> readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace kavrin::test
