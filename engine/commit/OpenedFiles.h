#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "engine/MaintenanceEngine.h"
#include "engine/commit/Replacement.h"

namespace kavrin {

// The three files as the open read them, which a backup copies and a commit or a restore puts
// back when it cannot finish, and the guards every replacement of them passes first.

// One whole database file in memory: a header and a body.
struct FileImage {
    const DatabaseHeader* header;
    const MemoryStream* body;
};
using FileImages = std::array<FileImage, 3>;

// The three files byte for byte as the open read them, each behind its own header.
FileImages openedFiles(const DatabaseContext& ctx);
// A file's header bytes, then its body.
std::array<std::span<const std::uint8_t>, 2> fileParts(const FileImage& file);
// A replacement's new file written from memory.
NewFile newFileOf(const FileImage& image);
// What a put-back writes: the files as the open read them, from memory.
OldContent oldContentOf(const FileImages& images);

// Another program (the server, most likely) may have written to the files since they were read;
// replacing them would throw its changes away without a trace, the backup included. Throws then.
void requireUnchanged(FileSystem& fs, const std::array<std::string, 3>& paths,
                      const std::array<FileStatus, 3>& opened);
// A journal means that a commit is replacing the files right now (another instance of the tool)
// or was cut short and not yet recovered by an open; its temporary files are not leftovers.
// Throws then.
void requireNoJournal(FileSystem& fs, const std::string& folder);

// This machine's clock, as files' modification times count it: nanoseconds since the epoch.
std::int64_t wallClockNs();
// Whether a file whose status, taken again, is still `status` holds what was read of it from
// `readSinceNs` on, to judge by the status alone. A write gives a file the time it was made, as
// the file system's coarse clock has it, so a time well before the reading can only be kept by
// a file nobody wrote to since; a time close to it could be a write in the same tick.
bool statusProvesContent(const FileStatus& status, std::int64_t readSinceNs);

}  // namespace kavrin
