#include "engine/Journal.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include "dbformat/Layout.h"
#include "support/AnsiText.h"
#include "support/Paths.h"

namespace kavrin {

namespace {

// --- CRC-32 ----------------------------------------------------------------------------------

// Eight tables, so that the loop takes eight bytes per step: a commit checks every byte it
// writes and every byte of its backup, hundreds of megabytes for a large database.
struct CrcTables {
    std::array<std::array<std::uint32_t, 256>, 8> t{};

    constexpr CrcTables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[0][i] = c;
        }
        for (std::size_t s = 1; s < t.size(); ++s) {
            for (std::size_t i = 0; i < 256; ++i) {
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
            }
        }
    }
};

constexpr CrcTables kCrc;

// --- Text form ---------------------------------------------------------------------------------

constexpr std::string_view kTitle = "Kavrin commit journal 1";
constexpr std::string_view kBackupKey = "backup ";
constexpr std::string_view kFileKey = "file";
constexpr std::string_view kEndKey = "end crc=";
constexpr std::size_t kLines = 6;  // title, backup, three files, end
constexpr std::size_t kCrcDigits = 8;
constexpr std::size_t kMaxNameLength = 255;
// A journal names three files and a folder; anything much larger is not one.
constexpr std::uint64_t kMaxJournalSize = 64 * 1024;

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

// --- Recovery ----------------------------------------------------------------------------------

// A refusal of the recovery, with the whole text the user sees.
class RecoveryRefused : public KavrinError {
public:
    using KavrinError::KavrinError;
};

std::span<const std::uint8_t> bytesOf(const FileBytes& bytes) {
    return {bytes.data.get(), bytes.size};
}

// Whether a regular file at `path` has exactly the content `check` describes.
bool holds(FileSystem& fs, const std::string& path, const FileCheck& check) {
    const FileStatus status = fs.status(path);
    if (!status.exists || status.isDirectory || status.size != check.size) {
        return false;
    }
    const FileBytes bytes = fs.readFile(path);
    return bytes.size == check.size && crc32(bytesOf(bytes)) == check.crc;
}

// What stands at a database file's place.
enum class Found {
    Missing,
    Original,  // the file the commit was to replace, untouched
    New,       // the file the commit wrote
    Copy,      // the backup copy, put back by an earlier undo
    Other,     // none of these: another program wrote it since
};

Found classify(FileSystem& fs, const std::string& path, const JournalEntry& entry) {
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        return Found::Missing;
    }
    if (status.isDirectory) {
        return Found::Other;
    }
    // Content first: when the commit changed nothing in a file, its new file is the original.
    if (status.size == entry.newFile.size || status.size == entry.copyFile.size) {
        const FileBytes bytes = fs.readFile(path);
        const FileCheck found{bytes.size, crc32(bytesOf(bytes))};
        if (found == entry.newFile) {
            return Found::New;
        }
        if (found == entry.copyFile) {
            return Found::Copy;
        }
    }
    if (status.size == entry.originalSize && status.modifiedNs == entry.originalModifiedNs) {
        return Found::Original;
    }
    return Found::Other;
}

Journal readJournal(FileSystem& fs, const std::string& path, const FileStatus& status) {
    if (status.isDirectory) {
        throw JournalError("it is a folder");
    }
    if (status.size > kMaxJournalSize) {
        throw JournalError("it holds " + std::to_string(status.size) +
                           " bytes, more than a journal ever does");
    }
    const FileBytes bytes = fs.readFile(path);
    return decodeJournal(bytesOf(bytes));
}

class Recovery {
public:
    Recovery(FileSystem& fs, LogSink& log, const std::string& folder, const std::string& path,
             Journal journal)
        : m_fs(fs),
          m_log(log),
          m_folder(folder),
          m_journalPath(path),
          m_journal(std::move(journal)),
          m_backupFolder(joinPath(folder, m_journal.backupFolder)) {}

    void run() {
        std::array<Found, 3> found{};
        std::array<bool, 3> newFileReady{};
        for (std::size_t i = 0; i < found.size(); ++i) {
            const JournalEntry& entry = m_journal.files[i];
            found[i] = classify(m_fs, target(i), entry);
            if (found[i] == Found::Other) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath + "\" was interrupted, and \"" +
                    target(i) +
                    "\" was changed by another program since: it is neither the file the commit "
                    "replaced, nor the file it wrote, nor its backup copy. The database files were "
                    "left as they are; the backup folder \"" +
                    m_backupFolder +
                    "\" holds the database as it was before the commit. Delete the journal to "
                    "open the database as it is.");
            }
            newFileReady[i] = found[i] != Found::New && holds(m_fs, temporary(i), entry.newFile);
        }

        bool finish = true;
        for (std::size_t i = 0; i < found.size(); ++i) {
            finish = finish && (found[i] == Found::New || newFileReady[i]);
        }
        if (finish) {
            m_log.log("Finishing the interrupted commit with its new files.");
            for (std::size_t i = 0; i < found.size(); ++i) {
                if (found[i] != Found::New) {
                    m_log.log("Replacing : " + target(i));
                    m_fs.rename(temporary(i), target(i));
                }
            }
        } else {
            undo(found);
        }
        m_fs.syncDirectory(m_folder);

        // Only once the files belong together again do the journal and what it names go.
        for (std::size_t i = 0; i < found.size(); ++i) {
            removeIfThere(temporary(i));
        }
        removeIfThere(joinPath(m_folder, kJournalTemporaryName));
        removeJournal(m_fs, m_folder);
        m_log.log(finish ? "Interrupted commit finished: the database holds the files the "
                           "commit wrote."
                         : "Interrupted commit undone: the database holds the files as they "
                           "were before the commit.");
    }

private:
    std::string target(std::size_t i) const {
        return joinPath(m_folder, m_journal.files[i].target);
    }
    std::string temporary(std::size_t i) const {
        return joinPath(m_folder, m_journal.files[i].temporary);
    }
    std::string copy(std::size_t i) const {
        return joinPath(m_backupFolder, m_journal.files[i].copy);
    }

    // Puts back every file that was replaced (or is gone); the others are still the originals
    // or were put back already.
    void undo(const std::array<Found, 3>& found) {
        std::array<bool, 3> needed{};
        for (std::size_t i = 0; i < found.size(); ++i) {
            needed[i] = found[i] == Found::New || found[i] == Found::Missing;
        }
        // Every copy is checked before the first file is touched: half an undo would mix the
        // generations as much as half a commit.
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (needed[i] && !holds(m_fs, copy(i), m_journal.files[i].copyFile)) {
                throw RecoveryRefused(
                    "The commit recorded in \"" + m_journalPath +
                    "\" was interrupted and cannot be undone: the backup copy \"" + copy(i) +
                    "\" is missing or is not the one the commit made. The database files were "
                    "left as they are.");
            }
        }
        m_log.log("Undoing the interrupted commit from the backup folder : " + m_backupFolder);
        for (std::size_t i = 0; i < found.size(); ++i) {
            if (!needed[i]) {
                continue;
            }
            m_log.log("Restoring : " + target(i) + " from " + copy(i));
            const FileBytes bytes = m_fs.readFile(copy(i));
            if (FileCheck{bytes.size, crc32(bytesOf(bytes))} != m_journal.files[i].copyFile) {
                throw RecoveryRefused("The backup copy \"" + copy(i) +
                                      "\" changed while the interrupted commit was undone; the "
                                      "journal \"" +
                                      m_journalPath + "\" was kept.");
            }
            const std::span<const std::uint8_t> parts[] = {bytesOf(bytes)};
            m_fs.writeFile(temporary(i), parts, true);
            m_fs.rename(temporary(i), target(i));
        }
    }

    void removeIfThere(const std::string& path) {
        const FileStatus status = m_fs.status(path);
        if (status.exists && !status.isDirectory) {
            m_log.log("Removing : " + path);
            m_fs.remove(path);
        }
    }

    FileSystem& m_fs;
    LogSink& m_log;
    std::string m_folder;
    std::string m_journalPath;
    Journal m_journal;
    std::string m_backupFolder;
};

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    const auto& t = kCrc.t;
    std::uint32_t c = ~crc;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint32_t a =
            c ^
            (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
             (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
        c = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; ++p, --n) {
        c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

FileCheck checkOf(std::span<const std::span<const std::uint8_t>> parts) {
    FileCheck check;
    for (const auto& part : parts) {
        check.size += part.size();
        check.crc = crc32(part, check.crc);
    }
    return check;
}

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

std::string journalPath(const std::string& folder) {
    return joinPath(folder, kJournalName);
}

void writeJournal(FileSystem& fs, const std::string& folder, const Journal& journal) {
    const std::string text = encodeJournal(journal);
    const std::string temporary = joinPath(folder, kJournalTemporaryName);
    const std::span<const std::uint8_t> parts[] = {
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
    fs.writeFile(temporary, parts, true);
    fs.rename(temporary, journalPath(folder));
    fs.syncDirectory(folder);
}

void removeJournal(FileSystem& fs, const std::string& folder) {
    fs.remove(journalPath(folder));
    fs.syncDirectory(folder);
}

void recoverInterruptedCommit(FileSystem& fs, LogSink& log, const std::string& folder) {
    const std::string path = journalPath(folder);
    const FileStatus status = fs.status(path);
    if (!status.exists) {
        return;
    }
    log.log("Interrupted commit found : " + path);
    std::string message;
    try {
        Recovery(fs, log, folder, path, readJournal(fs, path, status)).run();
        return;
    } catch (const JournalError& e) {
        message = "The commit journal \"" + path + "\" cannot be read: " + e.what() +
                  ". A commit may have been interrupted while it replaced the database files, "
                  "which then may not belong together, so the database is not opened. The files "
                  "were left as they are: compare them with the newest backup folder, then delete "
                  "the journal to open the database.";
    } catch (const RecoveryRefused& e) {
        message = e.what();
    } catch (const std::exception& e) {
        message = "The interrupted commit recorded in \"" + path +
                  "\" could not be finished or undone: " + e.what() +
                  " The journal was kept; the next open tries again.";
    }
    log.log(message);
    throw KavrinError(message);
}

}  // namespace kavrin
