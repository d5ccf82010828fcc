#include "dbformat/JournalFormat.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "dbformat/Layout.h"
#include "support/text/AnsiText.h"

namespace kavrin {

namespace {

// --- Text form ---------------------------------------------------------------------------------

constexpr std::string_view kTitle = "Kavrin commit journal 1";
constexpr std::string_view kBackupKey = "backup ";
constexpr std::string_view kFileKey = "file";
constexpr std::string_view kEndKey = "end crc=";
constexpr std::size_t kLines = 6;  // title, backup, three files, end
constexpr std::size_t kCrcDigits = 8;
constexpr std::size_t kMaxNameLength = 255;

// A name of the journal is a file name in a known folder: nothing that could lead out of that
// folder, nothing that would need quoting in the text.
bool validName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == '=') {
            return false;
        }
    }
    return true;
}

std::string requireName(const std::string& name, const char* what) {
    if (!validName(name)) {
        throw JournalError(std::string("the ") + what + " name \"" + name +
                           "\" cannot be written to a journal");
    }
    return name;
}

std::string hex8(std::uint32_t value) {
    char text[kCrcDigits + 1];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Exactly eight lower-case hexadecimal digits, as hex8 writes them.
bool parseHex8(std::string_view text, std::uint32_t& value) {
    if (text.size() != kCrcDigits) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = line.find(' ', start);
        fields.push_back(line.substr(start, blank - start));
        if (blank == std::string_view::npos) {
            return fields;
        }
        start = blank + 1;
    }
}

// Reads the lines of one journal, each parse naming its line in the message when it fails.
class Decoder {
public:
    explicit Decoder(std::vector<std::string_view> lines) : m_lines(std::move(lines)) {}

    Journal decode() {
        if (m_lines[0] != kTitle) {
            fail(1, "not the title of a journal of this version");
        }
        if (!m_lines[1].starts_with(kBackupKey)) {
            fail(2, "\"backup\" expected");
        }
        Journal journal;
        journal.backupFolder = name(2, m_lines[1].substr(kBackupKey.size()));
        for (std::size_t i = 0; i < journal.files.size(); ++i) {
            journal.files[i] = entry(i + 3);
        }
        checkRoles(journal);
        return journal;
    }

private:
    [[noreturn]] static void fail(std::size_t line, const std::string& what) {
        throw JournalError("line " + std::to_string(line) + ": " + what);
    }

    static std::string name(std::size_t line, std::string_view text) {
        if (!validName(text)) {
            fail(line, "\"" + std::string(text) + "\" is not a file name");
        }
        return std::string(text);
    }

    // The recovery renames and removes what the journal names: a journal that names anything
    // but the three database files, in their order, and temporary files beside them is refused.
    static void checkRoles(const Journal& journal) {
        static constexpr std::array<const char*, 3> databaseFiles = {
            filename::kNodeSave, filename::kInstallSave, filename::kTitleSave};
        std::vector<std::string_view> taken = {kJournalName, kJournalTemporaryName};
        for (std::size_t i = 0; i < journal.files.size(); ++i) {
            const JournalEntry& e = journal.files[i];
            if (asciiCompareText(e.target, databaseFiles[i]) != 0 ||
                asciiCompareText(e.copy, databaseFiles[i]) != 0) {
                fail(i + 3, std::string("the database file ") + databaseFiles[i] + " expected");
            }
            taken.push_back(e.target);
        }
        for (std::size_t i = 0; i < journal.files.size(); ++i) {
            const std::string& temporary = journal.files[i].temporary;
            for (const std::string_view other : taken) {
                if (asciiCompareText(temporary, other) == 0) {
                    fail(i + 3, "the temporary file \"" + temporary + "\" is not one of its own");
                }
            }
            taken.push_back(temporary);
        }
    }

    template <typename Number>
    static Number number(std::size_t line, std::string_view key, std::string_view text) {
        Number value{};
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size()) {
            fail(line, "the value of " + std::string(key) + " is not a number");
        }
        return value;
    }

    static std::uint32_t crc(std::size_t line, std::string_view key, std::string_view text) {
        std::uint32_t value = 0;
        if (!parseHex8(text, value)) {
            fail(line, "the value of " + std::string(key) + " is not a number");
        }
        return value;
    }

    JournalEntry entry(std::size_t line) {
        static constexpr std::array<std::string_view, 9> keys = {
            "target",    "temporary", "copy",          "new-size",     "new-crc",
            "copy-size", "copy-crc",  "original-size", "original-time"};
        const std::vector<std::string_view> fields = splitFields(m_lines[line - 1]);
        if (fields[0] != kFileKey) {
            fail(line, "\"file\" expected");
        }
        if (fields.size() != keys.size() + 1) {
            fail(line, std::to_string(keys.size()) + " fields expected");
        }
        std::array<std::string_view, keys.size()> values;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const std::string_view field = fields[k + 1];
            if (!field.starts_with(keys[k]) || field.size() <= keys[k].size() ||
                field[keys[k].size()] != '=') {
                fail(line, std::string(keys[k]) + "= expected");
            }
            values[k] = field.substr(keys[k].size() + 1);
        }
        JournalEntry e;
        e.target = name(line, values[0]);
        e.temporary = name(line, values[1]);
        e.copy = name(line, values[2]);
        e.newFile.size = number<std::uint64_t>(line, keys[3], values[3]);
        e.newFile.crc = crc(line, keys[4], values[4]);
        e.copyFile.size = number<std::uint64_t>(line, keys[5], values[5]);
        e.copyFile.crc = crc(line, keys[6], values[6]);
        e.originalSize = number<std::uint64_t>(line, keys[7], values[7]);
        e.originalModifiedNs = number<std::int64_t>(line, keys[8], values[8]);
        return e;
    }

    std::vector<std::string_view> m_lines;
};

}  // namespace

std::string encodeJournal(const Journal& journal) {
    std::string text(kTitle);
    text += '\n';
    text += std::string(kBackupKey) + requireName(journal.backupFolder, "backup folder") + '\n';
    for (const JournalEntry& e : journal.files) {
        text += std::string(kFileKey) + " target=" + requireName(e.target, "target") +
                " temporary=" + requireName(e.temporary, "temporary file") +
                " copy=" + requireName(e.copy, "backup copy") +
                " new-size=" + std::to_string(e.newFile.size) + " new-crc=" + hex8(e.newFile.crc) +
                " copy-size=" + std::to_string(e.copyFile.size) +
                " copy-crc=" + hex8(e.copyFile.crc) +
                " original-size=" + std::to_string(e.originalSize) +
                " original-time=" + std::to_string(e.originalModifiedNs) + '\n';
    }
    const std::uint32_t crc =
        crc32({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    text += std::string(kEndKey) + hex8(crc) + '\n';
    return text;
}

Journal decodeJournal(std::span<const std::uint8_t> bytes) {
    // Length first, then the end line and its check value: a torn or overwritten journal fails
    // there, before any field is taken for a name or a number.
    if (bytes.size() > kMaxJournalSize) {
        throw JournalError("it holds " + std::to_string(bytes.size()) +
                           " bytes, more than a journal ever does");
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.empty() || text.back() != '\n') {
        throw JournalError("it is torn: it does not end with a whole line");
    }
    const std::string_view lines = text.substr(0, text.size() - 1);  // less the last line break
    const std::size_t lastBreak = lines.rfind('\n');
    const std::size_t lastStart = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    const std::string_view last = lines.substr(lastStart);
    if (!last.starts_with(kEndKey) || last.size() != kEndKey.size() + kCrcDigits) {
        throw JournalError("it is torn: its last line is not its end line");
    }
    std::uint32_t stored = 0;
    if (!parseHex8(last.substr(kEndKey.size()), stored)) {
        throw JournalError("its end line holds no check value");
    }
    if (crc32(bytes.first(lastStart)) != stored) {
        throw JournalError("its check value does not match its content");
    }

    std::vector<std::string_view> before;
    for (std::size_t start = 0; start < lastStart;) {
        const std::size_t next = text.find('\n', start);
        before.push_back(text.substr(start, next - start));
        start = next + 1;
    }
    if (before.size() != kLines - 1) {
        throw JournalError("it has " + std::to_string(before.size() + 1) + " lines instead of " +
                           std::to_string(kLines));
    }
    return Decoder(std::move(before)).decode();
}

}  // namespace kavrin
