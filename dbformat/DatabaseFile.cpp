#include "dbformat/DatabaseFile.h"

#include <cstring>
#include <new>

#include "support/platform/Errors.h"

namespace kavrin {

std::uint32_t RecordCount(const MemoryStream& body, std::size_t recordSize) {
    return static_cast<std::uint32_t>(body.size() / recordSize);
}

DatabaseHeader LoadDatabaseFile(FileSystem& fs, LogSink& log, const std::string& path,
                                MemoryStream& fileMS, MemoryStream& body,
                                const std::string& readFrom, const FileProgress& progress) {
    log.log("Loading : " + path);
    fileMS.clear();
    return TakeDatabaseFile(fs.readFile(readFrom.empty() ? path : readFrom, progress), body);
}

DatabaseHeader TakeDatabaseFile(FileBytes&& bytes, MemoryStream& body) {
    if (bytes.size < header::kSize) {
        throw KavrinError("Cannot not read DB file header.");
    }
    DatabaseHeader result;
    std::memcpy(result.bytes.data(), bytes.data.get(), header::kSize);
    // The body takes the file's memory over instead of copying it: bodies run to hundreds of MB.
    body.clear();
    body.adopt(std::move(bytes), header::kSize);
    return result;
}

void SaveDatabaseFile(FileSystem& fs, LogSink& log, const std::string& path,
                      const DatabaseHeader& header, const MemoryStream& body,
                      const SaveOptions& options) {
    log.log("Saving : " + path);
    // Header and body go out in one write without being joined in memory first.
    const std::span<const std::uint8_t> parts[] = {
        std::span<const std::uint8_t>(header.bytes.data(), header.bytes.size()), body.span()};
    fs.writeFile(options.writeTo.empty() ? path : options.writeTo, parts, options.durable,
                 options.progress);
}

NodeRecord ReadNodeRecord(MemoryStream& nodes, std::uint32_t offset) {
    NodeRecord record;
    nodes.setPosition(offset);
    if (nodes.read(record.bytes.data(), record.bytes.size()) < record.bytes.size()) {
        throw KavrinError("Could not read data from MemoryStream");
    }
    return record;
}

double DayNumberToDate(std::uint16_t dayNumber) {
    return dayNumber == 0 ? 0.0 : static_cast<double>(dayNumber) + kDayNumberBase;
}

void ValidateHeader(const DatabaseHeader& header) {
    if (header.dbType() != 1) {
        throw KavrinError("Error: \"The database is not the correct type or version.\"");
    }
    if (header.dbVersion() != 2) {
        throw KavrinError(
            "Error: \"The database is not the correct version.\"\n\rThe database is : version " +
            std::to_string(header.dbVersion()));
    }
}

}  // namespace kavrin
