#include <cerrno>

#include "support/fs/FileSystem.h"
#include "support/platform/Errors.h"

namespace kavrin {

namespace {

// The share back end of a build that has no way to reach a server: every "\\server\share" path
// names nothing, as a server that cannot be reached does, so opening a database there reports that
// it does not exist; every other operation fails with the path and the system's text for a missing
// file.
class UnreachableShareFileSystem final : public FileSystem, public FileClaims {
public:
    FileStatus status(const std::string&) override { return {}; }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        fail("Cannot read directory", dir);
    }
    void rename(const std::string& from, const std::string& to) override {
        throw KavrinError(formatText("Cannot rename file \"%s\" to \"%s\". %s", from.c_str(),
                                     to.c_str(), systemErrorText(ENOENT).c_str()));
    }
    void remove(const std::string& path) override { fail("Cannot delete file", path); }
    void createDirectories(const std::string& path) override {
        fail("Cannot create directory", path);
    }
    bool createDirectory(const std::string& path) override {
        fail("Cannot create directory", path);
    }
    void syncDirectory(const std::string& dir) override { fail("Cannot flush directory", dir); }
    std::unique_ptr<HeldFile> createExclusive(const std::string& path,
                                              std::span<const std::uint8_t>) override {
        fail("Cannot create file", path);
    }
    HoldState holdState(const std::string&) override { return HoldState::Unknown; }
    std::unique_ptr<HeldFile> takeOver(const std::string& path, std::span<const std::uint8_t>,
                                       std::span<const std::uint8_t>) override {
        fail("Cannot open file", path);
    }
    // Shares compare names without regard to case, reachable or not.
    bool ignoresCase(const std::string&) const override { return true; }
    FileClaims& claims() override { return *this; }

protected:
    FileBytes readWholeFile(const std::string& path) override { fail("Cannot open file", path); }
    std::unique_ptr<FileWriter> createFile(const std::string& path, bool) override {
        fail("Cannot create file", path);
    }

private:
    [[noreturn]] static void fail(const char* what, const std::string& path) {
        throw KavrinError(
            formatText("%s \"%s\". %s", what, path.c_str(), systemErrorText(ENOENT).c_str()));
    }
};

}  // namespace

FileSystem& shareFileSystem() {
    static UnreachableShareFileSystem fs;
    return fs;
}

}  // namespace kavrin
