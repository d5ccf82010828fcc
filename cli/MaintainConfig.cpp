#include "cli/MaintainConfig.h"

#include <toml++/toml.h>
#include <algorithm>
#include <array>
#include <string_view>

#include "support/text/DateTimeText.h"

namespace kavrin::cli {

namespace {

// Every key a [[database]] takes; [defaults] takes them all but the location.
constexpr std::array<std::string_view, 13> kKeys = {
    "folder",   "server",         "authentication_file", "user",           "workgroup",
    "kerberos", "not_online_for", "older_than",          "fix_duplicates", "max_remove",
    "protect",  "sort",           "descending"};
constexpr std::string_view kDryRunKey = "dry_run";

bool knownKey(std::string_view key) {
    return key == kDryRunKey || std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end();
}

// The settings of one [[database]], each looked up there first and then in [defaults].
class DatabaseReader {
public:
    DatabaseReader(const std::string& path, const toml::table& database,
                   const toml::table* defaults)
        : m_path(path), m_database(database), m_defaults(defaults) {}

    [[noreturn]] void fail(const toml::source_region& where, const std::string& message) const {
        throw ConfigError{m_path + ':' + std::to_string(where.begin.line) + ':' +
                          std::to_string(where.begin.column) + ": " + message};
    }

    const toml::node* find(std::string_view key) const {
        if (const toml::node* node = m_database.get(key)) {
            return node;
        }
        return m_defaults != nullptr ? m_defaults->get(key) : nullptr;
    }

    std::optional<std::string> text(std::string_view key) const {
        const toml::node* node = find(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (!node->is_string()) {
            fail(node->source(), std::string(key) + " must be a string");
        }
        return node->as_string()->get();
    }

    std::optional<bool> flag(std::string_view key) const {
        const toml::node* node = find(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (!node->is_boolean()) {
            fail(node->source(), std::string(key) + " must be true or false");
        }
        return node->as_boolean()->get();
    }

    // A value written either as a string or as a whole number, as its text; the node with it.
    std::optional<std::pair<std::string, const toml::node*>> textOrNumber(
        std::string_view key) const {
        const toml::node* node = find(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (node->is_integer()) {
            return std::pair{std::to_string(node->as_integer()->get()), node};
        }
        if (!node->is_string()) {
            fail(node->source(), std::string(key) + " must be a string or a number");
        }
        return std::pair{node->as_string()->get(), node};
    }

    std::optional<double> date(std::string_view key) const {
        const toml::node* node = find(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (node->is_date()) {
            const toml::date day = node->as_date()->get();
            return encodeDateTime(day.year, day.month, day.day);
        }
        const std::optional<double> value =
            node->is_string() ? parseDateArgument(node->as_string()->get()) : std::nullopt;
        if (!value) {
            fail(node->source(),
                 std::string(key) + " must be a date, YYYY-MM-DD or \"YYYY-MM-DDTHH:MM:SS\"");
        }
        return value;
    }

    std::vector<std::string> texts(std::string_view key) const {
        const toml::node* node = find(key);
        if (node == nullptr) {
            return {};
        }
        const toml::array* array = node->as_array();
        if (array == nullptr) {
            fail(node->source(), std::string(key) + " must be an array of strings");
        }
        std::vector<std::string> values;
        for (const toml::node& element : *array) {
            if (!element.is_string()) {
                fail(element.source(), std::string(key) + " must be an array of strings");
            }
            values.push_back(element.as_string()->get());
        }
        return values;
    }

    const toml::table& database() const { return m_database; }

private:
    const std::string& m_path;
    const toml::table& m_database;
    const toml::table* m_defaults;
};

void readLocation(const DatabaseReader& reader, Invocation& invocation) {
    const toml::table& database = reader.database();
    const toml::node* folder = database.get("folder");
    const toml::node* server = database.get("server");
    if (folder != nullptr && server != nullptr) {
        reader.fail(server->source(), "a [[database]] takes \"folder\" or \"server\", not both");
    }
    if (folder == nullptr && server == nullptr) {
        reader.fail(database.source(), "a [[database]] needs \"folder\" or \"server\"");
    }
    invocation.location.server = server != nullptr;
    invocation.location.text = *reader.text(server != nullptr ? "server" : "folder");
    if (invocation.location.text.empty()) {
        reader.fail((server != nullptr ? server : folder)->source(), "the location is empty");
    }
}

// The marking keys in the order the command line would apply them: the duplicates fix at the
// open, then by date, then by age.
void readMarking(const DatabaseReader& reader, Invocation& invocation) {
    invocation.fixDuplicates = reader.flag("fix_duplicates").value_or(false);
    if (const std::optional<double> date = reader.date("older_than")) {
        invocation.marking.push_back({MarkStep::OlderThan, {}, *date});
    }
    if (const auto age = reader.textOrNumber("not_online_for")) {
        const std::optional<int> days = parseAgeArgument(age->first);
        if (!days) {
            reader.fail(age->second->source(), "not_online_for must be N, \"Nd\" or \"Nw\"");
        }
        invocation.marking.push_back({MarkStep::NotOnlineFor, {}, 0, *days});
    }
    if (const auto limit = reader.textOrNumber("max_remove")) {
        invocation.maxRemove = parseRemovalLimit(limit->first);
        if (!invocation.maxRemove) {
            reader.fail(limit->second->source(), "max_remove must be N or \"P%\"");
        }
    }
    invocation.protectPatterns = reader.texts("protect");
}

MaintainDatabase readDatabase(const DatabaseReader& reader) {
    for (const auto& [key, node] : reader.database()) {
        if (!knownKey(key.str())) {
            reader.fail(key.source(), "unknown key \"" + std::string(key.str()) + '"');
        }
    }
    MaintainDatabase entry;
    Invocation& invocation = entry.invocation;
    readLocation(reader, invocation);
    entry.authenticationFile = reader.text("authentication_file");
    entry.user = reader.text("user");
    entry.workgroup = reader.text("workgroup");
    invocation.credentials.kerberos = reader.flag("kerberos").value_or(false);
    readMarking(reader, invocation);
    if (const std::optional<std::string> sort = reader.text("sort")) {
        invocation.sortColumn = parseSortColumn(*sort);
        if (!invocation.sortColumn) {
            reader.fail(reader.find("sort")->source(),
                        "sort must be \"node\", \"index\", \"active\" or \"unique\"");
        }
    }
    invocation.descending = reader.flag("descending").value_or(false);
    invocation.dryRun = reader.flag(kDryRunKey).value_or(false);
    return entry;
}

// [defaults]: checked whole even when no [[database]] takes a key from it.
const toml::table* readDefaults(const std::string& path, const toml::table& root) {
    const toml::node* node = root.get("defaults");
    if (node == nullptr) {
        return nullptr;
    }
    const toml::table* defaults = node->as_table();
    const DatabaseReader reader(path, defaults != nullptr ? *defaults : root, nullptr);
    if (defaults == nullptr) {
        reader.fail(node->source(), "defaults must be a table, [defaults]");
    }
    for (const auto& [key, value] : *defaults) {
        if (key.str() == "folder" || key.str() == "server") {
            reader.fail(key.source(), "\"" + std::string(key.str()) +
                                          "\" belongs in a [[database]], not in [defaults]");
        }
        if (!knownKey(key.str())) {
            reader.fail(key.source(), "unknown key \"" + std::string(key.str()) + '"');
        }
    }
    // Every key's type and value, as a database without keys of its own would read them.
    static const toml::table kLocated{{"folder", "."}};
    const DatabaseReader check(path, kLocated, defaults);
    readDatabase(check);
    return defaults;
}

}  // namespace

std::vector<MaintainDatabase> parseMaintainConfig(const std::string& path,
                                                  const std::string& text) {
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        throw ConfigError{path + ':' + std::to_string(e.source().begin.line) + ':' +
                          std::to_string(e.source().begin.column) + ": " +
                          std::string(e.description())};
    }
    const DatabaseReader top(path, root, nullptr);
    for (const auto& [key, node] : root) {
        if (key.str() != "defaults" && key.str() != "database") {
            top.fail(key.source(), "unknown key \"" + std::string(key.str()) + '"');
        }
    }
    const toml::table* defaults = readDefaults(path, root);
    std::vector<MaintainDatabase> databases;
    const toml::node* list = root.get("database");
    if (list == nullptr) {
        return databases;
    }
    if (!list->is_array_of_tables()) {
        top.fail(list->source(), "database must be tables, each [[database]]");
    }
    for (const toml::node& element : *list->as_array()) {
        databases.push_back(readDatabase(DatabaseReader(path, *element.as_table(), defaults)));
    }
    return databases;
}

}  // namespace kavrin::cli
