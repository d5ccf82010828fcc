#include "support/fs/WindowsFiles.h"

#include <algorithm>
#include <atomic>

#include "support/platform/Errors.h"
#include "support/text/WideText.h"

namespace kavrin::windows {

namespace {

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

}  // namespace

void fail(const char* what, const std::string& path, DWORD code) {
    throw KavrinError(formatText("%s \"%s\". %s", what, path.c_str(),
                                 systemErrorText(static_cast<int>(code)).c_str()));
}

void failLast(const char* what, const std::string& path) {
    fail(what, path, GetLastError());
}

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

bool sameFile(HANDLE file, const std::wstring& path) {
    // No access asked: this open conflicts with no other, whatever it shares.
    Handle named(CreateFileW(path.c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    std::pair<DWORD, std::uint64_t> held;
    std::pair<DWORD, std::uint64_t> found;
    return named.valid() && fileIdOf(file, held) && fileIdOf(named.get(), found) && held == found;
}

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

}  // namespace kavrin::windows
