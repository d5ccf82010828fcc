#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <sstream>
#include <string_view>
#include <utility>

#include "cli/Credentials.h"
#include "engine/marking/Protection.h"
#include "support/platform/Errors.h"
#include "support/text/DateTimeText.h"

namespace kavrin::cli {

namespace {

constexpr const char* kProgram = "kavrin-dbtool-cli";

// The headings --help lists the shared options under.
constexpr const char* kLocationGroup = "LOCATION options, accepted anywhere after the command";
constexpr const char* kMarkingGroup =
    "MARKING options, applied in the order given (the duplicates fix first)";
constexpr const char* kOrderGroup =
    "ORDER options, applied right after the open and before the marking";
constexpr const char* kOutputGroup = "OUTPUT options";
constexpr const char* kGeneratorGroup =
    "GENERATOR options (the same options always give the same bytes)";

// The words of --help that CLI11 would not choose itself; it lays out the rest.
constexpr const char* kUsage =
    "Usage: kavrin-dbtool-cli COMMAND LOCATION [OPTIONS]\n"
    "       kavrin-dbtool-cli --version\n"
    "\n"
    "LOCATION is a database folder, or --server NAME for the Kavrin$ share of a server.\n";
constexpr const char* kNodeNotes =
    "NODE is a node name (the first entry of that name, without regard to case) or a body\n"
    "offset written 0x followed by hexadecimal digits.\n"
    "\n"
    "In the output of nodes, mark and duplicates a TAB, CR, LF or backslash in a node name\n"
    "is written \\t, \\r, \\n or \\\\, so that each node keeps one line; name such a node by\n"
    "its offset.\n";
constexpr const char* kExitCodes =
    "\n"
    "Log lines go to standard error. Exit code 0 on success, 1 when the work failed, 2 on a\n"
    "wrong command line or configuration, 3 when --max-remove stopped a commit, 4 when a\n"
    "commit or restore could neither finish nor undo its replacement of the files.";

// CLI11's formatter with this program's usage lines (COMMAND LOCATION, not its [SUBCOMMAND])
// and each command shown by its synopsis rather than its bare name.
class HelpFormatter : public CLI::Formatter {
public:
    explicit HelpFormatter(std::span<const CommandSpec> commands) : m_commands(commands) {}

    std::string make_usage(const CLI::App* /*program*/, std::string /*name*/) const override {
        return kUsage;
    }

    std::string make_subcommand(const CLI::App* command) const override {
        const auto entry = std::find_if(m_commands.begin(), m_commands.end(), [&](const auto& c) {
            return c.name == command->get_name();
        });
        std::ostringstream out;
        CLI::detail::format_help(out, entry->synopsis, command->get_description(), column_width_);
        return out.str();
    }

private:
    std::span<const CommandSpec> m_commands;
};

// An argument the parser did not take, as an error names it: an option by its name alone (never
// what follows '=' or the letter of a short option), anything else not at all.
bool looksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && arg != "--" &&
           (arg[1] == '-' || std::isalpha(static_cast<unsigned char>(arg[1])));
}
std::string optionName(const std::string& arg) {
    if (arg[1] != '-') {
        return arg.substr(0, 2);
    }
    return arg.substr(0, arg.find('='));
}

// The letters to insert, delete or replace to turn `a` into `b`, letter case aside.
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = std::exchange(row[0], i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            diagonal = std::exchange(
                row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)}));
        }
    }
    return row[b.size()];
}

// The first word, which names no command, named back with the command it most likely meant:
// one at most two letters away. Only this word is repeated; it stands where a command does.
std::string unknownCommand(const std::string& word, std::span<const CommandSpec> commands) {
    std::string message = "unknown command \"" + word + '"';
    const CommandSpec* nearest = nullptr;
    std::size_t best = 3;
    for (const CommandSpec& entry : commands) {
        if (const std::size_t distance = editDistance(word, entry.name); distance < best) {
            best = distance;
            nearest = &entry;
        }
    }
    if (nearest != nullptr) {
        message += std::string("; did you mean \"") + nearest->name + "\"?";
    }
    return message;
}

// What CLI11 found wrong. Its messages about the number of values name the option and quote
// nothing given, and are used as they are; with this parser's settings no other is expected,
// and as another may quote a value, it is replaced by one that quotes nothing. Flags and values
// are checked by this program's own callbacks, whose messages quote nothing either.
std::string describe(const CLI::ParseError& error) {
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) == nullptr) {
        return "the command line cannot be read";
    }
    return error.what();
}

// The whole of file `path` into `text`; 0 or the errno of the failure.
int readWholeFile(const std::string& path, std::string& text) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
    if (!file) {
        return errno;
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
        text.append(buffer, got);
    }
    return std::ferror(file.get()) != 0 ? (errno != 0 ? errno : EIO) : 0;
}

// The parser of every command, filling one Invocation as it reads.
class Parser {
public:
    explicit Parser(std::span<const CommandSpec> commands)
        : m_commands(commands), m_root("", kProgram) {
        m_root.formatter(std::make_shared<HelpFormatter>(commands));
        m_root.require_subcommand(0, 1);
        m_root.allow_extras();                    // reported below, without quoting values
        addProgramOptions(m_root, m_invocation);  // before the commands, which inherit --help
        for (const CommandSpec& entry : commands) {
            CLI::App* command = m_root.add_subcommand(entry.name, entry.summary);
            command->group("Commands");
            if (entry.takesLocation) {
                addLocationOptions(*command, m_invocation);
            }
            if (entry.addOptions) {
                entry.addOptions(*command, m_invocation);
            }
            // One slot per positional argument: a slot takes its argument as given (a list
            // option would take "[a,b]" apart), and what finds no slot is reported as extra.
            const std::size_t slots = entry.operands.size() + (entry.takesLocation ? 1 : 0);
            for (std::size_t i = 0; i < slots; ++i) {
                command
                    ->add_option_function<std::string>(
                        "operand" + std::to_string(i + 1),
                        [this](const std::string& arg) { m_positionals.push_back(arg); })
                    ->group("");
            }
        }
    }

    std::optional<Invocation> parse(const std::vector<std::string>& args) {
        try {
            m_root.parse(std::vector<std::string>(args.rbegin(), args.rend()));
        } catch (const CLI::CallForHelp&) {
            return std::nullopt;
        } catch (const CLI::ParseError& error) {
            throw UsageError{describe(error)};
        }
        if (const std::vector<std::string> left = m_root.remaining(); !left.empty()) {
            throw UsageError{looksLikeOption(left.front())
                                 ? "unknown option " + optionName(left.front())
                                 : unknownCommand(left.front(), m_commands)};
        }
        const std::vector<CLI::App*> parsed = m_root.get_subcommands();
        if (m_invocation.showVersion) {
            return std::move(m_invocation);  // whatever else was asked
        }
        if (parsed.empty()) {
            throw UsageError{"missing COMMAND"};
        }
        const std::string name = parsed.front()->get_name();
        const CommandSpec& entry =
            *std::find_if(m_commands.begin(), m_commands.end(),
                          [&](const CommandSpec& c) { return c.name == name; });
        for (const std::string& arg : parsed.front()->remaining()) {
            if (looksLikeOption(arg)) {
                throw UsageError{"unknown option " + optionName(arg) + " for " + name};
            }
            if (arg != "--") {
                throw UsageError{"too many arguments for " + name};
            }
        }
        m_invocation.command = &entry;
        std::size_t next = 0;
        if (entry.takesLocation && !m_invocation.location.server) {
            if (m_positionals.empty()) {
                throw UsageError{"missing LOCATION"};
            }
            m_invocation.location.text = m_positionals[next++];
        }
        m_invocation.operands.assign(m_positionals.begin() + static_cast<std::ptrdiff_t>(next),
                                     m_positionals.end());
        if (m_invocation.operands.size() < entry.operands.size()) {
            throw UsageError{name + " needs a " + entry.operands[m_invocation.operands.size()]};
        }
        if (m_invocation.operands.size() > entry.operands.size()) {
            throw UsageError{"too many arguments for " + name};
        }
        return std::move(m_invocation);
    }

    // --help: the program's own options and the commands, then the options of the commands
    // by group, in the order the groups first appear, each option once.
    std::string help() {
        std::vector<std::pair<std::string, std::vector<const CLI::Option*>>> groups;
        for (const CLI::App* command : m_root.get_subcommands({})) {
            for (const CLI::Option* option : command->get_options()) {
                if (option->get_group().empty() || option == command->get_help_ptr()) {
                    continue;
                }
                auto group = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
                    return g.first == option->get_group();
                });
                if (group == groups.end()) {
                    group = groups.insert(groups.end(), {option->get_group(), {}});
                }
                const bool listed = std::any_of(
                    group->second.begin(), group->second.end(),
                    [&](const CLI::Option* o) { return o->get_name() == option->get_name(); });
                if (!listed) {
                    group->second.push_back(option);
                }
            }
        }
        const auto formatter = std::static_pointer_cast<HelpFormatter>(m_root.get_formatter());
        std::string footer = kNodeNotes;
        for (const auto& [group, options] : groups) {
            footer += formatter->make_group(group, false, options);
        }
        m_root.footer(footer + kExitCodes);
        return m_root.help();
    }

    std::vector<std::pair<std::string, std::vector<std::string>>> acceptedOptions() const {
        const auto names = [](const CLI::App& app) {
            std::vector<std::string> list;
            for (const CLI::Option* option : app.get_options()) {
                for (const std::string& name : option->get_snames()) {
                    list.push_back("-" + name);
                }
                for (const std::string& name : option->get_lnames()) {
                    list.push_back("--" + name);
                }
            }
            return list;
        };
        std::vector<std::pair<std::string, std::vector<std::string>>> result;
        result.emplace_back("", names(m_root));
        for (const CLI::App* command : m_root.get_subcommands({})) {
            result.emplace_back(command->get_name(), names(*command));
        }
        return result;
    }

private:
    std::span<const CommandSpec> m_commands;
    CLI::App m_root;
    Invocation m_invocation;
    std::vector<std::string> m_positionals;
};

}  // namespace

CLI::Option* addValueOption(CLI::App& command, const std::string& group, const std::string& names,
                            const std::string& valueName, const std::string& help,
                            std::function<void(const std::string& value)> apply) {
    return command.add_option_function<std::string>(names, std::move(apply), help)
        ->type_name(valueName)
        ->group(group)
        ->trigger_on_parse();
}

CLI::Option* addFlagOption(CLI::App& command, const std::string& group, const std::string& names,
                           const std::string& help, std::function<void()> apply) {
    // "--flag=value" reaches the flag as its value, where a flag given alone gets "true". Checked
    // here, as CLI11 would either quote the value or word the refusal in its own terms.
    const std::string longName = names.substr(names.rfind(',') + 1);
    return command.add_flag_callback(names, std::move(apply), help)
        ->group(group)
        ->check(CLI::Validator(
            [longName](const std::string& value) -> std::string {
                if (value != "true") {
                    throw UsageError{longName + " takes no value"};
                }
                return {};
            },
            ""))
        ->trigger_on_parse();
}

void addProgramOptions(CLI::App& program, Invocation& invocation) {
    program.set_help_flag("-h,--help", "list every command and option");
    addFlagOption(program, "Options", "--version", "print the program's version",
                  [&invocation] { invocation.showVersion = true; });
}

void addLocationOptions(CLI::App& command, Invocation& invocation) {
    addValueOption(command, kLocationGroup, "--server", "NAME",
                   "the database on the Kavrin$ share of server NAME\n"
                   "(NAME:PORT for a server on another port)",
                   [&invocation](const std::string& name) {
                       invocation.location = {true, name};
                   });
    ShareCredentials& credentials = invocation.credentials;
    addValueOption(command, kLocationGroup, "-U,--user", "[DOMAIN\\]USER[%PASSWORD]",
                   "the user (and password) on the server's share;\n"
                   "without a password it is asked for on a terminal",
                   [&invocation](const std::string& text) {
                       invocation.passwordGiven = parseUserArgument(text, invocation.credentials);
                   });
    addValueOption(command, kLocationGroup, "-W,--workgroup", "DOMAIN",
                   "the domain or workgroup of the user",
                   [&credentials](const std::string& domain) { credentials.domain = domain; });
    addValueOption(
        command, kLocationGroup, "-A,--authentication-file", "FILE",
        "read the credentials from FILE, in smbclient's\n"
        "lines: username = U, password = P, domain = D",
        [&invocation](const std::string& path) {
            std::string text;
            if (const int error = readWholeFile(path, text); error != 0) {
                throw UsageError{"the FILE of -A cannot be read: " + systemErrorText(error)};
            }
            if (parseAuthenticationFile(text, invocation.credentials)) {
                invocation.passwordGiven = true;
            }
        });
    addFlagOption(command, kLocationGroup, "-k,--use-kerberos",
                  "log on with the Kerberos ticket of the default cache,\n"
                  "the user and password when the server takes none",
                  [&credentials] { credentials.kerberos = true; });
    addValueOption(command, kLocationGroup, "-d,--debuglevel", "LEVEL",
                   "print the share library's diagnostics (1 to 10: more\n"
                   "and more detail) on standard error",
                   [&invocation](const std::string& text) {
                       int level = 0;
                       if (!parseNumber(text, level) || level < 0 || level > 10) {
                           throw UsageError{"LEVEL of -d must be a number from 0 to 10"};
                       }
                       invocation.debugLevel = level;
                   });
}

void addMarkingOptions(CLI::App& command, Invocation& invocation) {
    std::vector<MarkStep>& steps = invocation.marking;
    addFlagOption(command, kMarkingGroup, "--fix-duplicates",
                  "answer Yes when the open offers to fix duplicates",
                  [&invocation] { invocation.fixDuplicates = true; });
    addValueOption(
        command, kMarkingGroup, "--older-than", "DATE",
        "mark every node last online before DATE\n"
        "(YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, local time)",
        [&steps](const std::string& text) {
            const std::optional<double> date = parseDateArgument(text);
            if (!date) {
                throw UsageError{"DATE of --older-than must be YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS"};
            }
            steps.push_back({MarkStep::OlderThan, {}, *date});
        });
    addValueOption(command, kMarkingGroup, "--not-online-for", "N",
                   "mark every node last online before local midnight\n"
                   "N days ago (N, Nd: days; Nw: weeks)",
                   [&steps](const std::string& text) {
                       const std::optional<int> days = parseAgeArgument(text);
                       if (!days) {
                           throw UsageError{"N of --not-online-for must be N, Nd or Nw"};
                       }
                       steps.push_back({MarkStep::NotOnlineFor, {}, 0, *days});
                   });
    addValueOption(command, kMarkingGroup, "--delete", "NODE", "mark one node",
                   [&steps](const std::string& node) {
                       steps.push_back({MarkStep::Delete, node});
                   });
    addValueOption(command, kMarkingGroup, "--undelete", "NODE", "unmark one node",
                   [&steps](const std::string& node) {
                       steps.push_back({MarkStep::Undelete, node});
                   });
    addValueOption(command, kMarkingGroup, "--protect", "PATTERN",
                   "never mark a node whose name matches PATTERN (* and ?,\n"
                   "any case), besides the rules of the database's Kavrin.protect",
                   [&invocation](const std::string& pattern) {
                       const std::string problem = patternProblem(pattern);
                       if (!problem.empty()) {
                           throw UsageError{"bad value for --protect: " + problem};
                       }
                       invocation.protectPatterns.push_back(pattern);
                   });
}

void addLimitOptions(CLI::App& command, Invocation& invocation) {
    addValueOption(command, kMarkingGroup, "--max-remove", "N|P%",
                   "remove nothing and exit with code 3 when the marks would\n"
                   "remove more than N nodes, or P percent of the named nodes",
                   [&invocation](const std::string& text) {
                       invocation.maxRemove = parseRemovalLimit(text);
                       if (!invocation.maxRemove) {
                           throw UsageError{"--max-remove must be a number N or a percentage P%"};
                       }
                   });
}

void addJsonOption(CLI::App& command, Invocation& invocation) {
    addFlagOption(command, kOutputGroup, "--json",
                  "print one JSON document on standard output instead\nof the text",
                  [&invocation] { invocation.json = true; });
}

void addOrderOptions(CLI::App& command, Invocation& invocation) {
    addValueOption(
        command, kOrderGroup, "--sort", "COLUMN",
        "sort the node list by COLUMN (node, index, active or unique),\n"
        "which decides the order of the rewritten node file",
        [&invocation](const std::string& text) {
            invocation.sortColumn = parseSortColumn(text);
            if (!invocation.sortColumn) {
                throw UsageError{"COLUMN of --sort must be node, index, active or unique"};
            }
        });
    addFlagOption(command, kOrderGroup, "--descending",
                  "sort in descending order (the column --sort names, or the\n"
                  "one the open sorted by)",
                  [&invocation] { invocation.descending = true; });
}

void addGeneratorOptions(CLI::App& command, Invocation& invocation) {
    GeneratorOptions& o = invocation.generator;
    const std::string g = kGeneratorGroup;
    addNumberOption(command, g, "--nodes", "N", "node records, NullRecords included (default 1000)",
                    o.nodes);
    addNumberOption(command, g, "--installs-per-node", "K",
                    "installs per node record on average (default 20)", o.installsPerNode);
    addNumberOption(command, g, "--titles", "T", "title records (default 500)", o.titles);
    addNumberOption(command, g, "--seed", "S", "seed of the generator (default 1)", o.seed);
    addNumberOption(command, g, "--duplicate-rate", "R",
                    "share of named nodes repeating an earlier name (0.02)", o.duplicateRate);
    addNumberOption(command, g, "--null-rate", "R",
                    "share of node records that are empty slots (0.01)", o.nullRate);
    addNumberOption(command, g, "--inactive-rate", "R",
                    "share of named nodes that are inactive (0.1)", o.inactiveRate);
    addNumberOption(command, g, "--dead-install-rate", "R",
                    "share of installs that are not live (0.05)", o.deadInstallRate);
    addNumberOption(command, g, "--dangling-rate", "R",
                    "share of installs naming no node or no title (0.002)", o.danglingRate);
}

std::optional<Invocation> parseCommandLine(const std::vector<std::string>& args,
                                           std::span<const CommandSpec> commands) {
    Parser parser(commands);
    return parser.parse(args);
}

std::string usageText(std::span<const CommandSpec> commands) {
    return Parser(commands).help();
}

std::string usageErrorText(const UsageError& error) {
    return std::string(kProgram) + ": " + error.message + "\nSee \"" + kProgram +
           " --help\" for every command and option.\n";
}

std::vector<std::pair<std::string, std::vector<std::string>>> acceptedOptions(
    std::span<const CommandSpec> commands) {
    return Parser(commands).acceptedOptions();
}

std::uint64_t RemovalLimit::allowed(std::uint64_t named) const {
    if (!percent) {
        return count;
    }
    // A share that gives part of a node allows the whole nodes below it.
    return static_cast<std::uint64_t>(std::floor(*percent * static_cast<double>(named) / 100.0));
}

std::optional<int> parseAgeArgument(const std::string& text) {
    constexpr int kMostDays = 36525;
    if (text.empty()) {
        return std::nullopt;
    }
    const char unit = text.back();
    const bool weeks = unit == 'w';
    const std::string number = (unit == 'd' || weeks) ? text.substr(0, text.size() - 1) : text;
    int value = 0;
    if (!parseNumber(number, value) || value < 0 || value > (weeks ? kMostDays / 7 : kMostDays)) {
        return std::nullopt;
    }
    return weeks ? value * 7 : value;
}

std::optional<RemovalLimit> parseRemovalLimit(const std::string& text) {
    RemovalLimit limit;
    if (!text.empty() && text.back() == '%') {
        double percent = 0;
        const std::string number = text.substr(0, text.size() - 1);
        // Digits and one point only: from_chars would also take "inf" and "1e2".
        if (number.find_first_not_of("0123456789.") != std::string::npos ||
            !parseNumber(number, percent) || percent < 0 || percent > 100) {
            return std::nullopt;
        }
        limit.percent = percent;
        return limit;
    }
    if (!parseNumber(text, limit.count)) {
        return std::nullopt;
    }
    return limit;
}

std::optional<int> parseSortColumn(const std::string& text) {
    static const char* const kColumns[] = {"node", "index", "active", "unique"};
    for (int column = 0; column < 4; ++column) {
        if (text == kColumns[column]) {
            return column;
        }
    }
    return std::nullopt;
}

std::optional<double> parseDateArgument(const std::string& text) {
    // The number the `count` digits from `at` write; -1 when one of them is not a digit.
    const auto digits = [&text](std::size_t at, std::size_t count) {
        int value = 0;
        for (const char c : std::string_view(text).substr(at, count)) {
            if (c < '0' || c > '9') {
                return -1;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    const bool withTime =
        text.size() == 19 && text[10] == 'T' && text[13] == ':' && text[16] == ':';
    if ((text.size() != 10 && !withTime) || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    const int year = digits(0, 4);
    const int month = digits(5, 2);
    const int day = digits(8, 2);
    const int hour = withTime ? digits(11, 2) : 0;
    const int minute = withTime ? digits(14, 2) : 0;
    const int second = withTime ? digits(17, 2) : 0;
    if (year < 1 || month < 0 || day < 0 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) {
        return std::nullopt;
    }
    return encodeDateTime(year, month, day, hour, minute, second);
}

}  // namespace kavrin::cli
