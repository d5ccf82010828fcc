#include <iostream>
#include <locale>
#include <span>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "support/platform/SystemHelpers.h"

int main(int argc, char** argv) {
    // Dates are shown in the user's locale, as the window shows them.
    try {
        std::locale::global(std::locale(""));
    } catch (const std::exception&) {
        std::locale::global(std::locale::classic());
    }
    const std::vector<std::string> args = kavrin::consoleProgramArguments(argc, argv);
    kavrin::cli::hidePasswordArguments(
        std::span<char*>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)));
    // The progress line is for a person watching; scripts and logs get the log lines alone.
    const bool progressLine = kavrin::standardErrorIsConsole();
    return kavrin::cli::runCommandLine(args, std::cout, std::cerr, kavrin::localFileSystem(),
                                       kavrin::systemClock(), progressLine);
}
