#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbformat/DatabaseFile.h"
#include "support/fs/FileSystem.h"
#include "support/platform/Clock.h"
#include "support/text/NamePattern.h"

namespace kavrin {

// Nodes no marking may mark. The rules live in the database folder, so that every administrator
// of a database, the window and the command line alike, keeps the same nodes: a UTF-8 text file,
// one rule a line, a name pattern (NamePattern: `*`, `?`, case folded as duplicate names are),
// optionally a TAB and a reason; blank lines and lines starting with '#' say nothing.
constexpr const char* kProtectionName = "Kavrin.protect";

struct ProtectionRule {
    std::string pattern;  // UTF-8, as written
    std::string reason;   // UTF-8; may be empty
    NamePattern matcher;
};

// "protected by PATTERN": why a protected node stays unmarked (the reason column, the tooltip,
// the preview and the manifest).
std::string protectionText(const ProtectionRule& rule);

// Why `pattern` cannot be a rule ("a blank in the pattern; a reason goes after a TAB"), or "".
// A pattern that could not match any name, or that would read back as something else, is
// refused rather than protecting nothing.
std::string patternProblem(std::string_view pattern);
// Why `reason` cannot follow a pattern on its line, or "".
std::string reasonProblem(std::string_view reason);

class ProtectionRules {
public:
    // The rules of a file's text. Throws KavrinError "The protection rules \"<path>\" cannot be
    // used: line <n> is not a rule (<problem>)." for the first line that is neither a rule nor
    // blank nor a comment.
    static ProtectionRules parse(std::string_view text, const std::string& path);

    // REQUIRES: patternProblem(pattern) and reasonProblem(reason) are "".
    void add(std::string_view pattern, std::string_view reason);

    bool empty() const { return m_rules.empty(); }
    const std::vector<ProtectionRule>& rules() const { return m_rules; }
    // The first rule whose pattern matches `name` (code-page bytes, as stored), or null.
    const ProtectionRule* ruleFor(std::string_view name) const;

private:
    std::vector<ProtectionRule> m_rules;
};

// Editing a rules file's text line by line, every other line kept byte for byte (comments
// included) and the file's own line ends used for a new line.
// The text with the rule of `pattern` (compared as names are) replaced, or added at the end.
std::string withRuleAdded(std::string_view text, std::string_view pattern, std::string_view reason);
// The text without the rules of `pattern`; `removed` tells whether there was one.
std::string withRuleRemoved(std::string_view text, std::string_view pattern, bool& removed);

// The rules file of the database folder `folder`, found without regard to case as the database
// files are.
std::string protectionPath(FileSystem& fs, const std::string& folder);
// Its text; nothing when there is none. Throws the file layer's error.
std::optional<std::string> readProtectionText(FileSystem& fs, const std::string& folder);
// Replaces the rules file of `folder` by `text`, atomically: written under a temporary name,
// flushed, renamed over the old one. Never while a commit holds the database's claim: the claim
// is taken for the write, so that a running commit refuses it (KavrinError naming the commit,
// nothing written). On any failure the old file stays as it was.
void writeProtectionText(FileSystem& fs, LogSink& log, Clock& clock, const std::string& folder,
                         const std::string& text);

}  // namespace kavrin
