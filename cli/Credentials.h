#pragma once

#include <optional>
#include <span>
#include <string>

#include "support/smb/ShareAccess.h"

namespace kavrin::cli {

// Where the command line asks a person for what the command line did not give.
class Terminal {
public:
    virtual ~Terminal() = default;
    // Whether a person can answer (standard input is a terminal).
    virtual bool interactive() = 0;
    // Shows one line on standard error.
    virtual void tell(const std::string& line) = 0;
    // Shows `prompt` on standard error and reads one line, without echo when `secret`; nothing
    // when the input ended.
    virtual std::optional<std::string> ask(const std::string& prompt, bool secret) = 0;
};

// Standard input and standard error of the process (TerminalPosix.cpp, TerminalWindows.cpp).
Terminal& processTerminal();

// One line of standard input without its line end (CR LF or LF); nothing when the input ended.
std::optional<std::string> readLine();

// "[DOMAIN\]USER[%PASSWORD]" (also "DOMAIN/USER") into `credentials`; a domain or a password it
// does not hold leaves the one there. Returns whether it held a password.
bool parseUserArgument(const std::string& text, ShareCredentials& credentials);

// The text of an authentication file in the format of Samba's smbclient: lines
// "username = [DOMAIN\]USER[%PASSWORD]", "password = PASSWORD", "domain = DOMAIN" (blanks around
// '=' and the value optional, keys without regard to case); other lines are ignored. Returns
// whether it held a password.
bool parseAuthenticationFile(const std::string& text, ShareCredentials& credentials);

// Overwrites the password of every -U/--user argument with 'X', so that other users of the
// machine do not read it in the process list.
void hidePasswordArguments(std::span<char*> args);

// Asks on `terminal` for the password of `credentials.user` on `share` (and for the user name too
// when there is none) and puts the answers into `credentials`; false when nobody can answer.
bool askCredentials(Terminal& terminal, const std::string& share, ShareCredentials& credentials);

// The prompt the command line answers a refusing server with: up to three times the user name
// and password asked on `terminal`, when a person is there; then, or without one, the error
// "Access to \"<share>\" was refused ...", which ends the command.
ShareCredentialsPrompt terminalCredentialsPrompt(Terminal& terminal);

}  // namespace kavrin::cli
