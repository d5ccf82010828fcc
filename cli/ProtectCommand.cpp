#include "cli/ProtectCommand.h"

#include <ostream>

#include "cli/ConsoleView.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "engine/marking/Protection.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"

namespace kavrin::cli {

namespace {

constexpr const char* kProtectGroup = "PROTECT options, one of --add, --remove and --list";

using Edit = Invocation::ProtectEdit;

void setKind(Edit& edit, Edit::Kind kind) {
    if (edit.kind != Edit::None) {
        throw UsageError{"protect takes one of --add, --remove and --list"};
    }
    edit.kind = kind;
}

std::string checkedPattern(const std::string& option, const std::string& pattern) {
    const std::string problem = patternProblem(pattern);
    if (!problem.empty()) {
        throw UsageError{"bad value for " + option + ": " + problem};
    }
    return pattern;
}

// Rules beside no database would protect nothing anyone sees: a mistyped location is refused
// rather than given a file.
void requireDatabase(FileSystem& fs, const std::string& folder) {
    const std::string nodeFile = locateFile(fs, joinPath(folder, filename::kNodeSave));
    if (!fs.status(nodeFile).exists) {
        throw KavrinError("No database at \"" + folder + "\": there is no " + filename::kNodeSave +
                          ". Nothing was written.");
    }
}

}  // namespace

void addProtectOptions(CLI::App& command, Invocation& invocation) {
    Edit& edit = invocation.protectEdit;
    addValueOption(command, kProtectGroup, "--add", "PATTERN",
                   "add a rule (a rule of the same PATTERN gets the new reason)",
                   [&edit](const std::string& pattern) {
                       setKind(edit, Edit::Add);
                       edit.pattern = checkedPattern("--add", pattern);
                   });
    addValueOption(command, kProtectGroup, "--reason", "TEXT",
                   "why the nodes of the rule added are kept", [&edit](const std::string& reason) {
                       if (!reasonProblem(reason).empty()) {
                           throw UsageError{"bad value for --reason: " + reasonProblem(reason)};
                       }
                       edit.reason = reason;
                   });
    addValueOption(command, kProtectGroup, "--remove", "PATTERN", "remove the rules of PATTERN",
                   [&edit](const std::string& pattern) {
                       setKind(edit, Edit::Remove);
                       edit.pattern = checkedPattern("--remove", pattern);
                   });
    addFlagOption(command, kProtectGroup, "--list", "print every rule: PATTERN TAB REASON",
                  [&edit] { setKind(edit, Edit::List); });
}

int runProtect(const Invocation& invocation, const Console& console) {
    const Edit& edit = invocation.protectEdit;
    if (edit.kind == Edit::None) {
        throw UsageError{"protect needs one of --add, --remove and --list"};
    }
    if (edit.reason && edit.kind != Edit::Add) {
        throw UsageError{"--reason goes with --add only"};
    }
    ConsoleView view(console.err, invocation.location.server, invocation.location.text);
    const MaintenanceEngine engine(view, console.fs, console.clock);
    FileSystem& fs = console.fs;
    try {
        const std::string folder = engine.ResolveDatabaseFolder();
        requireDatabase(fs, folder);
        const std::string text = readProtectionText(fs, folder).value_or(std::string());
        // A broken file is neither listed nor edited: the line named is the one to mend.
        const ProtectionRules rules = ProtectionRules::parse(text, protectionPath(fs, folder));
        if (edit.kind == Edit::List) {
            for (const ProtectionRule& rule : rules.rules()) {
                console.out << rule.pattern << '\t' << rule.reason << '\n';
            }
            return 0;
        }
        std::string edited;
        if (edit.kind == Edit::Add) {
            edited = withRuleAdded(text, edit.pattern, edit.reason.value_or(std::string()));
        } else {
            bool removed = false;
            edited = withRuleRemoved(text, edit.pattern, removed);
            if (!removed) {
                console.err << "No rule \"" << edit.pattern << "\" in "
                            << protectionPath(fs, folder) << ". Nothing was written.\n";
                return 1;
            }
        }
        writeProtectionText(fs, view, console.clock, folder, edited);
        return 0;
    } catch (const std::exception& e) {
        console.err << e.what() << '\n';
        return 1;
    }
}

}  // namespace kavrin::cli
