// Another program holding a file open, as the server holds its database files:
// hold_file PATH write|read. It opens PATH (for writing while letting others read and write, or
// for reading while letting others read), prints "held" and keeps it open until its standard input
// ends.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "support/platform/SystemHelpers.h"
#include "support/text/WideText.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = kavrin::consoleProgramArguments(argc, argv);
    std::wstring path;
    if (args.size() != 2 || (args[1] != "write" && args[1] != "read") ||
        !kavrin::toWide(args[0], path)) {
        std::cerr << "usage: hold_file PATH write|read\n";
        return 2;
    }
    const bool writing = args[1] == "write";
    const HANDLE file = CreateFileW(path.c_str(), writing ? GENERIC_WRITE : GENERIC_READ,
                                    writing ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::cerr << "hold_file: cannot open " << args[0] << ": " << GetLastError() << '\n';
        return 1;
    }
    std::cout << "held" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    CloseHandle(file);
    return 0;
}
