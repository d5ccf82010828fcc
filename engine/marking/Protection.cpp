#include "engine/marking/Protection.h"

#include <span>

#include "engine/commit/CommitClaim.h"
#include "support/fs/Paths.h"
#include "support/fs/ReplaceFile.h"
#include "support/platform/Errors.h"
#include "support/text/AnsiText.h"

namespace kavrin {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool isBlankLine(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// One line of a rules file, without its line end.
struct Line {
    std::string_view text;
    std::string_view end;  // "\n", "\r\n" or "" (the last line)
};

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        std::string_view end = lf == std::string_view::npos ? "" : "\n";
        if (!end.empty() && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            end = "\r\n";
        }
        lines.push_back({line, end});
        text.remove_prefix(line.size() + end.size());
    }
    return lines;
}

// The pattern of a rule line; nothing for a blank or comment line.
std::optional<std::string_view> patternOf(std::string_view line) {
    if (isBlankLine(line) || line.front() == '#') {
        return std::nullopt;
    }
    return line.substr(0, line.find('\t'));
}

bool samePattern(std::string_view a, std::string_view b) {
    return ansiSameText(utf8ToAnsi(a), utf8ToAnsi(b));
}

std::string ruleLine(std::string_view pattern, std::string_view reason) {
    std::string line(pattern);
    if (!reason.empty()) {
        line += '\t';
        line += reason;
    }
    return line;
}

}  // namespace

std::string protectionText(const ProtectionRule& rule) {
    return "protected by " + rule.pattern;
}

std::string patternProblem(std::string_view pattern) {
    if (pattern.empty()) {
        return "no pattern";
    }
    if (!isUtf8(pattern)) {
        return "not UTF-8 text";
    }
    if (pattern.front() == '#') {
        return "a pattern cannot start with #, which starts a comment";
    }
    if (pattern.find(' ') != std::string_view::npos) {
        return "a blank in the pattern; a reason goes after a TAB";
    }
    for (const char c : pattern) {
        if (isControl(c)) {
            return "a control character in the pattern";
        }
    }
    if (NamePattern(pattern).impossible()) {
        return "a character in the pattern that no node name can hold";
    }
    return {};
}

std::string reasonProblem(std::string_view reason) {
    if (!isUtf8(reason)) {
        return "not UTF-8 text";
    }
    for (const char c : reason) {
        if (isControl(c)) {
            return "a TAB or another control character in the reason";
        }
    }
    return {};
}

ProtectionRules ProtectionRules::parse(std::string_view text, const std::string& path) {
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    ProtectionRules rules;
    std::size_t number = 0;
    for (const Line& line : splitLines(text)) {
        ++number;
        const std::optional<std::string_view> pattern = patternOf(line.text);
        if (!pattern) {
            continue;
        }
        const std::string_view reason =
            pattern->size() < line.text.size() ? line.text.substr(pattern->size() + 1) : "";
        std::string problem = patternProblem(*pattern);
        if (problem.empty()) {
            problem = reasonProblem(reason);
        }
        if (!problem.empty()) {
            throw KavrinError("The protection rules \"" + path + "\" cannot be used: line " +
                              std::to_string(number) + " is not a rule (" + problem + ").");
        }
        rules.add(*pattern, reason);
    }
    return rules;
}

void ProtectionRules::add(std::string_view pattern, std::string_view reason) {
    m_rules.push_back({std::string(pattern), std::string(reason), NamePattern(pattern)});
}

const ProtectionRule* ProtectionRules::ruleFor(std::string_view name) const {
    for (const ProtectionRule& rule : m_rules) {
        if (rule.matcher.matches(name)) {
            return &rule;
        }
    }
    return nullptr;
}

std::string withRuleAdded(std::string_view text, std::string_view pattern,
                          std::string_view reason) {
    const std::vector<Line> lines = splitLines(text);
    std::string_view lineEnd = "\n";
    for (const Line& line : lines) {
        if (!line.end.empty()) {
            lineEnd = line.end;
            break;
        }
    }
    std::string result;
    bool replaced = false;
    for (const Line& line : lines) {
        const std::optional<std::string_view> existing = patternOf(line.text);
        if (existing && !replaced && samePattern(*existing, pattern)) {
            result += ruleLine(pattern, reason);
            replaced = true;
        } else if (!existing || !replaced || !samePattern(*existing, pattern)) {
            result += line.text;
        } else {
            continue;  // a second line of the same pattern would only repeat the first
        }
        result += line.end.empty() ? lineEnd : line.end;
    }
    if (!replaced) {
        result += ruleLine(pattern, reason);
        result += lineEnd;
    }
    return result;
}

std::string withRuleRemoved(std::string_view text, std::string_view pattern, bool& removed) {
    removed = false;
    std::string result;
    for (const Line& line : splitLines(text)) {
        const std::optional<std::string_view> existing = patternOf(line.text);
        if (existing && samePattern(*existing, pattern)) {
            removed = true;
            continue;
        }
        result += line.text;
        result += line.end;
    }
    return result;
}

std::string protectionPath(FileSystem& fs, const std::string& folder) {
    return locateFile(fs, joinPath(folder, kProtectionName));
}

std::optional<std::string> readProtectionText(FileSystem& fs, const std::string& folder) {
    const std::string path = protectionPath(fs, folder);
    if (!fs.status(path).exists) {
        return std::nullopt;
    }
    const FileBytes bytes = fs.readFile(path);
    return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

void writeProtectionText(FileSystem& fs, LogSink& log, Clock& clock, const std::string& folder,
                         const std::string& text) {
    CommitClaim claim = CommitClaim::take(fs, log, clock, folder);
    const std::string path = protectionPath(fs, folder);
    log.log("Saving : " + path);
    const std::span<const std::uint8_t> content(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size());
    const std::span<const std::uint8_t> parts[] = {content};
    replaceFile(fs, path + ".new", path, parts);
    fs.syncDirectory(folder);
    claim.release();
}

}  // namespace kavrin
