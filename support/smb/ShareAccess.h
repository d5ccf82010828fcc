#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kavrin {

// Who the program is on a server share.
struct ShareCredentials {
    std::string user;      // empty: anonymous (the server's guest, where it allows one)
    std::string password;  // never logged, shown or put into an error text
    std::string domain;    // empty: the workgroup of the client configuration
    // A Kerberos ticket from the default credential cache first, the user and password after.
    bool kerberos = false;

    bool operator==(const ShareCredentials&) const = default;
};

// Asked on the program's thread when a server refuses the credentials tried on `share`
// ("\\server\share", as the path names it), never inside the library's own callbacks. `refused`
// is what was tried (its password included, for the asker to drop), `reason` the system's text
// for the refusal. Returns the credentials to try next, or nothing to stop asking: the operation
// then fails as on a share that refuses access (status() finds nothing there). It may throw to end
// the work with a message of its own; that exception reaches the caller of the file operation,
// status() included.
using ShareCredentialsPrompt = std::function<std::optional<ShareCredentials>(
    const std::string& share, const ShareCredentials& refused, const std::string& reason)>;

// Told on the program's thread while a share operation waits for a server's answer, so that the
// program handles its events meanwhile (the library's call runs on a thread of its own): every
// ~100 ms of a wait, with `waiting` true and `text` "" during the wait's first second, then
// "Waiting for the server SRV to answer" (SRV as the path names it); and once with `waiting`
// false when a wait it was told of is over. A server that took the connection is waited for up
// to a minute; one that refuses it, or does not answer the request to connect within the
// library's own few seconds, fails without being waited for.
// While `waiting` is true it may throw to stop waiting: the connection to that server is cut, the
// operation ends at once and the exception reaches the caller of the file operation, status()
// included, as from the credentials prompt; what the operation did on the server by then is
// unknown. The call that ends a wait must not throw (what it throws is dropped). While it runs,
// a share operation it starts fails at once ("Operation already in progress"): the library takes
// one call at a time.
using ShareWaiting = std::function<void(bool waiting, const std::string& text)>;

// How the program reaches server shares. A back end that reaches shares through the system's
// own calls (Windows) has the system's credentials and ignores these.
struct ShareSettings {
    ShareCredentials credentials;   // tried first on every server
    ShareCredentialsPrompt prompt;  // none: a refusal is final
    // 0: the share library's own diagnostics are dropped; 1 to 10: they go to standard error at
    // that level of detail, never to standard output (a command's data) or the window's log.
    int debugLevel = 0;
    ShareWaiting waiting;  // none: the program's thread waits for the server without a word
};

// The settings every share operation from now on uses. Credentials that a prompt supplied and a
// server accepted are kept per server while the program runs; new settings forget them and close
// the connections made with them.
void setShareSettings(ShareSettings settings);
const ShareSettings& shareSettings();
// Counts the calls of setShareSettings, so that a back end notices new settings.
unsigned shareSettingsGeneration();
// Replaces the waiting callback alone, for a view that comes and goes while the settings stay:
// the credentials kept and the connections made stay too.
void setShareWaiting(ShareWaiting waiting);

// "\\server\share" of a share path "\\server\share\...": the text up to the separator after the
// share's name; the whole path when it has none.
std::string shareOf(const std::string& path);

}  // namespace kavrin
