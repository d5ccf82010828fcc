// Arbitrary bytes as a commit journal: refused with a JournalError, or read as a journal that
// writes back to itself. Each input is read twice: as it is (torn, damaged or whole), and sealed
// with the end line a writer would give the lines before its end line, so that changed fields
// get past the check value and reach the parse of the lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "FuzzText.h"
#include "dbformat/JournalFormat.h"
#include "support/text/Crc32.h"

namespace {

using namespace kavrin;

using fuzz::bytesOf;
using fuzz::check;
using fuzz::textOf;

std::optional<Journal> read(std::span<const std::uint8_t> bytes) {
    return fuzz::decodedOrNothing<JournalError>([](auto b) { return decodeJournal(b); }, bytes);
}

// What decodes writes back as the same journal. Numbers are the one thing with more than one
// spelling (leading zeros, "-0"), and the written one is the shortest: the same length means
// the same bytes.
void roundTrip(std::span<const std::uint8_t> bytes) {
    const std::optional<Journal> journal = read(bytes);
    if (!journal) {
        return;
    }
    std::string written;
    try {
        written = encodeJournal(*journal);
    } catch (const JournalError&) {
        check(false);  // a journal that was read could not be written
    }
    check(written.size() <= bytes.size());
    if (written.size() == bytes.size()) {
        check(written == textOf(bytes));
    }
    const std::optional<Journal> again = read(bytesOf(written));
    check(again && *again == *journal);
    check(encodeJournal(*again) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = textOf({data, size});
    roundTrip({data, size});

    // The lines before the last end line, sealed anew.
    const std::size_t end = text.rfind("\nend crc=");
    std::string sealed(text.substr(0, end == std::string_view::npos ? text.size() : end + 1));
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", crc32(bytesOf(sealed)));
    sealed += std::string("end crc=") + crc + "\n";
    roundTrip(bytesOf(sealed));
    return 0;
}
