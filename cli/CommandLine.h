#pragma once

#include <charconv>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "generator/Generator.h"
#include "support/smb/ShareAccess.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace kavrin {
class Clock;
class FileSystem;
}  // namespace kavrin

namespace kavrin::cli {

class Terminal;

// A wrong command line. The message names the option or argument at fault and never repeats a
// value given on the command line: a value may be a password.
struct UsageError {
    std::string message;
};

// A database named on the command line: a folder, or the Kavrin$ share of a server.
struct Location {
    bool server = false;
    std::string text;
};

// One marking step, applied after the open in the order given.
struct MarkStep {
    enum Kind { OlderThan, Delete, Undelete, NotOnlineFor } kind;
    std::string node;  // Delete, Undelete
    double date = 0;   // OlderThan
    int days = 0;      // NotOnlineFor: the date is taken from the clock when the step runs
};

// The most nodes a commit may remove: a number, or a share of the named nodes (the list's rows).
struct RemovalLimit {
    std::uint64_t count = 0;
    std::optional<double> percent;  // given as "P%"; then `count` is unused

    // The number of nodes allowed out of `named`.
    std::uint64_t allowed(std::uint64_t named) const;
};

struct CommandSpec;

// Everything a command line asks for. The option groups fill it as they read the options, in
// the order given; each command reads the parts that concern it.
struct Invocation {
    const CommandSpec* command = nullptr;  // null only when just the version was asked for
    bool showVersion = false;
    Location location;
    std::vector<std::string> operands;  // the positional arguments after LOCATION, as named
    bool fixDuplicates = false;
    std::vector<MarkStep> marking;
    // Name patterns no marking may mark, for this run, besides the database's own rules.
    std::vector<std::string> protectPatterns;
    // What the protect command does to the rules file.
    struct ProtectEdit {
        enum Kind { None, Add, Remove, List } kind = None;
        std::string pattern;
        std::optional<std::string> reason;
    } protectEdit;
    // The node list's order, set right after the open as column clicks would: the column (0 to
    // 3: node, index, active, unique; none keeps the open's) and the direction.
    std::optional<int> sortColumn;
    bool descending = false;
    bool dryRun = false;
    std::optional<RemovalLimit> maxRemove;
    bool json = false;       // one JSON document on standard output instead of the text
    std::string reportPath;  // maintain: where the JSON report goes; empty: nowhere
    GeneratorOptions generator;
    // Who the program is on a server share (-U, -W, -A, -k) and the share library's diagnostics
    // (-d).
    ShareCredentials credentials;
    bool passwordGiven = false;
    int debugLevel = 0;
};

// What a command works with besides its command line.
struct Console {
    std::ostream& out;
    std::ostream& err;
    FileSystem& fs;
    Clock& clock;
    Terminal& terminal;         // where a missing password is asked for
    bool progressLine = false;  // `err` is a terminal: long operations show their progress there
};

// One command of the command line: how --help shows it, what it reads and what it does.
struct CommandSpec {
    const char* name = "";
    const char* synopsis = "";               // "details LOCATION NODE"
    const char* summary = "";                // what it does; '\n' starts a line of its own
    bool takesLocation = false;              // LOCATION and the options of addLocationOptions
    std::vector<const char*> operands = {};  // positional arguments after LOCATION, e.g. "NODE"
    // Adds the command's own options and option groups; may be empty.
    std::function<void(CLI::App& command, Invocation& invocation)> addOptions = {};
    // Does the work: 0 done, 1 failed (the message is on console.err). May throw UsageError.
    std::function<int(const Invocation& invocation, const Console& console)> run;
};

// Adds option `names` ("--nodes", or "-U,--user") taking one value, called `valueName` in
// --help and listed there under `group` (an empty group hides the option). `apply` gets each
// value as it is read, so options take effect in the order given; it throws UsageError when the
// value is wrong. Returns the option for further setup.
CLI::Option* addValueOption(CLI::App& command, const std::string& group, const std::string& names,
                            const std::string& valueName, const std::string& help,
                            std::function<void(const std::string& value)> apply);

// Adds flag `names`, which takes no value (a value given with '=' is a UsageError); `apply` runs
// where it is given.
CLI::Option* addFlagOption(CLI::App& command, const std::string& group, const std::string& names,
                           const std::string& help, std::function<void()> apply);

// Parses the whole of `text` as a number of type T; false when it is not one or out of range.
template <typename T>
bool parseNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

// Adds option `names` taking a number of type T into `target`.
template <typename T>
CLI::Option* addNumberOption(CLI::App& command, const std::string& group, const std::string& names,
                             const std::string& valueName, const std::string& help, T& target) {
    return addValueOption(command, group, names, valueName, help,
                          [&target, names](const std::string& text) {
                              if (!parseNumber(text, target)) {
                                  throw UsageError{"bad value for " + names};
                              }
                          });
}

// The options of the program itself, given before the command: -h, --help, which every command
// takes as well and which lists everything; --version.
void addProgramOptions(CLI::App& program, Invocation& invocation);

// The option groups commands share. Each adds its options to `command`.
// Where the database is and how to reach it: --server NAME, and the credentials and diagnostics
// of a share: -U, -W, -A, -k, -d (every command with LOCATION).
void addLocationOptions(CLI::App& command, Invocation& invocation);
// --fix-duplicates, --older-than, --delete, --undelete, --protect (mark, commit).
void addMarkingOptions(CLI::App& command, Invocation& invocation);
// --max-remove N|P% (mark, commit).
void addLimitOptions(CLI::App& command, Invocation& invocation);
// --json (the commands that print what they found).
void addJsonOption(CLI::App& command, Invocation& invocation);
// --sort COLUMN, --descending (mark, commit).
void addOrderOptions(CLI::App& command, Invocation& invocation);
// --nodes, --installs-per-node, ... (generate).
void addGeneratorOptions(CLI::App& command, Invocation& invocation);

// Reads a command line (the arguments after the program name) against `commands`. Returns
// nothing when it asks for help. Throws UsageError.
std::optional<Invocation> parseCommandLine(const std::vector<std::string>& args,
                                           std::span<const CommandSpec> commands);

// The text of --help: every command and every option that --help shows.
std::string usageText(std::span<const CommandSpec> commands);

// What a wrong command line prints: the program's name and the message, then one line pointing
// to --help.
std::string usageErrorText(const UsageError& error);

// Every name of every option the parser accepts, hidden ones included: the program's own (under
// the name "") and then each command's, as "-h", "--help", "--server"... The manual page and the
// shell completion are checked against it.
std::vector<std::pair<std::string, std::vector<std::string>>> acceptedOptions(
    std::span<const CommandSpec> commands);

// An age in days: "N", "Nd" (days) or "Nw" (weeks), at most 100 years; nothing when malformed.
std::optional<int> parseAgeArgument(const std::string& text);
// "N" (nodes) or "P%" (P from 0 to 100, decimals allowed); nothing when malformed.
std::optional<RemovalLimit> parseRemovalLimit(const std::string& text);
// The column --sort names (0 to 3 for node, index, active, unique); nothing for another word.
std::optional<int> parseSortColumn(const std::string& text);

// "YYYY-MM-DD" (midnight) or "YYYY-MM-DDTHH:MM:SS" as a DateTimeValue; nothing when malformed.
std::optional<double> parseDateArgument(const std::string& text);

}  // namespace kavrin::cli
