#pragma once

#include <memory>
#include <string>

#include "support/fs/FileProgress.h"

namespace kavrin {

// A file about to be replaced by FileSystem::rename(), held open from before the rename
// (CacheHints::holdReplaced) so that its blocks can be freed a slice at a time afterwards, instead
// of all at once inside the rename: seconds for gigabytes. Destroying it closes what it holds.
class ReplacedFile {
public:
    virtual ~ReplacedFile() = default;
    // Frees the blocks of the file held, a slice at a time with a report (done, total bytes)
    // after each, when no name leads to it any more and no other process has it open; otherwise
    // does nothing. Only a hint: no file that a name leads to changes, and nothing is reported as
    // a failure; what `progress` throws passes. Called only once the rename that replaced it was
    // made durable (syncDirectory), so that no crash can find the old name leading to it again.
    virtual void release(const FileProgress& progress) = 0;
};

// Hints a back end may take to move the cost of replacing a large file out of the rename: nothing
// on the disk changes for them, and nothing they meet is a failure. The defaults do nothing; a
// back end whose system offers such calls overrides them (FileSystem::cacheHints()).
class CacheHints {
public:
    virtual ~CacheHints() = default;

    // Asks the system to drop what it caches of the file at `path`, one slice after another with
    // a report (done, total bytes) after each: a file about to be replaced, whose cached pages
    // would otherwise all be freed inside the rename, seconds of it for gigabytes. Only a hint:
    // nothing on the disk changes, and nothing is reported as a failure. The default does
    // nothing; a back end whose system offers the call overrides it.
    virtual void releaseCache([[maybe_unused]] const std::string& path,
                              [[maybe_unused]] const FileProgress& progress) {}

    // Holds the file at `path`, which rename() is about to replace, for ReplacedFile::release.
    // Only a hint: null, changing nothing, where the back end offers nothing of the kind (the
    // default) or the file cannot be held; the rename then frees it as ever. Never throws.
    virtual std::unique_ptr<ReplacedFile> holdReplaced([[maybe_unused]] const std::string& path) {
        return nullptr;
    }
};

}  // namespace kavrin
