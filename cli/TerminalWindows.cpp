#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli/Credentials.h"

namespace kavrin::cli {

namespace {

// Standard input and standard error of the process; a secret is typed with the console's echo
// turned off.
class ProcessTerminal final : public Terminal {
public:
    bool interactive() override { return _isatty(_fileno(stdin)) != 0; }

    void tell(const std::string& line) override {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }

    std::optional<std::string> ask(const std::string& prompt, bool secret) override {
        std::fputs(prompt.c_str(), stderr);
        std::fflush(stderr);
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        DWORD saved = 0;
        const bool quiet = secret && GetConsoleMode(input, &saved) != 0;
        if (quiet) {
            SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        }
        std::optional<std::string> line = readLine();
        if (quiet) {
            SetConsoleMode(input, saved);
            std::fputs("\n", stderr);  // the Enter that was not echoed
        }
        return line;
    }
};

}  // namespace

Terminal& processTerminal() {
    static ProcessTerminal terminal;
    return terminal;
}

}  // namespace kavrin::cli
