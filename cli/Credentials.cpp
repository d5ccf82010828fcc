#include "cli/Credentials.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin::cli {

namespace {

// How often a person may try again after the server refused what was typed.
constexpr int kPromptAttempts = 3;

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string refusalMessage(const std::string& share, const ShareCredentials& refused,
                           const std::string& reason) {
    const std::string who =
        refused.user.empty() ? "without a user name" : "for the user \"" + refused.user + "\"";
    return "Access to \"" + share + "\" was refused " + who + ": " + reason +
           ". Give a user name and password the server accepts with -U USER%PASSWORD or -A FILE.";
}

}  // namespace

std::optional<std::string> readLine() {
    std::string line;
    bool ended = true;
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
        ended = false;
        if (c == '\n') {
            break;
        }
        line += static_cast<char>(c);
    }
    if (ended) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

bool parseUserArgument(const std::string& text, ShareCredentials& credentials) {
    const std::size_t percent = text.find('%');
    std::string user = text.substr(0, percent);
    if (const std::size_t separator = user.find_first_of("\\/"); separator != std::string::npos) {
        credentials.domain = user.substr(0, separator);
        user.erase(0, separator + 1);
    }
    credentials.user = user;
    if (percent == std::string::npos) {
        return false;
    }
    credentials.password = text.substr(percent + 1);
    return true;
}

bool parseAuthenticationFile(const std::string& text, ShareCredentials& credentials) {
    bool password = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (asciiCompareText(key, "username") == 0) {
            password = parseUserArgument(value, credentials) || password;
        } else if (asciiCompareText(key, "password") == 0) {
            credentials.password = value;
            password = true;
        } else if (asciiCompareText(key, "domain") == 0) {
            credentials.domain = value;
        }
    }
    return password;
}

void hidePasswordArguments(std::span<char*> args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        char* arg = args[i];
        if (arg == nullptr || std::strcmp(arg, "--") == 0) {
            return;
        }
        char* value = nullptr;
        if ((std::strcmp(arg, "-U") == 0 || std::strcmp(arg, "--user") == 0) &&
            i + 1 < args.size()) {
            value = args[++i];
        } else if (std::strncmp(arg, "--user=", 7) == 0) {
            value = arg + 7;
        } else if (std::strncmp(arg, "-U", 2) == 0) {
            value = arg + 2;
        }
        if (value == nullptr) {
            continue;
        }
        if (char* password = std::strchr(value, '%'); password != nullptr) {
            for (++password; *password != '\0'; ++password) {
                *password = 'X';
            }
        }
    }
}

bool askCredentials(Terminal& terminal, const std::string& share, ShareCredentials& credentials) {
    if (!terminal.interactive()) {
        return false;
    }
    if (credentials.user.empty()) {
        const std::optional<std::string> user =
            terminal.ask("User name for " + share + ": ", false);
        if (!user) {
            return false;
        }
        parseUserArgument(*user, credentials);
    }
    const std::optional<std::string> password =
        terminal.ask("Password for " + credentials.user + " on " + share + ": ", true);
    if (!password) {
        return false;
    }
    credentials.password = *password;
    return true;
}

ShareCredentialsPrompt terminalCredentialsPrompt(Terminal& terminal) {
    auto attempts = std::make_shared<int>(0);
    return [&terminal, attempts](const std::string& share, const ShareCredentials& refused,
                                 const std::string& reason) -> std::optional<ShareCredentials> {
        if (*attempts < kPromptAttempts && terminal.interactive()) {
            ++*attempts;
            ShareCredentials next = refused;
            next.password.clear();
            terminal.tell("Access to \"" + share + "\" was refused: " + reason);
            if (askCredentials(terminal, share, next)) {
                return next;
            }
        }
        throw KavrinError(refusalMessage(share, refused, reason));
    };
}

}  // namespace kavrin::cli
