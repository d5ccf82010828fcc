// Arbitrary bytes as the node file's header: the statistics lines come out whole, or the open
// fails with one of the header messages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/MemoryFileSystem.h"
#include "dbformat/Layout.h"
#include "engine/MaintenanceEngine.h"
#include "fuzz/FuzzView.h"
#include "support/text/DateTimeText.h"

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kavrin;
    test::MemoryFileSystem fs;
    fs.createDirectories("/db");
    std::vector<std::uint8_t> file(data, data + size);
    fs.files["/db/Kavrin.cmp"] = file;
    std::vector<std::uint8_t> headerOnly(
        file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(size, 230)));
    fs.files["/db/Kavrin.ist"] = headerOnly;
    fs.files["/db/Kavrin.ttl"] = headerOnly;

    fuzz::FuzzView view;
    MaintenanceEngine engine(view, fs);
    engine.OpenDatabase();
    const auto& stats = view.lines[static_cast<std::size_t>(LineList::DBStats)];
    if (!engine.context().IsOpen) {
        check(view.errors.size() == 1);
        const std::string& e = view.errors[0];
        check(e == "Cannot not read DB file header." ||
              startsWith(e, "Error: \"The database is not the correct") ||
              startsWith(e, "Cannot open file"));
        return 0;
    }
    check(stats.size() == 13 || stats.size() == 14);
    const char* labels[] = {"DB Name : ", "Comment : ", "Type : 1", "Version : 2", "Up"};
    for (std::size_t i = 0; i < 5; ++i) {
        check(startsWith(stats[i], labels[i]));
    }
    check(stats.back().rfind("Total Null Node Records : ", 0) == 0);
    const DatabaseHeader& h = engine.context().Header;
    for (double d : {h.created(), h.updated(), h.upgraded()}) {
        check(!DateTimeText(d).empty());
    }
    return 0;
}
