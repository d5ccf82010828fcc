#include <iostream>
#include <locale>
#include <string>
#include <vector>

#include "cli/Commands.h"

int main(int argc, char** argv) {
    // Dates are shown in the user's locale, as the window shows them.
    try {
        std::locale::global(std::locale(""));
    } catch (const std::exception&) {
        std::locale::global(std::locale::classic());
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    return kavrin::cli::runCommandLine(args, std::cout, std::cerr);
}
