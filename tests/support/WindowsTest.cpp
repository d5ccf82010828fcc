// What only Windows has: sharing modes, wide names, FILETIME, version resources, the registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/FileSystemTestKit.h"
#include "common/TempFolder.h"
#include "support/fs/FileSystem.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/WideText.h"

namespace kavrin {
namespace {

using test::TempFolder;

std::wstring wide(const std::string& text) {
    std::wstring result;
    EXPECT_TRUE(toWide(text, result)) << text;
    return result;
}

// A handle another program holds on `path`, with the access and sharing it chose.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD access, DWORD sharing)
        : m_handle(CreateFileW(wide(path).c_str(), access, sharing, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(m_handle, INVALID_HANDLE_VALUE) << path;
    }
    ~HeldFile() { CloseHandle(m_handle); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

TEST(WindowsTest, AFileIsReadWhileOthersOnlyReadAndWrittenWhileNobodyHasItOpen) {
    TempFolder folder;
    const std::string path = folder.file("Kavrin.ist");
    FileSystem& fs = nativeFileSystem();
    writeText(fs, path, "installs");
    const std::string busy = systemErrorText(ERROR_SHARING_VIOLATION);
    const struct {
        const char* holder;
        DWORD access;
        DWORD sharing;
        bool readable;
    } cases[] = {
        // The server writing the file, letting anyone read and write beside it: still refused.
        {"writer", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        {"reader that lets others read", GENERIC_READ, FILE_SHARE_READ, true},
        {"reader that lets others write", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    };
    for (const auto& c : cases) {
        const HeldFile held(path, c.access, c.sharing);
        if (c.readable) {
            EXPECT_EQ(readText(fs, path), "installs") << c.holder;
        } else {
            EXPECT_EQ(errorOf([&] { fs.readFile(path); }),
                      "Cannot open file \"" + path + "\". " + busy)
                << c.holder;
        }
        // A file is written only while nobody else has it open at all.
        EXPECT_EQ(errorOf([&] { writeText(fs, path, "x"); }),
                  "Cannot create file \"" + path + "\". " + busy)
            << c.holder;
    }
    EXPECT_EQ(readText(fs, path), "installs");

    // While the tool writes a file, nobody else can open it, not even to read.
    const HeldFile writing(path, GENERIC_WRITE, 0);
    EXPECT_EQ(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(WindowsTest, NamesOutsideTheCodePageAndTimesToTheTick) {
    TempFolder folder;
    FileSystem& fs = nativeFileSystem();
    EXPECT_EQ(nativeSeparator(), '\\');
    EXPECT_EQ(folder.file("x"), folder.path() + "\\x");

    // Greek, Cyrillic and a character beyond the first 65536, which UTF-16 writes as two units.
    const std::string name = "\xCE\xA9-\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-\xF0\x9F\x92\xBE.cmp";
    writeText(fs, folder.file(name), "nodes");
    EXPECT_EQ(fs.listDirectory(folder.path()), std::vector<std::string>{name});
    EXPECT_EQ(readText(fs, folder.file(name)), "nodes");
    // A text that is not UTF-8 names no file.
    const std::string broken = folder.file("\xC3(.cmp");
    EXPECT_EQ(fs.status(broken), FileStatus{});
    EXPECT_EQ(
        errorOf([&] { fs.readFile(broken); }),
        "Cannot open file \"" + broken + "\". " + systemErrorText(ERROR_NO_UNICODE_TRANSLATION));

    // FILETIME counts 100 ns from 1601; the status counts nanoseconds from 1970.
    {
        const HeldFile held(folder.file(name), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ);
        const ULONGLONG ticks = 116444736000000000ULL + 17243406071234567ULL;
        FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        ASSERT_TRUE(SetFileTime(held.get(), nullptr, nullptr, &time));
    }
    EXPECT_EQ(fs.status(folder.file(name)).modifiedNs, 1724340607123456700LL);
}

TEST(WindowsTest, AFileLargerThanMemoryIsRefusedBeforeReading) {
    TempFolder folder;
    const std::string path = folder.file("huge");
    writeText(nativeFileSystem(), path, "");
    {
        const HeldFile held(path, GENERIC_WRITE, 0);
        DWORD ignored = 0;
        DeviceIoControl(held.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER size{};
        size.QuadPart = LONGLONG{1} << 40;
        if (!SetFilePointerEx(held.get(), size, nullptr, FILE_BEGIN) || !SetEndOfFile(held.get())) {
            GTEST_SKIP() << "no sparse files here";
        }
    }
    EXPECT_EQ(errorOf([&] { nativeFileSystem().readFile(path); }),
              "Cannot read file \"" + path + "\". Not enough memory");
}

TEST(WindowsTest, AFileWithoutAVersionResourceFailsWithTheSystemsCode) {
    TempFolder folder;
    writeText(nativeFileSystem(), folder.file("plain.exe"), "not a program");
    for (const std::string& path : {folder.file("plain.exe"), folder.file("missing.exe")}) {
        try {
            (void)FileVersionText(path);
            ADD_FAILURE() << path;
        } catch (const EOSError& error) {
            EXPECT_NE(error.code(), 0) << path;
            EXPECT_EQ(std::string(error.what()),
                      formatText("System Error.  Code: %d.\r\n", error.code()) +
                          systemErrorText(error.code()));
        }
    }
}

// Values of the registry key the computer name falls back to, made under a key of the test's own.
TEST(WindowsTest, TheComputerNameFallsBackToTheRegistry) {
    std::string name;
    ASSERT_NO_THROW(name = LocalComputerName());
    EXPECT_FALSE(name.empty());

    const char* const kKey = "SOFTWARE\\KavrinDbToolTest";
    const std::string text = "K\xC4NIG";  // Windows-1252, the code page of the tests
    const DWORD number = 7;
    const struct {
        const char* what;
        DWORD type;  // REG_NONE: no value at all
        std::string bytes;
        const char* name;  // nullptr: the fallback fails
    } cases[] = {
        {"text", REG_SZ, std::string("SRV1", 5), "SRV1"},
        {"expandable text", REG_EXPAND_SZ, std::string("SRV2", 5), "SRV2"},
        {"text without its zero", REG_SZ, "SRV3", "SRV3"},
        {"text with a zero inside", REG_SZ, std::string("AB\0CD", 6), "AB"},
        {"code page text", REG_SZ, text, "K\xC3\x84NIG"},
        {"empty text", REG_SZ, "", ""},
        {"no value", REG_NONE, "", ""},
        {"a number", REG_DWORD, std::string(reinterpret_cast<const char*>(&number), 4), nullptr},
        {"bytes", REG_BINARY, "\x01\x02", nullptr},
    };
    for (const auto& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        if (c.type != REG_NONE) {
            ASSERT_EQ(RegSetValueExA(key, "ComputerName", 0, c.type,
                                     reinterpret_cast<const BYTE*>(c.bytes.data()),
                                     static_cast<DWORD>(c.bytes.size())),
                      ERROR_SUCCESS);
        }
        RegCloseKey(key);
        setComputerNameSeam({true, kKey});
        if (c.name != nullptr) {
            EXPECT_EQ(LocalComputerName(), c.name) << c.what;
        } else {
            EXPECT_EQ(errorOf([] { (void)LocalComputerName(); }), "GetComputerName failed.")
                << c.what;
        }
        setComputerNameSeam({});
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
    }
    // A key that is not there gives the empty name, no error.
    setComputerNameSeam({true, kKey});
    EXPECT_EQ(LocalComputerName(), "");
    setComputerNameSeam({});
    EXPECT_EQ(LocalComputerName(), name);
}

}  // namespace
}  // namespace kavrin
