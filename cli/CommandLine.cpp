#include "cli/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "cli/Credentials.h"
#include "support/text/DateTimeText.h"
#include "support/platform/Errors.h"

namespace kavrin::cli {

namespace {

constexpr const char* kProgram = "kavrin-dbtool-cli";

// The headings --help lists the shared options under.
constexpr const char* kLocationGroup = "LOCATION options, accepted anywhere after the command";
constexpr const char* kMarkingGroup =
    "MARKING options, applied in the order given (the duplicates fix first)";
constexpr const char* kOrderGroup =
    "ORDER options, applied right after the open and before the marking";
constexpr const char* kGeneratorGroup =
    "GENERATOR options (the same options always give the same bytes)";

// --help writes each entry's text from this column on.
constexpr std::size_t kTextColumn = 30;

// "  TERM" and `text` from kTextColumn on, every '\n' of `text` starting a line at that column;
// a term too long for that puts the text on the next line.
void writeEntry(std::string& out, const std::string& term, const std::string& text) {
    std::string line = "  " + term;
    if (line.size() + 2 <= kTextColumn) {
        line.resize(kTextColumn, ' ');
    } else {
        out += line + '\n';
        line.assign(kTextColumn, ' ');
    }
    for (char c : text) {
        line += c;
        if (c == '\n') {
            line.append(kTextColumn, ' ');
        }
    }
    out += line + '\n';
}

// How --help writes an option: its names, then the name of its value.
std::string optionTerm(const CLI::Option& option) {
    std::string term;
    for (const std::string& name : option.get_snames()) {
        term += (term.empty() ? "-" : ", -") + name;
    }
    for (const std::string& name : option.get_lnames()) {
        term += (term.empty() ? "--" : ", --") + name;
    }
    if (option.get_expected_max() > 0) {
        term += ' ' + option.get_type_name();
    }
    return term;
}

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

// What CLI11 found wrong, in this program's words. Only its messages about the number of values
// are used, as they name an option and quote nothing given; any other is replaced by one that
// quotes nothing.
std::string describe(const CLI::ParseError& error) {
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) == nullptr) {
        return "the command line cannot be read";
    }
    const std::string text = error.what();
    if (const std::size_t colon = text.find(": 1 required "); colon != text.npos) {
        return text.substr(0, colon) + " needs a value";  // "--delete: 1 required NODE missing"
    }
    if (const std::size_t end = text.find(" was given a disallowed flag override");
        end != text.npos) {
        return (end == 1 ? "-" : "--") + text.substr(0, end) + " takes no value";
    }
    return text;
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
        m_root.require_subcommand(0, 1);
        m_root.allow_extras();                    // reported below, without quoting values
        addProgramOptions(m_root, m_invocation);  // before the commands, which inherit --help
        for (const CommandSpec& entry : commands) {
            CLI::App* command = m_root.add_subcommand(entry.name, entry.summary);
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
                                 : std::string("unknown command")};
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

    // The options --help lists, by group in the order the groups first appear, each once.
    std::vector<std::pair<std::string, std::vector<const CLI::Option*>>> listedOptions() const {
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
        return groups;
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
    // No "--flag=value": CLI11 would quote a value it cannot read as true or false.
    return command.add_flag_callback(names, std::move(apply), help)
        ->group(group)
        ->disable_flag_override()
        ->trigger_on_parse();
}

void addProgramOptions(CLI::App& program, Invocation& invocation) {
    program.set_help_flag("-h,--help", "list every command and option");
    addFlagOption(program, "", "--version", "", [&invocation] { invocation.showVersion = true; });
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
    addValueOption(command, kMarkingGroup, "--delete", "NODE", "mark one node",
                   [&steps](const std::string& node) {
                       steps.push_back({MarkStep::Delete, node});
                   });
    addValueOption(command, kMarkingGroup, "--undelete", "NODE", "unmark one node",
                   [&steps](const std::string& node) {
                       steps.push_back({MarkStep::Undelete, node});
                   });
}

void addOrderOptions(CLI::App& command, Invocation& invocation) {
    addValueOption(command, kOrderGroup, "--sort", "COLUMN",
                   "sort the node list by COLUMN (node, index, active or unique),\n"
                   "which decides the order of the rewritten node file",
                   [&invocation](const std::string& text) {
                       static const char* const kColumns[] = {"node", "index", "active", "unique"};
                       for (int column = 0; column < 4; ++column) {
                           if (text == kColumns[column]) {
                               invocation.sortColumn = column;
                               return;
                           }
                       }
                       throw UsageError{"COLUMN of --sort must be node, index, active or unique"};
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
    std::string text = std::string("Usage: ") + kProgram + " COMMAND LOCATION [OPTIONS]\n" +
                       "       " + kProgram + " --version\n" +
                       "\n"
                       "LOCATION is a database folder, or --server NAME for the Kavrin$ share of "
                       "a server.\n"
                       "\n"
                       "Commands:\n";
    for (const CommandSpec& entry : commands) {
        writeEntry(text, entry.synopsis, entry.summary);
    }
    text +=
        "\n"
        "NODE is a node name (the first entry of that name, without regard to case) or a body\n"
        "offset written 0x followed by hexadecimal digits.\n"
        "\n"
        "In the output of nodes, mark and duplicates a TAB, CR, LF or backslash in a node name\n"
        "is written \\t, \\r, \\n or \\\\, so that each node keeps one line; name such a node by\n"
        "its offset.\n";
    const Parser parser(commands);
    for (const auto& [group, options] : parser.listedOptions()) {
        text += '\n' + group + ":\n";
        for (const CLI::Option* option : options) {
            writeEntry(text, optionTerm(*option), option->get_description());
        }
    }
    text +=
        "\n"
        "Log lines go to standard error. Exit code 0 on success, 1 when the work failed, 2 on a\n"
        "wrong command line.\n";
    return text;
}

std::vector<std::pair<std::string, std::vector<std::string>>> acceptedOptions(
    std::span<const CommandSpec> commands) {
    return Parser(commands).acceptedOptions();
}

std::optional<double> parseDateArgument(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char rest = 0;
    bool ok = false;
    if (text.size() == 10) {
        ok = std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &rest) == 3;
    } else if (text.size() == 19) {
        ok = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                         &minute, &second, &rest) == 6;
    }
    if (!ok || year < 1 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59 || hour < 0 || minute < 0 || second < 0) {
        return std::nullopt;
    }
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0)) {
        return std::nullopt;
    }
    return encodeDateTime(year, month, day, hour, minute, second);
}

}  // namespace kavrin::cli
