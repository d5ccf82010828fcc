#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/fs/WindowsFiles.h"
#include "support/platform/Errors.h"
#include "support/text/WideText.h"

namespace kavrin {

namespace {

using namespace windows;

// FILETIME counts 100-nanosecond ticks from 1601-01-01; this many of them lie before 1970-01-01.
constexpr std::int64_t kTicksTo1970 = 116444736000000000LL;

// The attributes of `path`, INVALID_FILE_ATTRIBUTES (and the reason in GetLastError) when it
// names nothing that can be examined.
DWORD attributesOf(const std::wstring& path) {
    return GetFileAttributesW(path.c_str());
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where the levels that createDirectories may create begin: after a drive ("C:", "C:\"), a
// server's share ("\\server\share\"), the device forms of both ("\\?\C:\", "\\?\UNC\server\share\")
// or a leading separator. Found on the text itself: the standard library's paths do not know the
// roots of shares with every toolchain and would turn one into a folder of the current drive.
std::size_t rootLength(const std::wstring& path) {
    std::size_t start = 0;
    bool share = false;
    if (path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3])) {
        start = 4;
        if (path.size() >= 8 && _wcsnicmp(path.c_str() + 4, L"UNC", 3) == 0 &&
            isSeparator(path[7])) {
            start = 8;
            share = true;
        }
    } else if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        start = 2;
        share = true;
    }
    if (share) {
        // The server's name and the share's name, each ended by a separator or by the text.
        std::size_t at = start;
        for (int part = 0; part < 2; ++part) {
            while (at < path.size() && !isSeparator(path[at])) {
                ++at;
            }
            if (part == 0 && at < path.size()) {
                ++at;
            }
        }
        return at;
    }
    if (path.size() >= start + 2 && path[start + 1] == L':') {
        return start + 2;
    }
    if (start == 0 && !path.empty() && isSeparator(path[0])) {
        return 1;
    }
    return start;
}

// `path` with its last part spelled as the file already there spells it, if there is one: a file
// replaced under another spelling of its name keeps the name the folder showed (the server's).
void keepSpelling(std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::size_t start = separator == std::wstring::npos ? 0 : separator + 1;
    if (start == path.size() || path.find_first_of(L"*?", start) != std::wstring::npos) {
        return;
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    FindClose(search);
    const std::wstring_view name(found.cFileName);
    // Only the same name in other letter case: never a short 8.3 alias the search matched.
    if (name.size() == path.size() - start &&
        CompareStringOrdinal(name.data(), static_cast<int>(name.size()), path.c_str() + start,
                             static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
        path.replace(start, std::wstring::npos, name);
    }
}

// A file written block by block: writes of at most kBlockSize.
class WindowsWriter final : public FileWriter {
public:
    WindowsWriter(HANDLE file, const std::string& path) : m_file(file), m_path(path) {}

    std::size_t writeSome(std::span<const std::uint8_t> bytes) override {
        for (;;) {
            DWORD put = 0;
            if (!WriteFile(m_file.get(), bytes.data(),
                           static_cast<DWORD>(std::min(kBlockSize, bytes.size())), &put, nullptr)) {
                failLast("Cannot write file", m_path);
            }
            if (put > 0) {
                return put;
            }
        }
    }

    void finish(bool durable, const std::function<void()>&) override {
        if (durable && !FlushFileBuffers(m_file.get())) {
            failLast("Cannot flush file", m_path);
        }
        if (!m_file.close()) {
            failLast("Cannot write file", m_path);
        }
    }

private:
    Handle m_file;
    std::string m_path;
};

// The machine's files and the servers' shares through the wide Win32 calls. Names compare
// without regard to case; a file is read while others may read it but not write it, written with
// no sharing at all; a rename over an existing file replaces it in one step.
// Passes CopyFileExW's reports on; an exception from them cancels the copy and is kept for the
// caller.
struct CopyProgress {
    const FileProgress& progress;
    std::uint64_t done = 0;
    std::exception_ptr error;

    static DWORD CALLBACK routine(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                                  LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
        auto& self = *static_cast<CopyProgress*>(data);
        self.done = static_cast<std::uint64_t>(transferred.QuadPart);
        if (self.progress && total.QuadPart > 0) {
            try {
                self.progress(self.done, static_cast<std::uint64_t>(total.QuadPart));
            } catch (...) {
                self.error = std::current_exception();
                return PROGRESS_CANCEL;
            }
        }
        return PROGRESS_CONTINUE;
    }
};

class WindowsFileSystem final : public FileSystem {
public:
    FileStatus status(const std::string& path) override {
        FileStatus result;
        std::wstring name;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!toWide(path, name) || path.empty() ||
            !GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) {
            return result;
        }
        result.exists = true;
        result.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!result.isDirectory) {
            result.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        }
        const std::int64_t ticks =
            static_cast<std::int64_t>((std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                      data.ftLastWriteTime.dwLowDateTime);
        result.modifiedNs = (ticks - kTicksTo1970) * 100;
        return result;
    }

    std::vector<std::string> listDirectory(const std::string& dir) override {
        const char* const what = "Cannot read directory";
        std::wstring pattern = wide(what, dir);
        // A separator already at the end is not doubled: inside a share's path that is no name.
        if (pattern.empty() || !isSeparator(pattern.back())) {
            pattern += L'\\';
        }
        pattern += L'*';
        WIN32_FIND_DATAW entry{};
        const HANDLE found =
            FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                             nullptr, FIND_FIRST_EX_LARGE_FETCH);
        std::vector<std::string> names;
        if (found == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            // The root of a drive has no "." and "..": empty, it matches nothing at all.
            if (code == ERROR_FILE_NOT_FOUND && isDirectory(wide(what, dir))) {
                return names;
            }
            fail(what, dir, code);
        }
        const std::unique_ptr<void, decltype(&FindClose)> search(found, &FindClose);
        for (;;) {
            const std::wstring_view name(entry.cFileName);
            if (name != L"." && name != L"..") {
                names.push_back(fromWide(name));
            }
            if (!FindNextFileW(search.get(), &entry)) {
                const DWORD code = GetLastError();
                if (code != ERROR_NO_MORE_FILES) {
                    fail(what, dir, code);
                }
                return names;
            }
        }
    }

    void readFileInBlocks(const std::string& path, const FileBlockConsumer& consume) override {
        const Handle file = openForReading(path);
        const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlockSize]);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file.get(), block.get(), static_cast<DWORD>(kBlockSize), &got, nullptr)) {
                failLast("Cannot read file", path);
            }
            if (got == 0) {
                return;
            }
            consume(std::span<const std::uint8_t>(block.get(), got));
        }
    }

    void rename(const std::string& from, const std::string& to) override {
        const char* const what = "Cannot rename file";
        std::wstring source;
        std::wstring target;
        DWORD code = ERROR_NO_UNICODE_TRANSLATION;
        if (toWide(from, source) && toWide(to, target)) {
            keepSpelling(target);
            if (MoveFileExW(source.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return;
            }
            code = GetLastError();
        }
        throw KavrinError(formatText("%s \"%s\" to \"%s\". %s", what, from.c_str(), to.c_str(),
                                     systemErrorText(static_cast<int>(code)).c_str()));
    }

    FileCopy copyFile(const std::string& from, const std::string& to, bool durable,
                      const FileProgress& progress) override {
        // The system's copy names neither side when it fails: a source that cannot be opened is
        // named here, and a target that cannot be created too, by creating it first.
        openForReading(from);
        const std::wstring source = wide("Cannot open file", from);
        std::wstring target = wide("Cannot create file", to);
        keepSpelling(target);
        if (!Handle(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr))
                 .valid()) {
            failLast("Cannot create file", to);
        }
        CopyProgress state{progress, 0, nullptr};
        if (!CopyFileExW(source.c_str(), target.c_str(), &CopyProgress::routine, &state, nullptr,
                         0)) {
            const DWORD code = GetLastError();
            if (state.error) {
                std::rethrow_exception(state.error);
            }
            throw KavrinError(formatText("Cannot copy file \"%s\" to \"%s\". %s", from.c_str(),
                                         to.c_str(),
                                         systemErrorText(static_cast<int>(code)).c_str()));
        }
        // The size is the copy's own: not every system reports it as it copies.
        const Handle file(CreateFileW(target.c_str(), durable ? GENERIC_WRITE : GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
            failLast("Cannot read file", to);
        }
        if (durable && !FlushFileBuffers(file.get())) {
            failLast("Cannot flush file", to);
        }
        const auto copied = static_cast<std::uint64_t>(size.QuadPart);
        if (progress) {
            progress(copied, copied);
        }
        // On a share of a Windows server the server copies; the program cannot tell.
        return {copied, CopyMethod::InSystem, std::nullopt};
    }

    void remove(const std::string& path) override {
        const char* const what = "Cannot delete file";
        const DWORD code = removeFile(wide(what, path));
        if (code != 0) {
            fail(what, path, code);
        }
    }

    void createDirectories(const std::string& path) override {
        const char* const what = "Cannot create directory";
        const std::wstring name = wide(what, path);
        if (name.empty()) {
            fail(what, path, ERROR_PATH_NOT_FOUND);
        }
        if (isDirectory(name)) {
            return;
        }
        // Every level below the root from the top down; runs of separators name no level of
        // their own.
        const std::size_t root = rootLength(name);
        for (std::size_t i = root + 1; i <= name.size(); ++i) {
            if (i < name.size() && (!isSeparator(name[i]) || isSeparator(name[i - 1]))) {
                continue;
            }
            if (i == name.size() && isSeparator(name[i - 1])) {
                break;
            }
            const std::wstring level = name.substr(0, i);
            if (CreateDirectoryW(level.c_str(), nullptr)) {
                continue;
            }
            const DWORD code = GetLastError();
            // A level that is there already, or that this user may not create but can pass
            // through (the top of a share), is no failure.
            if (isDirectory(level)) {
                continue;
            }
            fail(what, path, code);
        }
        if (root >= name.size() && !isDirectory(name)) {
            fail(what, path, ERROR_PATH_NOT_FOUND);
        }
    }

    bool createDirectory(const std::string& path) override {
        const char* const what = "Cannot create directory";
        if (CreateDirectoryW(wide(what, path).c_str(), nullptr)) {
            return true;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) {
            return false;
        }
        fail(what, path, code);
    }

    // Windows has no call that makes a folder's entries last a crash; NTFS logs every change of
    // a folder before it makes it, and renames are asked to be written through.
    void syncDirectory(const std::string& dir) override {
        const char* const what = "Cannot flush directory";
        const DWORD attributes = attributesOf(wide(what, dir));
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            failLast(what, dir);
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            fail(what, dir, ERROR_DIRECTORY);
        }
    }

    bool ignoresCase(const std::string&) const override { return true; }
    FileClaims& claims() override { return windowsClaims(); }

protected:
    // The file at `path`, open for reading. Others may read the file meanwhile but not write it:
    // a file the server holds open for writing is refused with the system's reason rather than
    // read half written. Removing or renaming it is no writing: the bytes read stay those of the
    // file opened.
    Handle openForReading(const std::string& path) {
        const char* const what = "Cannot open file";
        Handle file(CreateFileW(wide(what, path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file.valid()) {
            failLast(what, path);
        }
        return file;
    }

    FileBytes readFileReporting(const std::string& path, const FileProgress& progress) override {
        const Handle file = openForReading(path);
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file.get(), &size)) {
            failLast("Cannot read file", path);
        }
        FileBytes bytes = allocateFileBytesFor(
            path, size.QuadPart > 0 ? static_cast<std::uint64_t>(size.QuadPart) : 0);
        const std::size_t total = bytes.size;
        std::size_t done = 0;
        while (done < total) {
            DWORD got = 0;
            if (!ReadFile(file.get(), bytes.data.get() + done,
                          static_cast<DWORD>(std::min(kBlockSize, total - done)), &got, nullptr)) {
                failLast("Cannot read file", path);
            }
            if (got == 0) {
                break;  // the file shrank since it was opened
            }
            done += got;
            if (progress && done < total) {
                progress(done, total);
            }
        }
        bytes.size = done;
        if (progress) {
            progress(done, done);
        }
        return bytes;
    }

    FileBytes readWholeFile(const std::string& path) override {
        return readFileReporting(path, {});
    }

    std::unique_ptr<FileWriter> createFile(const std::string& path, bool) override {
        const char* const what = "Cannot create file";
        // No sharing: nobody reads a file while it is written.
        Handle file(CreateFileW(wide(what, path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            failLast(what, path);
        }
        return std::make_unique<WindowsWriter>(file.release(), path);
    }
};

}  // namespace

char nativeSeparator() {
    return '\\';
}

FileSystem& nativeFileSystem() {
    static WindowsFileSystem fs;
    return fs;
}

// The wide calls take "\\server\share" paths themselves: shares need no back end of their own.
FileSystem& shareFileSystem() {
    return nativeFileSystem();
}

}  // namespace kavrin
