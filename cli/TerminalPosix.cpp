#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "cli/Credentials.h"

namespace kavrin::cli {

namespace {

// Standard input and standard error of the process; a secret is typed with the terminal's echo
// turned off.
class ProcessTerminal final : public Terminal {
public:
    bool interactive() override { return ::isatty(STDIN_FILENO) == 1; }

    void tell(const std::string& line) override {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }

    std::optional<std::string> ask(const std::string& prompt, bool secret) override {
        std::fputs(prompt.c_str(), stderr);
        std::fflush(stderr);
        termios saved{};
        const bool quiet = secret && ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios silent = saved;
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        std::optional<std::string> line = readLine();
        if (quiet) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
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
