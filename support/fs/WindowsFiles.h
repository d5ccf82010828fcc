#pragma once

// What the Windows back end's files and claims share. Internal to support/fs.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "support/fs/FileClaims.h"

namespace kavrin::windows {

// Whole files move in blocks of this size, so that a progress report comes every few
// milliseconds and an abort is not kept waiting for the rest of a large file.
inline constexpr std::size_t kBlockSize = 4 * 1024 * 1024;

[[noreturn]] void fail(const char* what, const std::string& path, DWORD code);
[[noreturn]] void failLast(const char* what, const std::string& path);

// The wide form of `path` for the system; a text that is not UTF-8 names no file and fails as the
// system fails such a name.
std::wstring wide(const char* what, const std::string& path);

bool isSeparator(wchar_t c);

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

// Whether `path` names the file open as `file`: a name removed and made anew leads elsewhere.
bool sameFile(HANDLE file, const std::wstring& path);

// Removes the file `path` at once; 0, or the system's code for why not. A file another program
// holds open (sharing its deletion) would keep its name until that program closes it, and nothing
// could be created under that name meanwhile, as POSIX and newer Windows allow: where the system
// cannot drop the name at once, the file first moves aside to a name of its own.
DWORD removeFile(const std::wstring& path);

bool writeAll(HANDLE file, std::span<const std::uint8_t> bytes);

// The claims of the machine's files and the servers' shares.
FileClaims& windowsClaims();

}  // namespace kavrin::windows
