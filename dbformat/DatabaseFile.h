#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dbformat/MemoryStream.h"
#include "dbformat/Records.h"
#include "support/fs/FileSystem.h"

namespace kavrin {

// Where the file operations report the lines they log.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void log(const std::string& line) = 0;
};

// The size of `body` divided by `recordSize`, the remainder dropped, as a 32-bit count.
std::uint32_t RecordCount(const MemoryStream& body, std::size_t recordSize);

// Logs "Loading : <path>", reads the file whole into `fileMS`, returns its first 230 bytes as the
// header and moves every byte after them into `body` (position at its end). `fileMS` is left
// empty. A file of fewer than 230 bytes throws "Cannot not read DB file header." and leaves
// `body` as it was; so does a file that cannot be read (the file layer's message).
// `readFrom`, when not empty, is the file actually read (the same file under the name the
// folder really uses); the log names `path`. `progress`, when given, is told after each block the
// file layer reads.
DatabaseHeader LoadDatabaseFile(FileSystem& fs, LogSink& log, const std::string& path,
                                MemoryStream& fileMS, MemoryStream& body,
                                const std::string& readFrom = {},
                                const FileProgress& progress = {});

// What LoadDatabaseFile does with the bytes once they are read: the header returned, the body
// taking the rest of them over. Throws as LoadDatabaseFile for fewer than 230 bytes.
DatabaseHeader TakeDatabaseFile(FileBytes&& bytes, MemoryStream& body);

// How SaveDatabaseFile writes.
struct SaveOptions {
    // Write the bytes to this file instead of `path` (which is still the path logged); empty
    // means `path` itself.
    std::string writeTo;
    // Flush the file to the disk before returning.
    bool durable = false;
    // Told after each block the file layer writes, when given.
    FileProgress progress;
};

// Logs "Saving : <path>", then writes `header` followed by the whole of `body` as one file,
// replacing any file there. Nothing on disk is touched before the log line.
void SaveDatabaseFile(FileSystem& fs, LogSink& log, const std::string& path,
                      const DatabaseHeader& header, const MemoryStream& body,
                      const SaveOptions& options = {});

// The 765 bytes of `nodes` at `offset`. Throws "Could not read data from MemoryStream" when fewer
// remain. Moves the position of `nodes` past the record.
NodeRecord ReadNodeRecord(MemoryStream& nodes, std::uint32_t offset);

// 0 gives 0.0; any other day number n gives n + 36526.
double DayNumberToDate(std::uint16_t dayNumber);

// Throws the type message when DbType is not 1, else the version message when DbVersion is not 2.
void ValidateHeader(const DatabaseHeader& header);

}  // namespace kavrin
