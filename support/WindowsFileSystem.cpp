#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "support/Errors.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/WideText.h"

namespace kavrin {

namespace {

// Whole files move in blocks of this size, so that a progress report comes every few
// milliseconds and an abort is not kept waiting for the rest of a large file.
constexpr std::size_t kBlockSize = 4 * 1024 * 1024;

// FILETIME counts 100-nanosecond ticks from 1601-01-01; this many of them lie before 1970-01-01.
constexpr std::int64_t kTicksTo1970 = 116444736000000000LL;

[[noreturn]] void fail(const char* what, const std::string& path, DWORD code) {
    throw KavrinError(formatText("%s \"%s\". %s", what, path.c_str(),
                                 systemErrorText(static_cast<int>(code)).c_str()));
}

[[noreturn]] void failLast(const char* what, const std::string& path) {
    fail(what, path, GetLastError());
}

// The wide form of `path` for the system; a text that is not UTF-8 names no file and fails as the
// system fails such a name.
std::wstring wide(const char* what, const std::string& path) {
    std::wstring result;
    if (!toWide(path, result)) {
        fail(what, path, ERROR_NO_UNICODE_TRANSLATION);
    }
    return result;
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Closes a handle on every path; close() is called explicitly where its result matters.
class Handle {
public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle() {
        if (valid()) {
            CloseHandle(m_handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : m_handle(other.release()) {}
    Handle& operator=(Handle&&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }

    // Gives the handle away; it is no longer closed here.
    HANDLE release() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }

    // Closes now and reports whether that succeeded: a share may report a failed write only here.
    bool close() {
        const HANDLE handle = std::exchange(m_handle, INVALID_HANDLE_VALUE);
        return handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != FALSE;
    }

private:
    HANDLE m_handle;
};

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

// The identity of an open file, which outlives renames: its volume and its index there.
bool fileIdOf(HANDLE file, std::pair<DWORD, std::uint64_t>& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        return false;
    }
    id = {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return true;
}

// Whether `path` names the file open as `file`: a name removed and made anew leads elsewhere.
bool sameFile(HANDLE file, const std::wstring& path) {
    // No access asked: this open conflicts with no other, whatever it shares.
    Handle named(CreateFileW(path.c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    std::pair<DWORD, std::uint64_t> held;
    std::pair<DWORD, std::uint64_t> found;
    return named.valid() && fileIdOf(file, held) && fileIdOf(named.get(), found) && held == found;
}

// Removes the file `path` at once; 0, or the system's code for why not. A file another program
// holds open (sharing its deletion) would keep its name until that program closes it, and nothing
// could be created under that name meanwhile, as POSIX and newer Windows allow: where the system
// cannot drop the name at once, the file first moves aside to a name of its own.
DWORD removeFile(const std::wstring& path) {
    {
        Handle alone(CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (alone.valid()) {
            FILE_DISPOSITION_INFO gone{TRUE};
            return SetFileInformationByHandle(alone.get(), FileDispositionInfo, &gone, sizeof gone)
                       ? 0
                       : GetLastError();
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            return GetLastError();
        }
    }
    Handle shared(CreateFileW(path.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!shared.valid()) {
        return GetLastError();
    }
    // FileDispositionInfoEx and its POSIX semantics (Windows 10), which this toolchain's headers
    // do not name yet.
    constexpr auto kDispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                   FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (SetFileInformationByHandle(shared.get(), kDispositionEx, &posix, sizeof posix)) {
        return 0;
    }
    static std::atomic<unsigned> counter{0};
    const std::wstring aside = path + L".deleted-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(counter++);
    // Marked for deletion through a handle of the name it has then (some systems remove the file
    // under the name it was marked by); failing to move, it keeps its name until the holder ends.
    Handle moved(MoveFileExW(path.c_str(), aside.c_str(), 0)
                     ? CreateFileW(aside.c_str(), DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                     : INVALID_HANDLE_VALUE);
    FILE_DISPOSITION_INFO gone{TRUE};
    return SetFileInformationByHandle(moved.valid() ? moved.get() : shared.get(),
                                      FileDispositionInfo, &gone, sizeof gone)
               ? 0
               : GetLastError();
}

// Up to `limit` bytes of the open file from its start.
bool readStart(HANDLE file, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.assign(limit, 0);
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    std::size_t got = 0;
    while (got < limit) {
        DWORD n = 0;
        if (!ReadFile(file, bytes.data() + got, static_cast<DWORD>(limit - got), &n, nullptr)) {
            return false;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    bytes.resize(got);
    return true;
}

bool writeAll(HANDLE file, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        if (!WriteFile(file, bytes.data() + done,
                       static_cast<DWORD>(std::min(kBlockSize, bytes.size() - done)), &put,
                       nullptr)) {
            return false;
        }
        done += put;
    }
    return true;
}

// The lock that marks a claim as held: one byte far beyond any content, locked exclusively through
// the holding handle. Like flock it binds every other handle, in this process too, leaves reading
// the content alone, and goes when the handle closes, however its process ends; a server's share
// keeps it for every computer.
constexpr DWORD kLockOffsetHigh = 0x40000000;  // 2^62

enum class Lock { Taken, Busy, Failed };

Lock tryLock(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return Lock::Taken;
    }
    return GetLastError() == ERROR_LOCK_VIOLATION ? Lock::Busy : Lock::Failed;
}

// A claim's handle: it reads, and shares everything, so that others read the claim, and write or
// remove it as they choose; only the lock says that it is held.
HANDLE openShared(const std::wstring& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes `content` as the whole content of the claim `path` through a handle of its own: the
// holding handle only reads, as one that writes would keep out every reader that shares no
// writing, and readers of the database files share none. A reader of the claim keeps this
// writer out for the moment it reads; the lock keeps every other writer of claims away meanwhile.
bool writeClaim(const std::wstring& path, std::span<const std::uint8_t> content) {
    for (int attempt = 0;; ++attempt) {
        Handle file(openShared(path, GENERIC_WRITE, OPEN_EXISTING));
        if (file.valid()) {
            return SetEndOfFile(file.get()) && writeAll(file.get(), content) && file.close();
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == 100) {
            return false;
        }
        Sleep(10);
    }
}

class WindowsHeldFile final : public HeldFile {
public:
    WindowsHeldFile(std::string path, std::wstring name, HANDLE handle)
        : m_path(std::move(path)), m_name(std::move(name)), m_handle(handle) {}

    void remove() override {
        // Only the file held here: one removed by hand and made anew belongs to another holder.
        if (!sameFile(m_handle.get(), m_name)) {
            return;
        }
        const DWORD code = removeFile(m_name);
        if (code != 0 && code != ERROR_FILE_NOT_FOUND) {
            fail("Cannot delete file", m_path, code);
        }
    }

private:
    std::string m_path;
    std::wstring m_name;
    Handle m_handle;  // closing it drops the lock
};

// The machine's files and the servers' shares through the wide Win32 calls. Names compare
// without regard to case; a file is read while others may read it but not write it, written with
// no sharing at all; a rename over an existing file replaces it in one step.
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

    FileBytes readFile(const std::string& path) override { return readFileReporting(path, {}); }

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

    void writeFile(const std::string& path, std::span<const std::span<const std::uint8_t>> parts,
                   bool durable) override {
        writeFileReporting(path, parts, durable, {});
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

    // Created by a handle that writes, which keeps readers out until the content is whole, and
    // locked at once through the holding handle: the moment between is the one a POSIX claim has
    // between its creation and its lock.
    std::unique_ptr<HeldFile> createExclusive(const std::string& path,
                                              std::span<const std::uint8_t> content) override {
        const char* const what = "Cannot create file";
        const std::wstring name = wide(what, path);
        Handle writer(openShared(name, GENERIC_WRITE, CREATE_NEW));
        if (!writer.valid()) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
                return nullptr;
            }
            fail(what, path, code);
        }
        Handle held(openShared(name, GENERIC_READ, OPEN_EXISTING));
        if (!held.valid()) {
            failLast(what, path);
        }
        switch (tryLock(held.get())) {
            case Lock::Taken:
                break;
            case Lock::Busy:
                return nullptr;  // taken over by another process before the lock
            case Lock::Failed:
                failLast(what, path);
        }
        if (!writeAll(writer.get(), content) || !writer.close()) {
            const DWORD code = GetLastError();
            writer.close();
            held.close();
            removeFile(name);  // a claim cut short would only stand in the way
            fail("Cannot write file", path, code);
        }
        return std::make_unique<WindowsHeldFile>(path, name, held.release());
    }

    HoldState holdState(const std::string& path) override {
        std::wstring name;
        if (!toWide(path, name)) {
            return HoldState::Unknown;
        }
        Handle file(openShared(name, GENERIC_READ, OPEN_EXISTING));
        if (!file.valid()) {
            return HoldState::Unknown;
        }
        switch (tryLock(file.get())) {
            case Lock::Taken:
                return HoldState::Free;  // closing drops the lock just taken
            case Lock::Busy:
                return HoldState::Held;
            case Lock::Failed:
                break;
        }
        return HoldState::Unknown;
    }

    std::unique_ptr<HeldFile> takeOver(const std::string& path,
                                       std::span<const std::uint8_t> expected,
                                       std::span<const std::uint8_t> content) override {
        const char* const what = "Cannot open file";
        const std::wstring name = wide(what, path);
        Handle held(openShared(name, GENERIC_READ, OPEN_EXISTING));
        if (!held.valid()) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
                return nullptr;
            }
            fail(what, path, code);
        }
        // The lock first: of two processes taking the file over, the second finds it held.
        switch (tryLock(held.get())) {
            case Lock::Taken:
                break;
            case Lock::Busy:
                return nullptr;
            case Lock::Failed:
                failLast(what, path);
        }
        std::vector<std::uint8_t> found;
        if (!readStart(held.get(), expected.size() + 1, found)) {
            failLast("Cannot read file", path);
        }
        if (!std::equal(found.begin(), found.end(), expected.begin(), expected.end()) ||
            !sameFile(held.get(), name)) {
            return nullptr;
        }
        if (!writeClaim(name, content)) {
            failLast("Cannot write file", path);
        }
        return std::make_unique<WindowsHeldFile>(path, name, held.release());
    }

    bool ignoresCase(const std::string&) const override { return true; }

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

    void writeFileReporting(const std::string& path,
                            std::span<const std::span<const std::uint8_t>> parts, bool durable,
                            const FileProgress& progress) override {
        writePartsInBlocks(path, parts, durable, progress);
    }

public:
    void writeFileInBlocks(const std::string& path, std::uint64_t size, const FileProducer& produce,
                           bool durable, const FileProgress& progress) override {
        const char* const what = "Cannot create file";
        // No sharing: nobody reads a file while it is written.
        Handle file(CreateFileW(wide(what, path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            failLast(what, path);
        }
        // Each block goes out in writes of at most kBlockSize, with a report after each.
        class Sink final : public FileSink {
        public:
            Sink(HANDLE file, const std::string& path, std::uint64_t size,
                 const FileProgress& progress)
                : m_file(file), m_path(path), m_size(size), m_progress(progress) {}
            void write(std::span<const std::uint8_t> bytes) override {
                std::size_t done = 0;
                while (done < bytes.size()) {
                    DWORD put = 0;
                    if (!WriteFile(m_file, bytes.data() + done,
                                   static_cast<DWORD>(std::min(kBlockSize, bytes.size() - done)),
                                   &put, nullptr)) {
                        failLast("Cannot write file", m_path);
                    }
                    done += put;
                    written += put;
                    if (m_progress && written < m_size) {
                        m_progress(written, m_size);
                    }
                }
            }
            std::uint64_t written = 0;

        private:
            HANDLE m_file;
            const std::string& m_path;
            std::uint64_t m_size;
            const FileProgress& m_progress;
        };
        Sink sink(file.get(), path, size, progress);
        produce(sink);
        if (durable && !FlushFileBuffers(file.get())) {
            failLast("Cannot flush file", path);
        }
        if (!file.close()) {
            failLast("Cannot write file", path);
        }
        if (sink.written != size) {
            throwWrongFileSize(path, sink.written, size);
        }
        if (progress) {
            progress(size, size);
        }
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
