#include "support/fs/FileSystem.h"
#include "support/fs/RoutingFileSystem.h"

namespace kavrin {

FileSystem& localFileSystem() {
    static RoutingFileSystem fs(nativeFileSystem(), shareFileSystem());
    return fs;
}

}  // namespace kavrin
