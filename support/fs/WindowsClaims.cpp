#include <windows.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "support/fs/WindowsFiles.h"
#include "support/text/WideText.h"

namespace kavrin::windows {

namespace {

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

// Claims held with a byte-range lock beyond the content, which a server's share keeps for every
// computer.
class WindowsClaims final : public FileClaims {
public:
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
};

}  // namespace

FileClaims& windowsClaims() {
    static WindowsClaims claims;
    return claims;
}

}  // namespace kavrin::windows
