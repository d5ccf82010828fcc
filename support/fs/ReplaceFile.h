#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "support/fs/FileSystem.h"

namespace kavrin {

// Puts a whole file in place of `target` so that a crash leaves the old file or the new one,
// never a part: `parts` are written one after another as the content of `temporary` (a name in
// the folder of `target`) and flushed to the disk, then `temporary` is renamed over `target`.
// When a step fails, the temporary file is removed if it is there and the error passes on;
// `target` is then as it was. Making the rename itself durable is the caller's step
// (syncDirectory), so that several files can share one.
void replaceFile(FileSystem& fs, const std::string& temporary, const std::string& target,
                 std::span<const std::span<const std::uint8_t>> parts);

// Removes the file at `path` when there is one (a folder there is left alone). Returns whether a
// file was removed; throws when the removal fails.
bool removeIfThere(FileSystem& fs, const std::string& path);

}  // namespace kavrin
